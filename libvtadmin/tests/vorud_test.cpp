// Name-server connections and FSM discovery against the cluster simulator, in-process, on the
// program's private install root (the agent port is read once per process, so every cluster of
// this program runs on the same root and port).

#include "support_vtadmin.h"

#include "clustersim/cluster.h"
#include "libfsmcomm/fsm_requests.h"
#include "libfsmcomm/ns_requests.h"
#include "libutil/logging.h"
#include "libvtadmin/vorud.h"
#include "libvtadmin/vtadmin_trace.h"
#include "libvtadmin/vtadminlib.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

// alpha (current forms, 40 disks), beta (oldest forms), gamma (refuses the newest forms).
std::string scenario_json(const std::string &alpha_extra = "") {
    std::string disks;
    for (int i = 0; i < 40; ++i) {
        char disk[256];
        snprintf(disk, sizeof disk,
                 "%s{\"label\": \"alpha_disk%02d\", \"serial\": \"SN%02d\", \"block_device\": "
                 "\"/dev/sd%c\", \"size\": %d, \"state\": 13, \"hba_id\": %d, \"lun_id\": %d}",
                 i ? "," : "", i, i, 'a' + i % 26, 1000 + i, i % 4, i);
        disks += disk;
    }
    return R"({"hosts": [
        {"address": "127.0.0.1", "name": "alpha", "generation": 3, "disks": [)" +
           disks + "]" + alpha_extra + R"(},
        {"address": "127.0.0.2", "name": "beta", "generation": 1,
         "disks": [{"label": "beta_d0", "serial": "B0", "raw_device": "/dev/raw/b0",
                    "inquiry": "OLDDISK", "controller": "hbaB", "size": 4096, "state": 9,
                    "hba_id": 2, "lun_id": 5},
                   {"label": "beta_d1", "block_device": "/dev/sdz", "state": 4}],
         "control": [{"fs": "scratch", "start": 4}]},
        {"address": "127.0.0.3", "name": "gamma", "generation": 2, "refuse": [[0, 11]]}],
      "filesystems": [
        {"name": "snfs1", "tap_capability": 1, "status": {"capability_flags": 4096},
         "total_blocks": 262144000, "free_blocks": 98304000, "debug_settable": 16,
         "stripe_groups": [{"name": "MetaFiles", "flags": 13, "total_blocks": 2097152,
                            "reserved_blocks": 1000, "free_blocks": 500, "disks": 2,
                            "multipath": 1, "qos": {"limit_iops": 5000, "limit_mbps": 400}}],
         "managers": [{"host": "127.0.0.1", "state": "active", "priority": 0, "pid": 501},
                      {"host": "127.0.0.2", "state": "standby", "priority": 1, "pid": 502}]},
        {"name": "archive", "tap_capability": 0, "status": {"capability_flags": 0},
         "stripe_groups": [{"name": "OldGroup", "reserved_blocks": 77, "free_blocks": 66}],
         "managers": [{"host": "127.0.0.2", "state": "active", "priority": 3}]},
        {"name": "lonely", "managers": [{"host": "127.0.0.3", "state": "standby", "priority": 2}]},
        {"name": "scratch", "managers": [{"host": "127.0.0.1", "state": "down"}]}]})";
}

