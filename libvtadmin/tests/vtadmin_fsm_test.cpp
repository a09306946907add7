// FSM connections and status queries against the cluster simulator, in-process.

#include "support_cluster.h"
#include "support_vtadmin.h"

#include "libfsmcomm/client_list.h"
#include "libvtadmin/vtadmin_fsm.h"
#include "libvtadmin/vtadmin_trace.h"
#include "libvtadmin/vtadminlib.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

std::string clients_json(int count) {
    std::string clients;
    for (int i = 0; i < count; ++i) {
        char client[256];
        snprintf(client, sizeof client,
                 "%s{\"flags\": %u, \"type\": 3, \"cpus\": %d, \"ip\": \"127.0.1.%d\", "
                 "\"local\": \"127.0.2.%d\", \"build\": \"kxfs %d\", \"reconnect_count\": %d}",
                 i ? "," : "", i == 0 ? 0x02020001u : 1u, i + 1, i, i, i, i * 2);
        clients += client;
    }
    return clients;
}

// alpha speaks every form; beta only the oldest (older locate form, first client-list version).
std::string scenario_json() {
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
           {"name": "Odd", "flags": 0, "multipath": 9}],
         "clients": [)" +
           clients_json(45) + R"(],
         "managers": [{"host": "127.0.0.1", "state": "active", "priority": 0},
                      {"host": "127.0.0.2", "state": "standby", "priority": 1}]},
        {"name": "archive", "tap_capability": 0, "status": {"capability_flags": 0},
         "stripe_groups": [{"name": "OldGroup", "reserved_blocks": 77, "free_blocks": 66,
                            "multipath": 1}],
         "clients": [{"flags": 1, "type": 2, "ip": "127.0.0.9", "local": "10.0.0.7",
                      "build": "old"}],
         "managers": [{"host": "127.0.0.2", "state": "active"}]},
        {"name": "empty", "managers": [{"host": "127.0.0.1", "state": "active"}]},
        {"name": "lonely", "managers": [{"host": "127.0.0.1", "state": "standby"}]}]})";
}

class FsmQueries : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("TIMEDWAIT_VALUE", "5", 1);
        cluster_ = start_test_cluster(scenario_json());
        ASSERT_NE(cluster_, nullptr);
        VTAdmin_Init();
        char message[VTA_MESSAGE_SIZE] = "";
        ns_ = VTAdmin_NSConnect("127.0.0.1", message);
        ASSERT_GE(ns_, 0) << message;
    }
    void TearDown() override {
        VTAdmin_Teardown();
        if (cluster_ != nullptr)
            cluster_stop(cluster_);
    }
    VTA_FSM_ENTRY entry(const char *name, uint32_t state = VTA_FSM_ACTIVE) {
        VTA_FSM_ENTRY e = {};
        EXPECT_TRUE(find_fsm(ns_, name, state, &e)) << name;
        return e;
    }
    int connect(const char *name) {
        const VTA_FSM_ENTRY e = entry(name);
        char message[VTA_MESSAGE_SIZE] = "";
        const int handle = VTAdmin_FSMConnect(ns_, &e, message);
        EXPECT_GE(handle, 0) << message;
        return handle;
    }
    static std::string text(const host_addr &address) {
        char buffer[256];
        return VTAdmin_AddrToString(&address, buffer) ? buffer : "";
    }

    sim_cluster *cluster_ = nullptr;
    int ns_ = -1;
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

TEST_F(FsmQueries, OlderLocateFormReachesTheAddressAtOffset32) {
    // beta's name server answers only the older locate form, which carries IPv4 at 32.
    VTA_FSM_ENTRY archive = entry("archive");
    ASSERT_EQ(text(archive.address), "127.0.0.2");
    char message[VTA_MESSAGE_SIZE] = "";
    const int handle = VTAdmin_FSMConnect(ns_, &archive, message);
    ASSERT_GE(handle, 0) << message;
    VTA_FSM_STATUS status;
    EXPECT_EQ(VTAdmin_FSMStat(handle, &status), 0);
    VTA_CONN_INFO info;
    ASSERT_EQ(VTAdmin_NSGetConnInfo(handle, &info), 0);
    EXPECT_EQ(info.capability, 0u) << "tap value of the old FSM";
    EXPECT_EQ(VTAdmin_FSMDisconnect(handle), 0);
}

