// Name-server connections and FSM discovery against the cluster simulator, in-process, on the
// program's private install root (the agent port is read once per process, so every cluster of this
// program runs on the same root and port).

#include "support_cluster.h"
#include "support_vtadmin.h"

#include "libfsmcomm/ns_requests.h"
#include "libvtadmin/vtadminlib.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
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
        {"name": "snfs1", "tap_capability": 1,
         "managers": [{"host": "127.0.0.1", "state": "active", "priority": 0, "pid": 501},
                      {"host": "127.0.0.2", "state": "standby", "priority": 1, "pid": 502}]},
        {"name": "archive",
         "managers": [{"host": "127.0.0.2", "state": "active", "priority": 3, "pid": 503}]},
        {"name": "lonely",
         "managers": [{"host": "127.0.0.3", "state": "standby", "priority": 2, "pid": 504}]},
        {"name": "scratch", "managers": [{"host": "127.0.0.1", "state": "down"}]}]})";
}

// "name ordinal state priority address pid".
std::string entry_text(const VTA_FSM_ENTRY &e) {
    return std::string(e.name) + " " + std::to_string(e.ordinal) + " " +
           (e.state == VTA_FSM_ACTIVE ? "active " : "standby ") + std::to_string(e.priority) + " " +
           address_text(e.address) + " " + std::to_string(e.pid);
}

// Every field of a disk record, "|"-separated.
std::string disk_text(const VTA_DISK &d) {
    return std::string(d.label) + "|" + d.serial + "|" + d.block_device + "|" + d.raw_device + "|" +
           d.inquiry + "|" + d.controller + "|" + std::to_string(d.size) + "|" +
           std::to_string(d.state) + "|" + std::to_string(d.hba_id) + "|" +
           std::to_string(d.lun_id);
}

class Vorud : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("TIMEDWAIT_VALUE", "5", 1);
        write_config_file(".auth_secret", "");
        restart();
        VTAdmin_Init();
    }
    void TearDown() override {
        VTAdmin_Teardown();
        stop();
        write_config_file(".auth_secret", "");
    }
    void restart(const std::string &alpha_extra = "") {
        stop();
        cluster_ = start_test_cluster(scenario_json(alpha_extra));
        ASSERT_NE(cluster_, nullptr);
    }
    void stop() {
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
    static int taken_slots() {
        int taken = 0;
        for (int s = 0; s < VTA_MAX_CONNECTIONS; ++s)
            taken += info(s).type != VTA_CONN_FREE;
        return taken;
    }

    sim_cluster *cluster_ = nullptr;
    char msg_[VTA_MESSAGE_SIZE] = "";
};

} // namespace

// ---- Listing, searching, locating ----

TEST_F(Vorud, ListByOrdinalOnEveryGeneration) {
    // beta's oldest form builds the address from offset 32.
    const std::vector<std::string> expected = {
        "snfs1 0 active 0 127.0.0.1 501", "snfs1 1 standby 1 127.0.0.2 502",
        "archive 2 active 3 127.0.0.2 503", "lonely 3 standby 2 127.0.0.3 504"};
    for (const char *host : {"127.0.0.1", "gamma", "beta"}) {
        const int h = connect(host);
        std::vector<std::string> listed;
        for (const VTA_FSM_ENTRY &e : list_fsms(h)) {
            listed.push_back(entry_text(e));
            EXPECT_NE(e.port, 0u) << host;
        }
        EXPECT_EQ(listed, expected) << host;
        VTA_FSM_ENTRY entry;
        EXPECT_EQ(VTAdmin_NSListFsm(h, 4, &entry, msg_), VTA_EOF) << "status 7 ends the list";
        EXPECT_EQ(VTAdmin_NSDisconnect(h), 0);
    }
}