class Vorud : public ::testing::Test {
protected:
    void SetUp() override {
        test_root();
        setenv("TIMEDWAIT_VALUE", "5", 1);
        write_config_file(".auth_secret", "");
        start_cluster(scenario_json());
        VTAdmin_Init();
    }
    void TearDown() override {
        VTAdmin_Teardown();
        stop_cluster();
        write_config_file(".auth_secret", "");
    }
    void start_cluster(const std::string &json) {
        sim_scenario scenario;
        char text[256] = "";
        ASSERT_EQ(scenario_parse(json.c_str(), &scenario, text, sizeof text), 0) << text;
        ASSERT_EQ(cluster_start(scenario, test_root().c_str(), &cluster_, text, sizeof text), 0)
            << text;
    }
    void stop_cluster() {
        if (cluster_ != nullptr)
            cluster_stop(cluster_);
        cluster_ = nullptr;
    }
    static int connect(const char *host) {
        char message[VTA_MESSAGE_SIZE] = "";
        const int handle = VTAdmin_NSConnect(host, message);
        EXPECT_GE(handle, 0) << host << ": " << message;
        return handle;
    }
    static VTA_CONN_INFO info(int handle) {
        VTA_CONN_INFO i;
        EXPECT_EQ(VTAdmin_NSGetConnInfo(handle, &i), 0);
        return i;
    }
    static std::vector<std::string> list_all(int handle, std::vector<VTA_FSM_ENTRY> *entries) {
        std::vector<std::string> names;
        for (int ordinal = 0; ordinal < 50; ++ordinal) {
            VTA_FSM_ENTRY entry;
            char message[VTA_MESSAGE_SIZE] = "";
            const int rc = VTAdmin_NSListFsm(handle, ordinal, &entry, message);
            if (rc == VTA_EOF)
                break;
            EXPECT_EQ(rc, 0) << message;
            if (rc != 0)
                break;
            names.push_back(entry.name);
            if (entries)
                entries->push_back(entry);
        }
        return names;
    }
    static std::string address_text(const host_addr &a) {
        char text[256];
        return VTAdmin_AddrToString(&a, text) ? text : "";
    }

    sim_cluster *cluster_ = nullptr;
};

} // namespace

// ---- Listing, searching, locating ----

TEST_F(Vorud, ListByOrdinalOnEveryGeneration) {
    for (const char *host : {"127.0.0.1", "gamma", "beta"}) {
        const int h = connect(host);
        std::vector<VTA_FSM_ENTRY> entries;
        const auto names = list_all(h, &entries);
        ASSERT_EQ(names, (std::vector<std::string>{"snfs1", "snfs1", "archive", "lonely"})) << host;
        EXPECT_EQ(entries[0].state, VTA_FSM_ACTIVE) << host;
        EXPECT_EQ(entries[0].priority, 0u);
        EXPECT_EQ(entries[0].pid, 501u);
        EXPECT_EQ(address_text(entries[0].address), "127.0.0.1") << host;
        EXPECT_EQ(entries[1].state, VTA_FSM_STANDBY);
        EXPECT_EQ(entries[1].priority, 1u);
        EXPECT_EQ(address_text(entries[1].address), "127.0.0.2")
            << host << ": the oldest form builds the address from offset 32";
        EXPECT_EQ(entries[2].ordinal, 2u);
        EXPECT_NE(entries[2].port, 0u);
        VTA_FSM_ENTRY entry;
        char message[VTA_MESSAGE_SIZE];
        EXPECT_EQ(VTAdmin_NSListFsm(h, 4, &entry, message), VTA_EOF) << "status 7 ends the list";
        EXPECT_EQ(VTAdmin_NSDisconnect(h), 0);
    }
}

TEST_F(Vorud, SearchAndLocate) {
    const int h = connect("127.0.0.1");
    VTA_FSM_SEARCH found;
    char message[VTA_MESSAGE_SIZE];
    ASSERT_EQ(VTAdmin_NSFsmSearch(h, "snfs1", &found, message), 0) << message;
    EXPECT_EQ(found.entry_type, 1u);
    EXPECT_EQ(found.run_state, 2u);
    EXPECT_STREQ(found.name, "snfs1");
    EXPECT_EQ(address_text(found.address), "127.0.0.1");
    ASSERT_EQ(VTAdmin_NSFsmSearch(h, "scratch", &found, message), 0);
    EXPECT_EQ(found.run_state, 0u) << "stopped";
    EXPECT_EQ(VTAdmin_NSFsmSearch(h, "archive", &found, message), VTA_ENOENT)
        << "not local to alpha: asked by name, then walked by index";
    EXPECT_STREQ(message, "Name 'archive' not found.\n");

    VTA_FSM_ENTRY entry;
    ASSERT_EQ(VTAdmin_NSFsmLocate(h, "snfs1", -1, &entry), 0);
    EXPECT_EQ(entry.state, VTA_FSM_ACTIVE);
    ASSERT_EQ(VTAdmin_NSFsmLocate(h, "snfs1", 1, &entry), 0);
    EXPECT_EQ(address_text(entry.address), "127.0.0.2");
    EXPECT_EQ(VTAdmin_NSFsmLocate(h, "lonely", -1, &entry), VTA_ENOENT) << "standby only";
    EXPECT_EQ(VTAdmin_NSFsmLocate(h, "lonely", 2, &entry), 0);
    EXPECT_EQ(VTAdmin_NSFsmLocate(h, "snfs1", -2, &entry), VTA_ENOENT);
    EXPECT_EQ(VTAdmin_NSFsmLocate(h, "nothing", -1, &entry), VTA_ENOENT);
    EXPECT_EQ(VTAdmin_NSDisconnect(h), 0);
}

