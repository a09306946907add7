// The FSM side over raw sockets: administration tap, status, stripe groups in both forms, debug
// flags, QoS, quotas and both client-list versions. The reply layouts the console reads are
// pinned by its decoder tests; here the fields show which answer came back (11: the flag, 14:
// the error code).
#include "support.h"

#include "clustersim/fsm_server.h"
#include "clustersim/world.h"

#include <chrono>
#include <gtest/gtest.h>
#include <thread>
#include <unistd.h>

namespace {

bytes request(uint8_t type, size_t length, uint32_t a = 0, uint32_t b = 0) {
    bytes r = framed(length, 2, type);
    set_be(r, 24, 4, a);
    set_be(r, 28, 4, b);
    return r;
}

class SimFsm : public ::testing::Test {
protected:
    void SetUp() override {
        sim = std::make_unique<running_cluster>(default_scenario());
        snfs1 = fsm_open(sim->cluster, "snfs1", alpha);
        archive = fsm_open(sim->cluster, "archive", beta);
        ASSERT_GE(snfs1, 0);
        ASSERT_GE(archive, 0);
    }
    void TearDown() override {
        ::close(snfs1);
        ::close(archive);
    }

    // One request per row, in order, on the manager's connection; the fields of its reply.
    struct exchange {
        const char *row;
        int fd;
        bytes request;
        std::string fields;
    };
    void expect(std::initializer_list<exchange> exchanges) {
        for (const exchange &e : exchanges)
            expect_fields(round_trip(e.fd, e.request), e.fields, e.row);
    }