TEST_F(FsmQueries, StandbyIsReportedWithoutAConnectionAttempt) {
    // A connection to the standby manager would be refused, with another text.
    char text[256];
    ASSERT_EQ(cluster_set_fault(cluster_, "fsm:lonely", "refuse", text, sizeof text), 0) << text;
    VTA_FSM_ENTRY lonely = entry("lonely", VTA_FSM_STANDBY);
    char message[VTA_MESSAGE_SIZE] = "";
    EXPECT_EQ(VTAdmin_FSMConnect(ns_, &lonely, message), -VTA_ECONNECT);
    EXPECT_NE(std::strstr(message, "File System Manager \"lonely\" on 127.0.0.1 is in standby "
                                   "mode."),
              nullptr)
        << message;
    for (int h = 0; h < VTA_MAX_CONNECTIONS; ++h) {
        VTA_CONN_INFO info;
        if (VTAdmin_NSGetConnInfo(h, &info) == 0) {
            EXPECT_NE(info.type, VTA_CONN_FSM) << "slot " << h << " left behind";
        }
    }
}

TEST_F(FsmQueries, ResetDuringTheTapPointsAtTheLog) {
    char text[256];
    ASSERT_EQ(cluster_set_fault(cluster_, "fsm:snfs1", "close_after:0/7", text, sizeof text), 0)
        << text;
    VTA_FSM_ENTRY snfs1 = entry("snfs1");
    char message[VTA_MESSAGE_SIZE] = "";
    EXPECT_EQ(VTAdmin_FSMConnect(ns_, &snfs1, message), -VTA_ECONNECT);
    EXPECT_NE(std::strstr(message, "Admin Tap Connection to FSM failed"), nullptr) << message;
    EXPECT_NE(std::strstr(message, "FSM may have ended abnormally. Check the kxlog for details."),
              nullptr)
        << message;
}

TEST_F(FsmQueries, UninitialisedLibraryRefusesToConnect) {
    const VTA_FSM_ENTRY snfs1 = entry("snfs1");
    char message[VTA_MESSAGE_SIZE] = "";
    VTAdmin_Teardown();
    EXPECT_EQ(VTAdmin_FSMConnect(ns_, &snfs1, message), -1);
    EXPECT_STREQ(message, "VTAdmin connect - library is not initialized.\n");
}

// ---- Status queries ----

TEST_F(FsmQueries, QueriesOnANameServerHandleFailWithTheTypeMessage) {
    VTAdmin_LogInit("fsmtype");
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
    const auto messages = log_messages("fsmtype");
    EXPECT_EQ(std::count(messages.begin(), messages.end(),
                         "Invalid connection type. Expected 2 but type is 1."),
              4);
    std::remove(log_path("fsmtype").c_str());
}

TEST_F(FsmQueries, StatusRecordFromTheFsmStatus) {
    const int h = connect("snfs1");
    VTA_FSM_STATUS s;
    std::memset(&s, 0xAB, sizeof s);
    ASSERT_EQ(VTAdmin_FSMStat(h, &s), 0);
    // capability 0x1841: bits 0x1, 0x40, 0x800 (and 0x1000, not carried).
    EXPECT_EQ(s.flag_a, 1u);
    EXPECT_EQ(s.flag_b, 0u);
    EXPECT_EQ(s.flag_c, 0u);
    EXPECT_EQ(s.flag_d, 0u);
    EXPECT_EQ(s.flag_e, 1u);
    EXPECT_EQ(s.flag_f, 0u);
    EXPECT_EQ(s.flag_g, 1u);
    EXPECT_EQ(s.word1, 7u);
    EXPECT_EQ(s.stripe_groups, 3u);
    EXPECT_EQ(s.word3, 9u);
    EXPECT_EQ(s.word9, 11u);
    EXPECT_EQ(s.block_size, 4096u);
    EXPECT_EQ(s.counter1, 123u);
    EXPECT_EQ(s.total_blocks, 262144000u);
    EXPECT_EQ(s.free_blocks, 98304000u);
}