// ---- Disks ----

TEST_F(Vorud, DiskPagesAndAChangedListGivesRetry) {
    const int h = connect("127.0.0.1");
    std::vector<VTA_DISK> disks(64);
    uint32_t checksum = 0;
    int n = 0;
    char message[VTA_MESSAGE_SIZE];
    ASSERT_EQ(VTAdmin_NSGetDisks(h, 0, 16, disks.data(), &n, &checksum, message), 0) << message;
    EXPECT_EQ(n, 16);
    EXPECT_STREQ(disks[0].label, "alpha_disk00");
    EXPECT_STREQ(disks[15].label, "alpha_disk15");
    EXPECT_STREQ(disks[1].serial, "SN01");
    EXPECT_STREQ(disks[1].block_device, "/dev/sdb");
    EXPECT_EQ(disks[1].size, 1001u);
    EXPECT_EQ(disks[1].lun_id, 1u);
    EXPECT_EQ(disks[3].hba_id, 3u);
    EXPECT_EQ(disks[1].state, 13u);
    ASSERT_EQ(VTAdmin_NSGetDisks(h, 16, 32, disks.data(), &n, &checksum, message), 0) << message;
    EXPECT_EQ(n, 24);
    EXPECT_STREQ(disks[0].label, "alpha_disk16");
    EXPECT_STREQ(disks[23].label, "alpha_disk39");
    EXPECT_EQ(VTAdmin_NSGetDisks(h, 40, 64, disks.data(), &n, &checksum, message), VTA_EOF);

    // The list changes between pages: the next page reports it.
    ASSERT_EQ(VTAdmin_NSGetDisks(h, 0, 16, disks.data(), &n, &checksum, message), 0);
    cluster_edit(
        cluster_, [](sim_scenario &s, void *) { s.hosts[0].disks.pop_back(); }, nullptr);
    EXPECT_EQ(VTAdmin_NSGetDisks(h, 16, 32, disks.data(), &n, &checksum, message), VTA_ERETRY);
    EXPECT_NE(std::string(message).find("VORUD checksum mismatch"), std::string::npos);
    ASSERT_EQ(VTAdmin_NSGetDisks(h, 0, 64, disks.data(), &n, &checksum, message), 0);
    EXPECT_EQ(n, 39) << "from the start again";
    EXPECT_EQ(VTAdmin_NSGetDisks(h, 0, 16, disks.data(), nullptr, nullptr, message), -1);
    EXPECT_STREQ(message, "VTAdmin_NSGetDisks: NULL ndisk value\n");
    // The 16-bit list index cannot reach further; asking would start over from the front.
    EXPECT_EQ(VTAdmin_NSGetDisks(h, 65535, 16, disks.data(), &n, &checksum, message), VTA_EOF);
    EXPECT_EQ(VTAdmin_NSGetDisks(h, 65536, 16, disks.data(), &n, &checksum, message), -1);
    EXPECT_STREQ(message, "VTAdmin_NSGetDisks: disk index 65536 lies beyond the name server's "
                          "list index (at most 65535)\n");
    // Room for many records: only those the page fills are cleared and written.
    std::vector<VTA_DISK> many(NS_DISK_PAGE_MAX + 100);
    many[3].size = many[39].size = 0x5E47;
    ASSERT_EQ(VTAdmin_NSGetDisks(h, 0, static_cast<int>(many.size()), many.data(), &n, &checksum,
                                 message),
              0);
    ASSERT_EQ(n, 39) << "one disk went above";
    EXPECT_EQ(many[3].size, 1003u);
    EXPECT_EQ(many[39].size, 0x5E47u);
    EXPECT_EQ(VTAdmin_NSDisconnect(h), 0);
}