TEST_F(Vorud, SearchAndLocate) {
    const int h = connect("127.0.0.1");
    VTA_FSM_SEARCH found;
    ASSERT_EQ(VTAdmin_NSFsmSearch(h, "snfs1", &found, msg_), 0) << msg_;
    EXPECT_EQ(found.entry_type, 1u);
    EXPECT_EQ(found.run_state, 2u);
    EXPECT_STREQ(found.name, "snfs1");
    EXPECT_EQ(address_text(found.address), "127.0.0.1");
    ASSERT_EQ(VTAdmin_NSFsmSearch(h, "scratch", &found, msg_), 0);
    EXPECT_EQ(found.run_state, 0u) << "stopped";
    EXPECT_EQ(VTAdmin_NSFsmSearch(h, "archive", &found, msg_), VTA_ENOENT)
        << "not local to alpha: asked by name, then walked by index";
    EXPECT_STREQ(msg_, "Name 'archive' not found.\n");

    const struct {
        const char *fs;
        int priority;
        int rc;
        const char *entry;
    } rows[] = {
        {"snfs1", -1, 0, "snfs1 0 active 0 127.0.0.1 501"},
        {"snfs1", 1, 0, "snfs1 1 standby 1 127.0.0.2 502"},
        {"lonely", -1, VTA_ENOENT, nullptr}, // standby only
        {"lonely", 2, 0, "lonely 3 standby 2 127.0.0.3 504"},
        {"snfs1", -2, VTA_ENOENT, nullptr},
        {"nothing", -1, VTA_ENOENT, nullptr},
    };
    for (const auto &row : rows) {
        VTA_FSM_ENTRY entry;
        const std::string name = std::string(row.fs) + " " + std::to_string(row.priority);
        ASSERT_EQ(VTAdmin_NSFsmLocate(h, row.fs, row.priority, &entry), row.rc) << name;
        if (row.entry != nullptr) {
            EXPECT_EQ(entry_text(entry), row.entry) << name;
        }
    }
    EXPECT_EQ(VTAdmin_NSDisconnect(h), 0);
}

// ---- Disks ----

TEST_F(Vorud, DiskPagesAndAChangedListGivesRetry) {
    const int h = connect("127.0.0.1");
    std::vector<VTA_DISK> disks(64);
    uint32_t checksum = 0;
    int n = 0;
    ASSERT_EQ(VTAdmin_NSGetDisks(h, 0, 16, disks.data(), &n, &checksum, msg_), 0) << msg_;
    EXPECT_EQ(n, 16);
    EXPECT_EQ(disk_text(disks[1]), "alpha_disk01|SN01|/dev/sdb||||1001|13|1|1");
    EXPECT_EQ(disk_text(disks[15]), "alpha_disk15|SN15|/dev/sdp||||1015|13|3|15");
    ASSERT_EQ(VTAdmin_NSGetDisks(h, 16, 32, disks.data(), &n, &checksum, msg_), 0) << msg_;
    EXPECT_EQ(n, 24);
    EXPECT_STREQ(disks[0].label, "alpha_disk16");
    EXPECT_STREQ(disks[23].label, "alpha_disk39");
    EXPECT_EQ(VTAdmin_NSGetDisks(h, 40, 64, disks.data(), &n, &checksum, msg_), VTA_EOF);

    // The list changes between pages: the next page reports it.
    ASSERT_EQ(VTAdmin_NSGetDisks(h, 0, 16, disks.data(), &n, &checksum, msg_), 0);
    cluster_edit(
        cluster_, [](sim_scenario &s, void *) { s.hosts[0].disks.pop_back(); }, nullptr);
    EXPECT_EQ(VTAdmin_NSGetDisks(h, 16, 32, disks.data(), &n, &checksum, msg_), VTA_ERETRY);
    EXPECT_NE(std::string(msg_).find("VORUD checksum mismatch"), std::string::npos) << msg_;
    EXPECT_EQ(VTAdmin_NSGetDisks(h, 0, 16, disks.data(), nullptr, nullptr, msg_), -1);
    EXPECT_STREQ(msg_, "VTAdmin_NSGetDisks: NULL ndisk value\n");
    // The 16-bit list index cannot reach further; asking would start over from the front.
    EXPECT_EQ(VTAdmin_NSGetDisks(h, 65535, 16, disks.data(), &n, &checksum, msg_), VTA_EOF);
    EXPECT_EQ(VTAdmin_NSGetDisks(h, 65536, 16, disks.data(), &n, &checksum, msg_), -1);
    EXPECT_STREQ(msg_, "VTAdmin_NSGetDisks: disk index 65536 lies beyond the name server's list "
                       "index (at most 65535)\n");
    // From the start again, with room for many records: only those the page fills are written.
    std::vector<VTA_DISK> many(NS_DISK_PAGE_MAX + 100);
    std::memset(static_cast<void *>(many.data()), 0x5E, sizeof(VTA_DISK) * many.size());
    const int room = static_cast<int>(many.size());
    ASSERT_EQ(VTAdmin_NSGetDisks(h, 0, room, many.data(), &n, &checksum, msg_), 0) << msg_;
    ASSERT_EQ(n, 39) << "one disk went above";
    EXPECT_EQ(disk_text(many[3]), "alpha_disk03|SN03|/dev/sdd||||1003|13|3|3");
    EXPECT_EQ(many[39].size, 0x5E5E5E5E5E5E5E5Eu);
    // Each text field is cleared past its text.
    const VTA_DISK &d = many[3];
    for (const char *field :
         {d.label, d.block_device, d.raw_device, d.inquiry, d.controller, d.serial}) {
        const size_t length = strnlen(field, sizeof d.label);
        EXPECT_EQ(std::string(field + length, sizeof d.label - length),
                  std::string(sizeof d.label - length, '\0'))
            << "field at offset " << field - d.label;
    }
    EXPECT_EQ(VTAdmin_NSDisconnect(h), 0);
}