    std::unique_ptr<running_cluster> sim;
    int snfs1 = -1, archive = -1;
};

TEST_F(SimFsm, RepliesOfEachRequest) {
    bytes qos = request(11, 40, 0, 2);
    set_be(qos, 32, 4, 1);
    expect({
        // The sequence echoed little-endian at 16; 4 stripe groups at 28.
        {"status", snfs1, framed(24, 2, 2, 0x01020304),
         "5:3=96, 16:8=0x0403020100000000, 24:2=0x10CF, 26:2=1, 28:2=4, 32:4=4096, 56:8=120, "
         "80:8=262144000, 88:8=98304000"},
        {"stripe group", snfs1, request(18, 32, 0),
         "24:4=0x0D, 32:8=2097152, 40:8=1024, 48:8=1500000, 96:4=16, 112=MetaFiles"},
        // The older form has free blocks at 40, where the current one has the reserved ones.
        {"stripe group, older form", snfs1, request(3, 32, 1),
         "24:4=1, 32:8=130023424, 40:8=48000000, 72:4=8, 84:2=1, 88:4=64, 104=DataFiles1"},
        {"the disabled group", snfs1, request(18, 32, 2), "24:4=0"},
        {"past the last group", snfs1, request(18, 32, 4), "11:1=1, 14:2=2"},
        {"no 0x1000 capability", archive, request(18, 32, 0), "11:1=255, 14:2=1"},
        {"older form without it", archive, request(3, 32, 0), "104=ArchiveData"},
        {"QoS", snfs1, qos,
         "24:4=5000, 28:4=1200, 32:4=500, 36:4=0, 40:4=800, 44:4=300, 48:4=400, 52:4=1, 64:4=4"},
        {"quotas on", snfs1, request(12, 32), "24:4=1, 32=Quotas are enabled"},
        {"quotas off", archive, request(12, 32), "24:4=0"},
        // Version 2 of the client list; the end of the list is error 2.
        {"client 0", snfs1, request(22, 32, 0),
         "5:3=1168, 28:4=3, 32:4=2, 36:4=8, 44:4=86400, 48:8=1001, 66:2=0xFFFF, 68:4=0x7F000001, "
         "82:2=0xFFFF, 84:4=0x7F000001, 88:8=0, 96:8=0, 120=kxfsm 4.2.1 build 1187, "
         "1144:8=1765000000"},
        {"client 1", snfs1, request(22, 32, 1), "104:4=350, 112:8=1765000100, 1152:4=2"},
        {"client 3 disconnected", snfs1, request(22, 32, 3), "28:4=0"},
        {"client 4 without an address", snfs1, request(22, 32, 4),
         "56:8=0, 64:8=0, 72:8=0, 80:8=0"},
        {"the end", snfs1, request(22, 32, 6), "11:1=1, 14:2=2"},
        {"version 1", snfs1, request(10, 32, 1), "5:3=64, 36:4=16, 56:4=0x7F000002"},
        {"version 1, the end", snfs1, request(10, 32, 6), "14:2=2"},
        {"version 2 unknown to archive", archive, request(22, 32, 0), "11:1=255"},
        {"version 1 known", archive, request(10, 32, 0), "11:1=0"},
    });
}

TEST_F(SimFsm, DebugFlagsPersistPerManagerWithinTheSettableMask) {
    cluster_edit(
        sim->cluster, [](sim_scenario &s, void *) { s.filesystems[1].debug_settable = 0x10; },
        nullptr);
    expect({
        {"the scenario's word", snfs1, request(6, 32, 0, 0),
         "24:4=0x1001, 32=FSM debug flags 0x00001001"},
        {"set", snfs1, request(6, 32, 1, 0x80000030), "24:4=0x80000030"},
        {"read back", snfs1, request(6, 32, 0, 0), "24:4=0x80000030"},
        {"settable bits only", archive, request(6, 32, 1, 0x30), "24:4=0x10"},
        {"cleared", archive, request(6, 32, 1, 0x00), "24:4=0"},
    });
    // The standby on beta takes over: it answers its own word, not the one just set.
    cluster_edit(
        sim->cluster,
        [](sim_scenario &s, void *) {
            s.filesystems[0].managers[0].state = SIM_STANDBY;
            s.filesystems[0].managers[1].state = SIM_ACTIVE;
        },
        nullptr);
    const int standby = fsm_open(sim->cluster, "snfs1", beta);
    expect({{"the standby's own word", standby, request(6, 32, 0, 0), "24:4=0x1001"}});
    ::close(standby);
    EXPECT_EQ(cluster_snapshot(sim->cluster).filesystems[0].managers[0].debug_flags, 0x80000030u);
}

TEST_F(SimFsm, QuotaWalkInNameOrder) {
    std::vector<std::string> names;
    std::string name;
    for (int i = 0; i < 10; ++i) {
        const bytes reply = round_trip(snfs1, quota_op(0xA0000004, name));
        ASSERT_EQ(reply.size(), 320u);
        if (be(reply, 56, 4) == 2)
            break;
        name = text_at(reply, 64);
        names.push_back(name);
        if (name == "bob")
            expect_fields(reply, "24:4=1, 28:4=10080, 32:8=262144, 40:8=230400, 48:8=243200, "
                                 "60:4=5400");
        if (name == "carol") // expired: a negative time remaining
            expect_fields(reply, "60:4=" + std::to_string(uint32_t(-3600)));
    }
    EXPECT_EQ(names, (std::vector<std::string>{"alice", "bob", "carol", "dave", "devel", "erin",
                                               "frank", "ghost"}));
    expect_fields(round_trip(snfs1, quota_op(5, "carol")), "64=devel, 48:8=1310720");
}

// Sets persist and report their results (56); clearing a quota without usage removes its entry.
TEST_F(SimFsm, QuotaSetsAndClears) {
    const sim_quota first_files =
        cluster_snapshot(sim->cluster).filesystems[0].dir_file_quotas.at(0);
    const std::string used = std::to_string(first_files.used);
    expect({
        // The usage at 48 is unchanged.
        {"set", snfs1, quota_op(2, "alice", 100, 80, 60), "56:4=0, 32:8=100, 48:8=25600"},
        {"read back", snfs1, quota_op(4, ""), "64=alice, 40:8=80, 28:4=60"},
        // A listed group without an entry gets one; names nobody listed do not exist.
        {"listed group", snfs1, quota_op(3, "ops", 10, 5, 1), "56:4=0"},
        {"group after devel", snfs1, quota_op(5, "devel"), "64=ops"},
        {"unknown group", snfs1, quota_op(3, "nosuchgroup", 10, 5, 1), "56:4=22"},
        {"unknown user", snfs1, quota_op(2, "nosuchuser", 10, 5, 1), "56:4=22"},
        {"no name", snfs1, quota_op(2, ""), "56:4=22"},
        // Directory entries are named after their directory's inode: "D:<inode>".
        {"directory", snfs1, quota_op(7, first_files.name, 500, 400, 30), "56:4=0"},
        {"no such name space", snfs1, quota_op(7, "nosuchspace", 1, 1, 1), "56:4=2"},
        {"directory walk", snfs1, quota_op(11, ""), "64=" + first_files.name + ", 48:8=" + used},
        {"quotas off", archive, quota_op(2, "alice", 100, 80, 60), "24:4=0, 28:4=0, 56:4=0"},
        {"cleared", snfs1, quota_op(2, "ghost", 0, 0, 0), "56:4=0, 64=ghost"},
        {"ghost is gone", snfs1, quota_op(4, "frank"), "56:4=2"},
        // With usage the entry stays, without limits.
        {"cleared with usage", snfs1, quota_op(2, "alice", 0, 0, 0), "56:4=0"},
        {"still listed", snfs1, quota_op(4, ""), "64=alice, 32:8=0, 48:8=25600"},
        // The user still exists: a new set makes a new entry.
        {"set again", snfs1, quota_op(2, "ghost", 8, 4, 1), "56:4=0"},
        {"back in the list", snfs1, quota_op(4, "frank"), "64=ghost"},
    });
}

TEST_F(SimFsm, StoppedManagerDropsConnectionsAndRefusesNewOnes) {
    cluster_edit(
        sim->cluster,
        [](sim_scenario &s, void *) { s.filesystems[0].managers[0].state = SIM_DOWN; }, nullptr);
    EXPECT_LT(round_trip(snfs1, framed(24, 2, 2)).size(), 24u);
    EXPECT_TRUE(refused_soon(alpha, cluster_manager_port(sim->cluster, "snfs1", alpha.c_str())));
    cluster_edit(
        sim->cluster,
        [](sim_scenario &s, void *) { s.filesystems[0].managers[0].state = SIM_ACTIVE; }, nullptr);
    int fd = -1;
    for (int i = 0; i < 100 && fd < 0; ++i) { // and listens again on the same port
        fd = fsm_open(sim->cluster, "snfs1", alpha);
        if (fd < 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_GE(fd, 0);
    EXPECT_EQ(round_trip(fd, framed(24, 2, 2)).size(), 96u);
    ::close(fd);
}

// The request handling without a socket: a connection must register as a tap first, which
// answers the capability word.
TEST(SimFsmRequests, TapFirstThenRequestsAreAnswered) {
    sim_world world;
    world.scenario = default_scenario();
    bool tapped = false;
    const bytes status = framed(32, 2, 2);
    expect_fields(fsm_reply(world, 0, 0, status, &tapped), "11:1=1, 14:2=22", "before the tap");
    expect_fields(fsm_reply(world, 0, 0, framed(32, 2, 7), &tapped), "9:1=7, 11:1=0, 24:4=1");
    EXPECT_TRUE(tapped);
    expect_fields(fsm_reply(world, 1, 0, framed(32, 2, 7), &tapped), "24:4=0", "no capabilities");
    EXPECT_EQ(fsm_reply(world, 0, 0, status, &tapped)[11], 0);
    EXPECT_EQ(fsm_reply(world, 0, 0, framed(24, 2, 99), &tapped)[11], 255) << "unknown type";
    EXPECT_EQ(fsm_reply(world, 0, 0, framed(24, 0, 2), &tapped)[11], 1) << "wrong class";
    EXPECT_EQ(fsm_request_length(framed(70000, 2, 2).data()), 0u);
    EXPECT_EQ(fsm_request_length(status.data()), 32u);
}

} // namespace