TEST_F(Vorud, OldestDiskFormOneDiskPerPage) {
    const int b = connect("beta");
    std::vector<VTA_DISK> disks(16);
    uint32_t checksum = 99;
    int n = 0;
    char message[VTA_MESSAGE_SIZE];
    ASSERT_EQ(VTAdmin_NSGetDisks(b, 0, 16, disks.data(), &n, &checksum, message), 0) << message;
    EXPECT_EQ(n, 1);
    EXPECT_EQ(checksum, 0u) << "the oldest form has no checksum";
    EXPECT_STREQ(disks[0].label, "beta_d0");
    EXPECT_STREQ(disks[0].serial, "B0");
    EXPECT_STREQ(disks[0].raw_device, "/dev/raw/b0");
    EXPECT_STREQ(disks[0].inquiry, "OLDDISK");
    EXPECT_STREQ(disks[0].controller, "hbaB");
    EXPECT_EQ(disks[0].size, 4096u);
    EXPECT_EQ(disks[0].state, 9u);
    EXPECT_EQ(disks[0].hba_id, 2u);
    EXPECT_EQ(disks[0].lun_id, 5u);
    ASSERT_EQ(VTAdmin_NSGetDisks(b, 1, 16, disks.data(), &n, &checksum, message), 0) << message;
    EXPECT_EQ(n, 1);
    EXPECT_STREQ(disks[0].label, "beta_d1");
    EXPECT_STREQ(disks[0].block_device, "/dev/sdz");
    EXPECT_EQ(VTAdmin_NSGetDisks(b, 2, 16, disks.data(), &n, &checksum, message), VTA_EOF);
    EXPECT_EQ(VTAdmin_NSDisconnect(b), 0);
}

// ---- Start, stop and activate requests on a name-server connection ----

TEST_F(Vorud, StartAnswersAndActivateFallback) {
    const int h = connect("127.0.0.1");
    pm_message m = {};
    char text[NS_TEXT_SIZE];
    vorud_slot_lock(h);
    EXPECT_EQ(ns_fsm_control(vorud_slot_socket(h), NS_START, "snfs1", &m, text), 1);
    vorud_slot_unlock(h);
    EXPECT_STREQ(text, "FSM is already running");
    EXPECT_EQ(VTAdmin_NSDisconnect(h), 0);

    const int b = connect("beta");
    std::memset(&m, 0, sizeof m);
    vorud_slot_lock(b);
    EXPECT_EQ(ns_fsm_control(vorud_slot_socket(b), NS_START, "scratch", &m, text), 4);
    vorud_slot_unlock(b);
    EXPECT_STREQ(text, "FSM not local");
    EXPECT_EQ(VTAdmin_NSDisconnect(b), 0);

    // gamma refuses the newest activate form: one fallback, then the standby becomes active.
    const int g = connect("gamma");
    std::memset(&m, 0, sizeof m);
    vorud_slot_lock(g);
    EXPECT_EQ(ns_fsm_activate(vorud_slot_socket(g), "lonely", &m, text), 0);
    vorud_slot_unlock(g);
    EXPECT_STREQ(text, "FSM Activated");
    VTA_FSM_ENTRY entry;
    EXPECT_EQ(VTAdmin_NSFsmLocate(g, "lonely", -1, &entry), 0) << "active now";
    EXPECT_EQ(VTAdmin_NSDisconnect(g), 0);
}

// ---- FSM requests ----