// ---- The connection table ----

TEST_F(Vorud, PingThatIsNotUnderstoodMeansAlive) {
    const int g = connect("gamma");
    const kx_socket before = vorud_slot_socket(g);
    EXPECT_EQ(connect("gamma"), g);
    EXPECT_EQ(vorud_slot_socket(g), before) << "gamma refuses the ping: still alive, no reconnect";
    EXPECT_EQ(VTAdmin_NSDisconnect(g), 0);
    EXPECT_EQ(VTAdmin_NSDisconnect(g), 0);
}

TEST_F(Vorud, TwentySlotsThenTooManyAndNothingLeftBehind) {
    std::vector<int> handles;
    for (int i = 0; i < VTA_MAX_CONNECTIONS; ++i)
        handles.push_back(connect(("localhost.h" + std::to_string(i)).c_str()));
    int handle = 0;
    EXPECT_EQ(VTAdmin_Connect("localhost.h20", nullptr, &handle, msg_, sizeof msg_, 0),
              VTA_ETOOMANY);
    EXPECT_EQ(handle, -1);
    EXPECT_STREQ(msg_, "VT Admin Connect: Too many open connections.");
    EXPECT_EQ(VTAdmin_NSConnect("localhost.h20", msg_), -VTA_ETOOMANY);
    EXPECT_EQ(connect("localhost.h7"), handles[7]) << "an existing host still shares its slot";
    EXPECT_EQ(VTAdmin_NSDisconnect(handles[7]), 0);
    for (int h : handles)
        EXPECT_EQ(VTAdmin_NSDisconnect(h), 0);
    EXPECT_EQ(taken_slots(), 0);
}

TEST_F(Vorud, SharedSlotsCountReferences) {
    const int a = connect("localhost");
    EXPECT_EQ(connect("localhost"), a);
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
    EXPECT_EQ(list_fsms(a).size(), 4u) << "the socket stays open for the other user";
    EXPECT_EQ(VTAdmin_NSDisconnect(a), 0);
    EXPECT_EQ(info(a).type, VTA_CONN_FREE);
    EXPECT_EQ(VTAdmin_NSDisconnect(a), -1) << "free slot";
    EXPECT_EQ(VTAdmin_NSDisconnect(upper), 0);
}