TEST_F(FsmQueries, StripeGroupRecordsAndTheMultiPathMapping) {
    const int h = connect("snfs1");
    VTA_SG_STATUS sg;
    ASSERT_EQ(VTAdmin_StripeGroupStat(h, 0, &sg), 0);
    EXPECT_STREQ(sg.name, "MetaFiles");
    EXPECT_EQ(sg.ordinal, 1u);
    EXPECT_EQ(sg.index, 0u);
    EXPECT_EQ(sg.enabled, 1u);
    EXPECT_EQ(sg.metadata, 1u);
    EXPECT_EQ(sg.journal, 1u);
    EXPECT_EQ(sg.realtime, 0u);
    EXPECT_EQ(sg.exclusive, 0u);
    EXPECT_EQ(sg.multipath, static_cast<uint32_t>(VTA_MULTIPATH_STATIC)) << "wire 1 is Static";
    EXPECT_EQ(sg.disks, 2u);
    EXPECT_EQ(sg.breadth, 16u);
    EXPECT_EQ(sg.counter_word, 5u) << "low 32 bits of 0x100000005";
    EXPECT_EQ(sg.affinity_count, 4u);
    EXPECT_EQ(sg.constant, 1u);
    EXPECT_EQ(sg.access, VTA_SG_READABLE);
    EXPECT_EQ(sg.total_blocks, 2097152u);
    EXPECT_EQ(sg.free_blocks, 500u);
    EXPECT_EQ(sg.reserved_blocks, 1000u);

    ASSERT_EQ(VTAdmin_StripeGroupStat(h, 1, &sg), 0);
    EXPECT_STREQ(sg.name, "Data");
    EXPECT_EQ(sg.ordinal, 2u);
    EXPECT_EQ(sg.index, 1u);
    EXPECT_EQ(sg.metadata, 0u);
    EXPECT_EQ(sg.realtime, 1u);
    EXPECT_EQ(sg.exclusive, 1u);
    EXPECT_EQ(sg.multipath, static_cast<uint32_t>(VTA_MULTIPATH_ROTATE)) << "wire 0 is Rotate";
    EXPECT_EQ(sg.access, VTA_SG_READABLE | VTA_SG_WRITABLE);

    ASSERT_EQ(VTAdmin_StripeGroupStat(h, 2, &sg), 0);
    EXPECT_EQ(sg.enabled, 0u);
    EXPECT_EQ(sg.multipath, static_cast<uint32_t>(VTA_MULTIPATH_UNKNOWN));

    // Past the last group: the record is cleared all the same.
    std::memset(&sg, 0xAB, sizeof sg);
    EXPECT_EQ(VTAdmin_StripeGroupStat(h, 3, &sg), -1);
    VTA_SG_STATUS zero;
    std::memset(&zero, 0, sizeof zero);
    EXPECT_EQ(std::memcmp(&sg, &zero, sizeof sg), 0);
    std::memset(&sg, 0xAB, sizeof sg);
    EXPECT_EQ(VTAdmin_StripeGroupStat(ns_, 0, &sg), -1);
    EXPECT_EQ(std::memcmp(&sg, &zero, sizeof sg), 0) << "cleared also for a bad handle";
}

TEST_F(FsmQueries, OlderStripeGroupFormHasNoReservedBlocks) {
    const int h = connect("archive");
    VTA_SG_STATUS sg;
    ASSERT_EQ(VTAdmin_StripeGroupStat(h, 0, &sg), 0);
    EXPECT_STREQ(sg.name, "OldGroup");
    EXPECT_EQ(sg.reserved_blocks, 0u);
    EXPECT_EQ(sg.free_blocks, 66u);
    EXPECT_EQ(sg.multipath, static_cast<uint32_t>(VTA_MULTIPATH_STATIC));
}

TEST_F(FsmQueries, QosFiguresInRecordOrder) {
    const int h = connect("snfs1");
    VTA_QOS_STATUS q;
    ASSERT_EQ(VTAdmin_QosStat(h, 0, &q), 0);
    EXPECT_EQ(q.limit_iops, 5000u);
    EXPECT_EQ(q.limit_mbps, 400u);
    EXPECT_EQ(q.reserved_iops, 300u);
    EXPECT_EQ(q.current_iops, 200u);
    EXPECT_EQ(q.clients_iops, 100u);
    EXPECT_EQ(q.hint_iops, 50u);
    EXPECT_EQ(VTAdmin_QosStat(h, 7, &q), -1);
}