TEST_F(Vorud, FsmConnectionAndStatusRequests) {
    char text[512];
    uint32_t tap = 0;
    kx_socket s = fsm_connect("127.0.0.1", "snfs1", text, sizeof text, &tap);
    ASSERT_NE(s, invalid_socket) << text;
    EXPECT_EQ(tap, 1u);
    fsm_status status;
    int error = 0;
    ASSERT_EQ(fsm_stat(s, &status, &error), 0) << error;
    EXPECT_EQ(status.capability_flags, FSM_CAP_SG_STATUS_CURRENT);
    EXPECT_EQ(status.stripe_groups, 1);
    EXPECT_EQ(status.block_size, 4096u);
    EXPECT_EQ(status.total_blocks, 262144000u);
    EXPECT_EQ(status.free_blocks, 98304000u);
    sg_status sg;
    ASSERT_EQ(fsm_sg_stat(s, 0, status.capability_flags, &sg, &error), 0) << error;
    EXPECT_STREQ(sg.name, "MetaFiles");
    EXPECT_EQ(sg.flags, 13u);
    EXPECT_EQ(sg.total_blocks, 2097152u);
    EXPECT_EQ(sg.reserved_blocks, 1000u);
    EXPECT_EQ(sg.free_blocks, 500u);
    EXPECT_EQ(sg.disks, 2u);
    EXPECT_EQ(sg.multipath, 1);
    EXPECT_EQ(fsm_sg_stat(s, 1, status.capability_flags, &sg, &error), -1);
    EXPECT_EQ(error, 2) << "past the last stripe group";
    qos_status qos;
    ASSERT_EQ(fsm_qos_stat(s, 0, &qos, &error), 0);
    EXPECT_EQ(qos.limit_iops, 5000u);
    EXPECT_EQ(qos.limit_mbps, 400u);
    uint32_t flags = 0;
    EXPECT_EQ(fsm_debug(s, 1, 0x30, &flags, text, sizeof text, &error), -1);
    EXPECT_EQ(error, FSM_DEBUG_NOT_SET) << "only 0x10 may change";
    EXPECT_EQ(flags, 0x10u);
    ASSERT_EQ(fsm_debug(s, 0, 0, &flags, text, sizeof text, &error), 0);
    EXPECT_EQ(flags, 0x10u);
    EXPECT_STREQ(text, "FSM debug flags 0x00000010");
    EXPECT_EQ(fsm_alive(s), 0);
    close(s);

    // beta knows only the older locate form: the FSM is reached at the IPv4 address at 32.
    s = fsm_connect("beta", "archive", text, sizeof text, &tap);
    ASSERT_NE(s, invalid_socket) << text;
    EXPECT_EQ(tap, 0u);
    ASSERT_EQ(fsm_stat(s, &status, &error), 0);
    ASSERT_EQ(fsm_sg_stat(s, 0, status.capability_flags, &sg, &error), 0);
    EXPECT_STREQ(sg.name, "OldGroup") << "older stripe-group form";
    EXPECT_EQ(sg.reserved_blocks, 0u);
    EXPECT_EQ(sg.free_blocks, 66u);
    close(s);
}

TEST_F(Vorud, PingThatIsNotUnderstoodMeansAlive) {
    const int g = connect("gamma");
    const kx_socket before = vorud_slot_socket(g);
    EXPECT_EQ(connect("gamma"), g);
    EXPECT_EQ(vorud_slot_socket(g), before) << "gamma refuses the ping: still alive, no reconnect";
    EXPECT_EQ(VTAdmin_NSDisconnect(g), 0);
    EXPECT_EQ(VTAdmin_NSDisconnect(g), 0);
}

// ---- The connection table ----

TEST_F(Vorud, TwentySlotsThenTooManyAndNothingLeftBehind) {
    std::vector<int> handles;
    for (int i = 0; i < VTA_MAX_CONNECTIONS; ++i) {
        const std::string host = "localhost.h" + std::to_string(i);
        handles.push_back(connect(host.c_str()));
    }
    char message[VTA_MESSAGE_SIZE];
    int handle = 0;
    EXPECT_EQ(VTAdmin_Connect("localhost.h20", nullptr, &handle, message, sizeof message, 0),
              VTA_ETOOMANY);
    EXPECT_EQ(handle, -1);
    EXPECT_STREQ(message, "VT Admin Connect: Too many open connections.");
    EXPECT_EQ(VTAdmin_NSConnect("localhost.h20", message), -VTA_ETOOMANY);
    EXPECT_EQ(connect("localhost.h7"), handles[7]) << "an existing host still shares its slot";
    EXPECT_EQ(VTAdmin_NSDisconnect(handles[7]), 0);
    for (int h : handles)
        EXPECT_EQ(VTAdmin_NSDisconnect(h), 0);
    for (int h = 0; h < VTA_MAX_CONNECTIONS; ++h)
        EXPECT_EQ(info(h).type, VTA_CONN_FREE) << h;
}