TEST_F(Vorud, FsmSlotsShareByNameAndAreNotNameServerHandles) {
    int fsm = -1, again = -1;
    ASSERT_EQ(VTAdmin_Connect("127.0.0.1", "snfs1", &fsm, msg_, sizeof msg_, 0), 0) << msg_;
    ASSERT_EQ(VTAdmin_Connect("127.0.0.1", "snfs1", &again, msg_, sizeof msg_, 0), 0) << msg_;
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

    EXPECT_EQ(VTAdmin_Connect("127.0.0.1", "lonely", &fsm, msg_, sizeof msg_, 0), VTA_ECONNECT);
    EXPECT_STREQ(msg_, "VtAdmin Connect: (Re)connect failed to MDC 'lonely' at '127.0.0.1' - File "
                       "System Manager \"lonely\" on 127.0.0.1 is in standby mode.\n");
    EXPECT_EQ(VTAdmin_NSDisconnect(ns), 0);
}

TEST_F(Vorud, LostPeerIsPingedAndReconnectedUnderTheSameHandle) {
    const int h = connect("127.0.0.1");
    restart();
    EXPECT_EQ(connect("127.0.0.1"), h);
    EXPECT_EQ(info(h).ref_count, 2);
    EXPECT_EQ(list_fsms(h).size(), 4u) << "the new socket works";

    // A first connect that fails leaves no slot behind.
    stop();
    EXPECT_EQ(VTAdmin_NSConnect("localhost.gone", msg_), -VTA_ECONNECT);
    EXPECT_STREQ(msg_, "VtAdmin Connect: (Re)connect failed to VORUD at 'localhost.gone' - The "
                       "File System Services on 127.0.0.1 may be stopped.");
    EXPECT_EQ(taken_slots(), 1);
    // Reconnect failing with another user left keeps the slot, without a socket.
    EXPECT_EQ(VTAdmin_NSConnect("127.0.0.1", msg_), -VTA_ECONNECT);
    EXPECT_EQ(info(h).ref_count, 2);
    EXPECT_EQ(VTAdmin_NSDisconnect(h), 0);
    EXPECT_EQ(VTAdmin_NSDisconnect(h), 0);
    EXPECT_EQ(info(h).type, VTA_CONN_FREE);
}

// ---- Authentication ----

// A name server that never answers the authentication query fails the connect within the reply
// time-out (lowered to a second), with the time-out's text.
TEST_F(Vorud, AuthenticationOnOffWrongSecretAndSilence) {
    const std::string failed = "VtAdmin Connect: (Re)connect failed to VORUD at '127.0.0.1' - ";
    const struct {
        const char *host;       // the host's settings: "" does not ask
        const char *our_secret; // "": no secret file
        std::string failure;    // "": connects and lists
    } rows[] = {
        {R"(, "auth_secret": "s3cret-Key")", "s3cret-Key\n", ""},
        {R"(, "auth_secret": "s3cret-Key")", "wrong-secret\n", failed + "Authentication Failed"},
        {"", "", ""},
        {"", "s3cret-Key\n", ""},
        {R"(, "auth_secret": "s3cret-Key", "name_server_fault": "silent/19")", "s3cret-Key\n",
         failed + "Authentication Failed - [Win32 error 10060]: Connection timed out"},
    };
    setenv("TIMEDWAIT_VALUE", "1", 1);
    for (const auto &row : rows) {
        const std::string name = std::string(row.host) + "/" + row.our_secret;
        restart(row.host);
        write_config_file(".auth_secret", row.our_secret);
        VTAdmin_Init(); // reloads the authentication setting
        const auto start = std::chrono::steady_clock::now();
        const int h = VTAdmin_NSConnect("127.0.0.1", msg_);
        EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(),
                  2.0)
            << name;
        if (!row.failure.empty()) {
            EXPECT_EQ(h, -VTA_ECONNECT) << name;
            EXPECT_EQ(msg_, row.failure) << name;
            continue;
        }
        ASSERT_GE(h, 0) << name << ": " << msg_;
        EXPECT_EQ(list_fsms(h).size(), 4u) << name;
        EXPECT_EQ(VTAdmin_NSDisconnect(h), 0) << name;
    }
}

