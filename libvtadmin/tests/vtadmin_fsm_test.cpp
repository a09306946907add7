// FSM connections and status queries against the cluster simulator, in-process.

#include "support_cluster.h"
#include "support_vtadmin.h"

#include "libfsmcomm/client_list.h"
#include "libvtadmin/vtadmin_fsm.h"
#include "libvtadmin/vtadmin_trace.h"
#include "libvtadmin/vtadminlib.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

namespace {

std::string clients_json(int count) {
    std::string clients;
    for (int i = 0; i < count; ++i) {
        char client[256];
        snprintf(client, sizeof client,
                 "%s{\"flags\": %u, \"type\": 3, \"cpus\": %d, \"ip\": \"127.0.1.%d\", \"local\": "
                 "\"127.0.2.%d\", \"build\": \"kxfs %d\", \"reconnect_count\": %d}",
                 i ? "," : "", i == 0 ? 0x02020001u : 1u, i + 1, i, i, i, i * 2);
        clients += client;
    }
    return clients;
}

// alpha speaks every form; beta only the oldest (older locate form, first client-list version).
std::string fsm_scenario_json() {
    return R"({"hosts": [
        {"address": "127.0.0.1", "name": "alpha", "generation": 3},
        {"address": "127.0.0.2", "name": "beta", "generation": 1}],
      "filesystems": [
        {"name": "snfs1", "tap_capability": 1,
         "status": {"capability_flags": 6209, "word1": 7, "word3": 9, "word9": 11,
                    "counters": [123, 0, 0]},
         "block_size": 4096, "total_blocks": 262144000, "free_blocks": 98304000,
         "debug_flags": 0, "debug_settable": 4112,
         "stripe_groups": [
           {"name": "MetaFiles", "flags": 13, "total_blocks": 2097152, "reserved_blocks": 1000,
            "free_blocks": 500, "disks": 2, "multipath": 1, "access": 1, "breadth": 16,
            "affinity": 4, "counters": [4294967301, 0, 0],
            "qos": {"limit_iops": 5000, "limit_mbps": 400, "reserved_iops": 300,
                    "current_iops": 200, "clients_iops": 100, "hint_iops": 50,
                    "words": [1, 2, 3, 4]}},
           {"name": "Data", "flags": 1281, "total_blocks": 10, "multipath": 0, "access": 3},
           {"name": "Odd", "flags": 0, "multipath": 9, "access": 3}],
         "clients": [)" +
           clients_json(45) + R"(],
         "managers": [{"host": "127.0.0.1", "state": "active", "priority": 0},
                      {"host": "127.0.0.2", "state": "standby", "priority": 1}]},
        {"name": "archive", "tap_capability": 0, "status": {"capability_flags": 0},
         "stripe_groups": [{"name": "OldGroup", "flags": 1, "access": 3, "reserved_blocks": 77,
                            "free_blocks": 66, "multipath": 1}],
         "clients": [{"flags": 1, "type": 2, "ip": "127.0.0.9", "local": "10.0.0.7",
                      "build": "old"}],
         "managers": [{"host": "127.0.0.2", "state": "active"}]},
        {"name": "empty", "managers": [{"host": "127.0.0.1", "state": "active"}]},
        {"name": "lonely", "managers": [{"host": "127.0.0.1", "state": "standby"}]}]})";
}

class FsmQueries : public ClusterTest {
protected:
    std::string scenario_json() const override { return fsm_scenario_json(); }

    VTA_FSM_ENTRY entry(const char *name, uint32_t state = VTA_FSM_ACTIVE) {
        VTA_FSM_ENTRY e = {};
        EXPECT_TRUE(find_fsm(ns_, name, state, &e)) << name;
        return e;
    }
    int connect(const char *name) { return connect_active_fsm(ns_, name); }
    // The stripe group `n` of the FSM `h`: its name, then its figures in record order.
    static std::string stripe_group(int h, uint32_t n) {
        VTA_SG_STATUS g;
        if (VTAdmin_StripeGroupStat(h, n, &g) != 0)
            return "failed";
        return std::string(g.name) + " " +
               numbers({g.ordinal, g.index, g.enabled, g.metadata, g.journal, g.realtime,
                        g.exclusive, g.multipath, g.disks, g.breadth, g.counter_word,
                        g.affinity_count, g.constant, g.access, g.total_blocks, g.free_blocks,
                        g.reserved_blocks});
    }
};