TEST_F(Vorud, SharedSlotsCountReferences) {
    const int a = connect("localhost");
    const int b = connect("localhost");
    EXPECT_EQ(a, b);
    VTA_CONN_INFO i = info(a);
    EXPECT_EQ(i.type, VTA_CONN_NS);
    EXPECT_EQ(i.ref_count, 2);
    EXPECT_STREQ(i.host, "localhost");
    EXPECT_STREQ(i.name, "localhost");
    const int upper = connect("LOCALHOST");
    EXPECT_NE(upper, a) << "host texts compare case-sensitively";

    EXPECT_EQ(VTAdmin_Init(), 0) << "a second init leaves the table alone";
    EXPECT_EQ(info(a).ref_count, 2);

    EXPECT_EQ(VTAdmin_NSDisconnect(a), 0);
    EXPECT_EQ(info(a).ref_count, 1);
    EXPECT_EQ(list_all(a, nullptr).size(), 4u) << "the socket stays open for the other user";
    EXPECT_EQ(VTAdmin_NSDisconnect(a), 0);
    EXPECT_EQ(info(a).type, VTA_CONN_FREE);
    EXPECT_EQ(VTAdmin_NSDisconnect(a), -1) << "free slot";
    EXPECT_EQ(VTAdmin_NSDisconnect(upper), 0);
}

TEST_F(Vorud, FsmSlotsShareByNameAndAreNotNameServerHandles) {
    char message[VTA_MESSAGE_SIZE];
    int fsm = -1, again = -1;
    ASSERT_EQ(VTAdmin_Connect("127.0.0.1", "snfs1", &fsm, message, sizeof message, 0), 0)
        << message;
    ASSERT_EQ(VTAdmin_Connect("127.0.0.1", "snfs1", &again, message, sizeof message, 0), 0)
        << message;
    EXPECT_EQ(fsm, again) << "the second connect pings the FSM and shares the slot";
    VTA_CONN_INFO i = info(fsm);
    EXPECT_EQ(i.type, VTA_CONN_FSM);
    EXPECT_EQ(i.ref_count, 2);
    EXPECT_EQ(i.capability, 1u) << "the tap value";
    const int ns = connect("127.0.0.1");
    EXPECT_NE(ns, fsm) << "no FSM name, another slot";
    EXPECT_EQ(VTAdmin_NSDisconnect(fsm), -1);
    EXPECT_EQ(info(fsm).ref_count, 2) << "unchanged";
    int count_found = 0;
    EXPECT_EQ(vorud_slot_release(fsm, &count_found), 1);
    EXPECT_EQ(vorud_slot_release(fsm, &count_found), 0);
    EXPECT_EQ(info(fsm).type, VTA_CONN_FREE);

    EXPECT_EQ(VTAdmin_Connect("127.0.0.1", "lonely", &fsm, message, sizeof message, 0),
              VTA_ECONNECT);
    EXPECT_STREQ(message, "VtAdmin Connect: (Re)connect failed to MDC 'lonely' at '127.0.0.1' - "
                          "File System Manager \"lonely\" on 127.0.0.1 is in standby mode.\n");
    EXPECT_EQ(VTAdmin_NSDisconnect(ns), 0);
}