// ---- Tracing ----

TEST_F(Vorud, TraceLinesOfConnectListDisconnect) {
    start_trace("vorudtrace");
    const int h = connect("127.0.0.1");
    VTA_FSM_ENTRY entry;
    ASSERT_EQ(VTAdmin_NSListFsm(h, 0, &entry, msg_), 0);
    ASSERT_EQ(VTAdmin_NSListFsm(h, 9, &entry, msg_), VTA_EOF);
    ASSERT_EQ(VTAdmin_NSDisconnect(h), 0);
    VTAdmin_Teardown();

    const auto lines = read_lines(log_path("vorudtrace"));
    const std::string hs = std::to_string(h);
    EXPECT_EQ(log_messages("vorudtrace"),
              (std::vector<std::string>{
                  "Enter: _VTAdmin_NSConnect: Hostname='127.0.0.1'",
                  " Exit: OK: _VTAdmin_NSConnect: nshandle=" + hs,
                  "Enter: VTAdmin_NSListFsm: nshandle=" + hs + " ordinal=0",
                  " Exit: OK: VTAdmin_NSListFsm: Found ordinal=0 fsmname='snfs1'",
                  "Enter: VTAdmin_NSListFsm: nshandle=" + hs + " ordinal=9",
                  "ERROR 6: VTAdmin_NSListFsm: ", "Enter: VTAdmin_NSDisconnect: nshandle=" + hs,
                  " Exit: OK: VTAdmin_NSDisconnect", "Enter: VTAdmin_Teardown",
                  " Exit: OK: VTAdmin_Teardown"}));
    ASSERT_EQ(lines.size(), 10u);
    EXPECT_EQ(lines[0].rfind(" D [", 0), 0u) << "level 0 letter: " << lines[0];
    EXPECT_EQ(lines[5].rfind("(E)[", 0), 0u) << "level 3 letter: " << lines[5];
    std::remove(log_path("vorudtrace").c_str());
}

// ---- Threads ----

TEST_F(Vorud, EightThreadsConnectListDisconnect) {
    constexpr int THREADS = 8;
    std::atomic<int> failures{0};
    std::atomic<int> bad_counts{0};
    std::atomic<bool> done{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < THREADS; ++t) {
        threads.emplace_back([&, t] {
            // Even threads share one host, odd ones have their own.
            const std::string host = t % 2 == 0 ? "127.0.0.1" : "localhost.t" + std::to_string(t);
            for (int round = 0; round < 15; ++round) {
                char message[VTA_MESSAGE_SIZE];
                VTA_FSM_ENTRY entry;
                VTA_FSM_SEARCH found;
                const int h = VTAdmin_NSConnect(host.c_str(), message);
                failures += h < 0 || VTAdmin_NSListFsm(h, round % 4, &entry, message) != 0 ||
                            VTAdmin_NSFsmSearch(h, "snfs1", &found, message) != 0 ||
                            VTAdmin_NSDisconnect(h) != 0;
            }
        });
    }
    // Meanwhile the table must stay consistent: the shared host is held by at most the four even
    // threads, every private host by its one thread.
    std::thread sampler([&] {
        for (int sample = 0; sample < 2000 && !done; ++sample) {
            for (int h = 0; h < VTA_MAX_CONNECTIONS; ++h) {
                VTA_CONN_INFO i;
                VTAdmin_NSGetConnInfo(h, &i);
                const int most = std::string(i.host) == "127.0.0.1" ? THREADS / 2 : 1;
                bad_counts += i.type != VTA_CONN_FREE &&
                              (i.type != VTA_CONN_NS || i.ref_count < 1 || i.ref_count > most);
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
    EXPECT_EQ(taken_slots(), 0) << "a slot leaked";
}