TEST_F(FsmQueries, DebugFlagsSetOnlyWhenEchoed) {
    const int h = connect("snfs1");
    const uint32_t quotas = 0x00001000;
    ASSERT_EQ(VTAdmin_FSMSetDebug(h, &quotas), 0);
    uint32_t mask = 0;
    ASSERT_EQ(VTAdmin_FSMGetDebug(h, &mask), 0);
    EXPECT_EQ(mask, quotas);

    // Only 0x10 of 0x30 may change: the FSM answers 0x10 and the set fails.
    const uint32_t wanted = 0x30;
    EXPECT_EQ(VTAdmin_FSMSetDebug(h, &wanted), -1);
    EXPECT_EQ(wanted, 0x30u);
    ASSERT_EQ(VTAdmin_FSMGetDebug(h, &mask), 0);
    EXPECT_EQ(mask, 0x10u);
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

    EXPECT_EQ(list[0].ordinal, 0u);
    EXPECT_EQ(list[0].flags, 0x02020001u);
    EXPECT_NE(list[0].flags & VTA_CLIENT_GATEWAY_LICENCE, 0u);
    EXPECT_NE(list[0].flags & VTA_CLIENT_DLAN_SERVER, 0u);
    for (int i : {0, 17, 44}) {
        EXPECT_EQ(list[i].cpu_count, static_cast<uint32_t>(i + 1));
        EXPECT_EQ(text(list[i].ip_address), "127.0.2." + std::to_string(i)) << "entry's local";
        EXPECT_EQ(text(list[i].local_address), "127.0.1." + std::to_string(i)) << "entry's ip";
        EXPECT_EQ(std::string(list[i].build_text), "kxfs " + std::to_string(i));
        EXPECT_EQ(list[i].reconnect_count, static_cast<uint32_t>(2 * i));
    }
    VTAdmin_FreeClientList(list);
    VTAdmin_FreeClientList(nullptr);
}

TEST_F(FsmQueries, FirstVersionEntryWidenedToAMappedAddress) {
    const int h = connect("archive");
    VTA_CLIENT *list = nullptr;
    ASSERT_EQ(VTAdmin_GetClientList(h, &list), 1);
    // The first version carries only the client's local IPv4 address; after the swap it is
    // the record's IP address.
    host_addr mapped;
    const uint8_t ipv4[4] = {10, 0, 0, 7};
    host_addr_set_ipv4(&mapped, ipv4);
    EXPECT_TRUE(host_addr_equal(&list[0].ip_address, &mapped)) << "::ffff:10.0.0.7";
    const host_addr zero = {};
    EXPECT_TRUE(host_addr_equal(&list[0].local_address, &zero));
    EXPECT_EQ(list[0].type, 2u);
    VTAdmin_FreeClientList(list);
}

TEST_F(FsmQueries, NoClientsIsAnError) {
    const int h = connect("empty");
    VTA_CLIENT dummy;
    VTA_CLIENT *list = &dummy;
    EXPECT_EQ(VTAdmin_GetClientList(h, &list), VTA_CLIENT_LIST_EMPTY);
    EXPECT_EQ(list, nullptr);
}

// ---- Tracing ----

TEST_F(FsmQueries, TraceLinesOfConnectQueryDisconnect) {
    VTAdmin_LogInit("fsmtrace");
    VTAdmin_LogEnable(VTA_LOG_ENTRY_EXIT, VTA_LOG_MODULE);
    VTAdmin_LogEnable(VTA_LOG_GENERAL, VTA_LOG_MODULE);
    const VTA_FSM_ENTRY e = entry("snfs1");
    const size_t before = log_messages("fsmtrace").size();
    char message[VTA_MESSAGE_SIZE];
    const int h = VTAdmin_FSMConnect(ns_, &e, message);
    ASSERT_GE(h, 0);
    uint32_t mask = 0;
    ASSERT_EQ(VTAdmin_FSMGetDebug(h, &mask), 0);
    const uint32_t bad = 0x30;
    ASSERT_EQ(VTAdmin_FSMSetDebug(h, &bad), -1);
    ASSERT_EQ(VTAdmin_FSMDisconnect(h), 0);
    const auto all = log_messages("fsmtrace");
    const std::vector<std::string> lines(all.begin() + static_cast<long>(before), all.end());
    const std::string hs = std::to_string(h);
    const std::vector<std::string> expected = {
        "Enter: VTAdmin_FSMConnect: name='snfs1'",
        " Exit: OK: VTAdmin_FSMConnect fshandle=" + hs,
        "Enter: VTAdmin_FSMGetDebug: fshandle=" + hs,
        " Exit: OK: VTAdmin_FSMGetDebug: fshandle=" + hs + " flags=0x0",
        "Enter: VTAdmin_FSMSetDebug: fshandle=" + hs + " flags=0x30",
        " Exit: ERROR -1: VTAdmin_FSMSetDebug",
        "Enter: VTAdmin_FSMDisconnect: handle=" + hs,
        "FSM Disconnect Handle: " + hs + ", Ref count: 0",
        " Exit: OK: VTAdmin_FSMDisconnect: handle=" + hs};
    // The request layer may add its own lines between them; the call's lines keep their order.
    std::vector<std::string> ours;
    for (const std::string &line : lines)
        if (std::find(expected.begin(), expected.end(), line) != expected.end())
            ours.push_back(line);
    EXPECT_EQ(ours, expected);
    VTAdmin_Teardown();
    std::remove(log_path("fsmtrace").c_str());
}