TEST_F(Vorud, LostPeerIsPingedAndReconnectedUnderTheSameHandle) {
    const int h = connect("127.0.0.1");
    stop_cluster();
    start_cluster(scenario_json());
    const int again = connect("127.0.0.1");
    EXPECT_EQ(again, h);
    EXPECT_EQ(info(h).ref_count, 2);
    EXPECT_EQ(list_all(h, nullptr).size(), 4u) << "the new socket works";

    // A first connect that fails leaves no slot behind.
    stop_cluster();
    char message[VTA_MESSAGE_SIZE];
    EXPECT_EQ(VTAdmin_NSConnect("localhost.gone", message), -VTA_ECONNECT);
    EXPECT_STREQ(message, "VtAdmin Connect: (Re)connect failed to VORUD at 'localhost.gone' - "
                          "The File System Services on 127.0.0.1 may be stopped.");
    int taken = 0;
    for (int s = 0; s < VTA_MAX_CONNECTIONS; ++s)
        taken += info(s).type != VTA_CONN_FREE;
    EXPECT_EQ(taken, 1);
    // Reconnect failing with another user left keeps the slot, without a socket.
    EXPECT_EQ(VTAdmin_NSConnect("127.0.0.1", message), -VTA_ECONNECT);
    EXPECT_EQ(info(h).ref_count, 2);
    EXPECT_EQ(VTAdmin_NSDisconnect(h), 0);
    EXPECT_EQ(VTAdmin_NSDisconnect(h), 0);
    EXPECT_EQ(info(h).type, VTA_CONN_FREE);
}

// ---- Authentication ----

TEST_F(Vorud, AuthenticationOnOffAndWrongSecret) {
    stop_cluster();
    start_cluster(scenario_json(R"(, "auth_secret": "s3cret-Key")"));
    char message[VTA_MESSAGE_SIZE];
    write_config_file(".auth_secret", "s3cret-Key\n");
    VTAdmin_Init(); // reloads the authentication setting
    int h = VTAdmin_NSConnect("127.0.0.1", message);
    ASSERT_GE(h, 0) << message;
    EXPECT_EQ(list_all(h, nullptr).size(), 4u);
    EXPECT_EQ(VTAdmin_NSDisconnect(h), 0);

    write_config_file(".auth_secret", "wrong-secret\n");
    VTAdmin_Init();
    EXPECT_EQ(VTAdmin_NSConnect("127.0.0.1", message), -VTA_ECONNECT);
    EXPECT_STREQ(message,
                 "VtAdmin Connect: (Re)connect failed to VORUD at '127.0.0.1' - Authentication "
                 "Failed");

    // Without a secret file no authentication runs; a host that does not ask is served.
    write_config_file(".auth_secret", "");
    VTAdmin_Init();
    stop_cluster();
    start_cluster(scenario_json());
    h = VTAdmin_NSConnect("127.0.0.1", message);
    ASSERT_GE(h, 0) << message;
    EXPECT_EQ(list_all(h, nullptr).size(), 4u);
    EXPECT_EQ(VTAdmin_NSDisconnect(h), 0);

    // A secret installed while the host does not ask for one is fine too.
    write_config_file(".auth_secret", "s3cret-Key\n");
    VTAdmin_Init();
    h = VTAdmin_NSConnect("127.0.0.1", message);
    ASSERT_GE(h, 0) << message;
    EXPECT_EQ(VTAdmin_NSDisconnect(h), 0);
}

// A name server that never answers the authentication query fails the connect within the
// reply time-out, with the time-out's text.
TEST_F(Vorud, SilentAuthenticationEndsInTheReplyTimeOut) {
    stop_cluster();
    start_cluster(
        scenario_json(R"(, "auth_secret": "s3cret-Key", "name_server_fault": "silent/19")"));
    write_config_file(".auth_secret", "s3cret-Key\n");
    VTAdmin_Init();
    setenv("TIMEDWAIT_VALUE", "1", 1);
    char message[VTA_MESSAGE_SIZE];
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(VTAdmin_NSConnect("127.0.0.1", message), -VTA_ECONNECT);
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), 2.0);
    EXPECT_STREQ(message, "VtAdmin Connect: (Re)connect failed to VORUD at '127.0.0.1' - "
                          "Authentication Failed - [Win32 error 10060]: Connection timed out");
}

// ---- Tracing ----