int g_allocations = 0;
void *counting_realloc(void *block, size_t size) {
    ++g_allocations;
    return realloc(block, size);
}

} // namespace

// ---- Connections ----

TEST_F(FsmQueries, SameEntrySharesOneSlotUntilTheLastDisconnect) {
    const int a = connect("snfs1");
    const int b = connect("snfs1");
    ASSERT_GE(a, 0);
    EXPECT_EQ(a, b);
    EXPECT_NE(a, ns_) << "FSM and name-server connections are different slots";
    EXPECT_EQ(VTAdmin_FSMDisconnect(a), 0);
    VTA_FSM_STATUS status;
    EXPECT_EQ(VTAdmin_FSMStat(b, &status), 0) << "the other reference still works";
    EXPECT_EQ(VTAdmin_FSMDisconnect(b), 0);
    EXPECT_EQ(VTAdmin_FSMStat(b, &status), -1) << "the slot is free now";
    EXPECT_EQ(VTAdmin_FSMDisconnect(b), -1);
    EXPECT_EQ(VTAdmin_FSMDisconnect(ns_), -1) << "a name-server handle is not an FSM handle";
}

TEST_F(FsmQueries, ResetDuringTheTapPointsAtTheLog) {
    fault("fsm:snfs1", "close_after:0/7");
    VTA_FSM_ENTRY snfs1 = entry("snfs1");
    EXPECT_EQ(VTAdmin_FSMConnect(ns_, &snfs1, msg_), -VTA_ECONNECT);
    EXPECT_NE(std::strstr(msg_, "Admin Tap Connection to FSM failed"), nullptr) << msg_;
    EXPECT_NE(std::strstr(msg_, "FSM may have ended abnormally. Check the kxlog for details."),
              nullptr)
        << msg_;
}

TEST_F(FsmQueries, UninitialisedLibraryRefusesToConnect) {
    const VTA_FSM_ENTRY snfs1 = entry("snfs1");
    VTAdmin_Teardown();
    EXPECT_EQ(VTAdmin_FSMConnect(ns_, &snfs1, msg_), -1);
    EXPECT_STREQ(msg_, "VTAdmin connect - library is not initialized.\n");
}

// ---- Status queries ----

TEST_F(FsmQueries, QueriesOnANameServerHandleFailWithTheTypeMessage) {
    start_trace("fsmtype", {});
    VTA_FSM_STATUS status;
    EXPECT_EQ(VTAdmin_FSMStat(ns_, &status), -1);
    VTA_QOS_STATUS qos;
    EXPECT_EQ(VTAdmin_QosStat(ns_, 0, &qos), -1);
    uint32_t mask = 0;
    EXPECT_EQ(VTAdmin_FSMGetDebug(ns_, &mask), -1);
    VTA_CLIENT *list = reinterpret_cast<VTA_CLIENT *>(&mask);
    EXPECT_EQ(VTAdmin_GetClientList(ns_, &list), -1);
    EXPECT_EQ(list, nullptr);
    VTAdmin_Teardown();
    const std::string line = "Invalid connection type. Expected 2 but type is 1.";
    expect_traced("fsmtype", 0, {line, line, line, line});
}

TEST_F(FsmQueries, StatusStripeGroupAndQosRecords) {
    const int h = connect("snfs1");
    VTA_FSM_STATUS s;
    std::memset(&s, 0xAB, sizeof s);
    ASSERT_EQ(VTAdmin_FSMStat(h, &s), 0);
    // capability 0x1841: bits 0x1, 0x40, 0x800 (and 0x1000, not carried).
    EXPECT_EQ(numbers({s.flag_a, s.flag_b, s.flag_c, s.flag_d, s.flag_e, s.flag_f, s.flag_g}),
              "1 0 0 0 1 0 1");
    EXPECT_EQ(numbers({s.word1, s.stripe_groups, s.word3, s.word9, s.block_size, s.counter1,
                       s.total_blocks, s.free_blocks}),
              "7 3 9 11 4096 123 262144000 98304000");

    // Multi-path on the wire: 1 is Static (3), 0 Rotate (1), others Unknown (0). The counter word
    // is the low 32 bits of 0x100000005.
    EXPECT_EQ(stripe_group(h, 0), "MetaFiles 1 0 1 1 1 0 0 3 2 16 5 4 1 1 2097152 500 1000");
    EXPECT_EQ(stripe_group(h, 1), "Data 2 1 1 0 0 1 1 1 0 0 0 0 1 3 10 0 0");
    EXPECT_EQ(stripe_group(h, 2), "Odd 3 2 0 0 0 0 0 0 0 0 0 0 1 3 0 0 0");
    // Past the last group, or on a bad handle: the record is cleared all the same.
    VTA_SG_STATUS sg, zero;
    std::memset(&zero, 0, sizeof zero);
    for (int handle : {h, ns_}) {
        std::memset(&sg, 0xAB, sizeof sg);
        EXPECT_EQ(VTAdmin_StripeGroupStat(handle, handle == h ? 3 : 0, &sg), -1) << handle;
        EXPECT_EQ(std::memcmp(&sg, &zero, sizeof sg), 0) << handle;
    }

    VTA_QOS_STATUS q;
    ASSERT_EQ(VTAdmin_QosStat(h, 0, &q), 0);
    EXPECT_EQ(numbers({q.limit_iops, q.limit_mbps, q.reserved_iops, q.current_iops, q.clients_iops,
                       q.hint_iops}),
              "5000 400 300 200 100 50");
    EXPECT_EQ(VTAdmin_QosStat(h, 7, &q), -1);
}

// ---- Client list ----

TEST_F(FsmQueries, FortyFiveClientsGrowTheListThreeTimesWithAddressesSwapped) {
    const int h = connect("snfs1");
    g_allocations = 0;
    client_list_set_realloc_for_tests(counting_realloc);
    VTA_CLIENT *list = nullptr;
    const int count = VTAdmin_GetClientList(h, &list);
    client_list_set_realloc_for_tests(nullptr);
    ASSERT_EQ(count, 45);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(g_allocations, 3) << "20, 40, 60 entries";

    EXPECT_EQ(list[0].flags, 0x02020001u);
    EXPECT_NE(list[0].flags & VTA_CLIENT_GATEWAY_LICENCE, 0u);
    EXPECT_NE(list[0].flags & VTA_CLIENT_DLAN_SERVER, 0u);
    for (int i : {0, 17, 44}) {
        const std::string n = std::to_string(i);
        EXPECT_EQ(numbers({list[i].ordinal, list[i].cpu_count, list[i].reconnect_count}),
                  numbers({uint64_t(i), uint64_t(i + 1), uint64_t(2 * i)}));
        EXPECT_EQ(address_text(list[i].ip_address), "127.0.2." + n) << "entry's local";
        EXPECT_EQ(address_text(list[i].local_address), "127.0.1." + n) << "entry's ip";
        EXPECT_EQ(std::string(list[i].build_text), "kxfs " + n);
    }
    VTAdmin_FreeClientList(list);
    VTAdmin_FreeClientList(nullptr);

    VTA_CLIENT dummy;
    list = &dummy;
    EXPECT_EQ(VTAdmin_GetClientList(connect("empty"), &list), VTA_CLIENT_LIST_EMPTY);
    EXPECT_EQ(list, nullptr) << "no clients is an error";
}

// ---- Tracing ----

TEST_F(FsmQueries, TraceLinesOfConnectQueryDisconnect) {
    const VTA_FSM_ENTRY e = entry("snfs1");
    const size_t from = start_trace("fsmtrace", {VTA_LOG_ENTRY_EXIT, VTA_LOG_GENERAL});
    const int h = VTAdmin_FSMConnect(ns_, &e, msg_);
    ASSERT_GE(h, 0);
    uint32_t mask = 0;
    ASSERT_EQ(VTAdmin_FSMGetDebug(h, &mask), 0);
    const uint32_t bad = 0x30;
    ASSERT_EQ(VTAdmin_FSMSetDebug(h, &bad), -1);
    ASSERT_EQ(VTAdmin_FSMDisconnect(h), 0);
    const std::string hs = std::to_string(h);
    expect_traced(
        "fsmtrace", from,
        {"Enter: VTAdmin_FSMConnect: name='snfs1'", " Exit: OK: VTAdmin_FSMConnect fshandle=" + hs,
         "Enter: VTAdmin_FSMGetDebug: fshandle=" + hs,
         " Exit: OK: VTAdmin_FSMGetDebug: fshandle=" + hs + " flags=0x0",
         "Enter: VTAdmin_FSMSetDebug: fshandle=" + hs + " flags=0x30",
         " Exit: ERROR -1: VTAdmin_FSMSetDebug", "Enter: VTAdmin_FSMDisconnect: handle=" + hs,
         "FSM Disconnect Handle: " + hs + ", Ref count: 0",
         " Exit: OK: VTAdmin_FSMDisconnect: handle=" + hs});
}