TEST_F(Vorud, TraceLinesOfConnectListDisconnect) {
    VTAdmin_LogInit("vorudtrace");
    VTAdmin_LogEnable(VTA_LOG_ENTRY_EXIT, VTA_LOG_MODULE);
    const int h = connect("127.0.0.1");
    VTA_FSM_ENTRY entry;
    char message[VTA_MESSAGE_SIZE];
    ASSERT_EQ(VTAdmin_NSListFsm(h, 0, &entry, message), 0);
    ASSERT_EQ(VTAdmin_NSListFsm(h, 9, &entry, message), VTA_EOF);
    ASSERT_EQ(VTAdmin_NSDisconnect(h), 0);
    VTAdmin_Teardown();

    const auto lines = read_lines(log_path("vorudtrace"));
    std::vector<std::string> messages;
    for (const std::string &line : lines)
        messages.push_back(log_message(line));
    const std::string hs = std::to_string(h);
    const std::vector<std::string> expected = {
        "Enter: _VTAdmin_NSConnect: Hostname='127.0.0.1'",
        " Exit: OK: _VTAdmin_NSConnect: nshandle=" + hs,
        "Enter: VTAdmin_NSListFsm: nshandle=" + hs + " ordinal=0",
        " Exit: OK: VTAdmin_NSListFsm: Found ordinal=0 fsmname='snfs1'",
        "Enter: VTAdmin_NSListFsm: nshandle=" + hs + " ordinal=9",
        "ERROR 6: VTAdmin_NSListFsm: ",
        "Enter: VTAdmin_NSDisconnect: nshandle=" + hs,
        " Exit: OK: VTAdmin_NSDisconnect",
        "Enter: VTAdmin_Teardown",
        " Exit: OK: VTAdmin_Teardown"};
    EXPECT_EQ(messages, expected);
    ASSERT_EQ(lines.size(), expected.size());
    EXPECT_EQ(lines[0].rfind(" D [", 0), 0u) << "level 0 letter: " << lines[0];
    EXPECT_EQ(lines[5].rfind("(E)[", 0), 0u) << "level 3 letter: " << lines[5];
    std::remove(log_path("vorudtrace").c_str());
}

// ---- Threads ----

TEST_F(Vorud, EightThreadsConnectListDisconnect) {
    constexpr int THREADS = 8;
    constexpr int ROUNDS = 15;
    std::atomic<int> failures{0};
    std::atomic<int> bad_counts{0};
    std::atomic<bool> done{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < THREADS; ++t) {
        threads.emplace_back([&, t] {
            // Even threads share one host, odd ones have their own.
            const std::string own = "localhost.t" + std::to_string(t);
            const char *host = t % 2 == 0 ? "127.0.0.1" : own.c_str();
            for (int round = 0; round < ROUNDS; ++round) {
                char message[VTA_MESSAGE_SIZE];
                const int h = VTAdmin_NSConnect(host, message);
                if (h < 0) {
                    ++failures;
                    continue;
                }
                VTA_FSM_ENTRY entry;
                if (VTAdmin_NSListFsm(h, round % 4, &entry, message) != 0)
                    ++failures;
                VTA_FSM_SEARCH found;
                if (VTAdmin_NSFsmSearch(h, "snfs1", &found, message) != 0)
                    ++failures;
                if (VTAdmin_NSDisconnect(h) != 0)
                    ++failures;
            }
        });
    }
    // Meanwhile the table must stay consistent: the shared host is held by at most the four
    // even threads, every private host by its one thread.
    std::thread sampler([&] {
        for (int sample = 0; sample < 2000 && !done; ++sample) {
            for (int h = 0; h < VTA_MAX_CONNECTIONS; ++h) {
                VTA_CONN_INFO i;
                VTAdmin_NSGetConnInfo(h, &i);
                if (i.type == VTA_CONN_FREE)
                    continue;
                const int most = std::string(i.host) == "127.0.0.1" ? THREADS / 2 : 1;
                if (i.type != VTA_CONN_NS || i.ref_count < 1 || i.ref_count > most)
                    ++bad_counts;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    for (std::thread &t : threads)
        t.join();
    done = true;
    sampler.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(bad_counts.load(), 0);
    for (int h = 0; h < VTA_MAX_CONNECTIONS; ++h) {
        const VTA_CONN_INFO i = info(h);
        EXPECT_EQ(i.type, VTA_CONN_FREE) << "slot " << h << " leaked";
        EXPECT_EQ(i.ref_count, 0) << h;
    }
}
