// The FSM side over raw sockets: administration tap, status, stripe groups in both forms,
// debug flags, QoS, quotas and both client-list versions.
#include "support.h"

#include "clustersim/fsm_server.h"
#include "clustersim/world.h"

#include <chrono>
#include <gtest/gtest.h>
#include <thread>
#include <unistd.h>

namespace {

const std::string alpha = "127.0.0.1", beta = "127.0.0.2";

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

    static bytes request(uint8_t type, size_t length, uint32_t a = 0, uint32_t b = 0) {
        bytes r = framed(length, 2, type);
        set_be(r, 24, 4, a);
        set_be(r, 28, 4, b);
        return r;
    }

    std::unique_ptr<running_cluster> sim;
    int snfs1 = -1, archive = -1;
};

TEST_F(SimFsm, TapComesFirstAndAnswersTheCapabilityWord) {
    int fd = connect_to(alpha, cluster_manager_port(sim->cluster, "snfs1", alpha.c_str()));
    ASSERT_GE(fd, 0);
    bytes early = round_trip(fd, framed(24, 2, 2));
    ASSERT_EQ(early.size(), 24u);
    EXPECT_EQ(early[11], 1);
    EXPECT_EQ(be(early, 14, 2), 22u);
    bytes tap = round_trip(fd, request(7, 32));
    ASSERT_EQ(tap.size(), 32u);
    EXPECT_EQ(tap[9], 7);
    EXPECT_EQ(be(tap, 24, 4), 1u);
    EXPECT_EQ(round_trip(fd, framed(24, 2, 2)).size(), 96u);
    ::close(fd);
    fd = connect_to(beta, cluster_manager_port(sim->cluster, "archive", beta.c_str()));
    EXPECT_EQ(be(round_trip(fd, request(7, 32)), 24, 4), 0u);
    ::close(fd);
}

TEST_F(SimFsm, StatusReplyLayout) {
    bytes r = framed(24, 2, 2, 0x01020304);
    bytes reply = round_trip(snfs1, r);
    ASSERT_EQ(reply.size(), 96u);
    EXPECT_EQ(be(reply, 5, 3), 96u);
    EXPECT_EQ(bytes(reply.begin() + 16, reply.begin() + 24),
              (bytes{4, 3, 2, 1, 0, 0, 0, 0})); // sequence echoed, little-endian
    EXPECT_EQ(be(reply, 24, 2), 0x10CFu);
    EXPECT_EQ(be(reply, 26, 2), 1u);
    EXPECT_EQ(be(reply, 28, 2), 4u); // stripe groups
    EXPECT_EQ(be(reply, 32, 4), 4096u);
    EXPECT_EQ(be(reply, 48, 8), 0u);
    EXPECT_EQ(be(reply, 56, 8), 120u);
    EXPECT_EQ(be(reply, 64, 8), 7u);
    EXPECT_EQ(be(reply, 80, 8), 262144000u);
    EXPECT_EQ(be(reply, 88, 8), 98304000u);
}

TEST_F(SimFsm, StripeGroupInBothForms) {
    bytes current = round_trip(snfs1, request(18, 32, 0));
    EXPECT_EQ(be(current, 24, 4), 0x0Du);
    EXPECT_EQ(be(current, 32, 8), 2097152u);
    EXPECT_EQ(be(current, 40, 8), 1024u);
    EXPECT_EQ(be(current, 48, 8), 1500000u);
    EXPECT_EQ(be(current, 80, 4), 2u);
    EXPECT_EQ(be(current, 88, 4), 3u);
    EXPECT_EQ(be(current, 96, 4), 16u);
    EXPECT_EQ(text_at(current, 112), "MetaFiles");

    bytes older = round_trip(snfs1, request(3, 32, 1));
    EXPECT_EQ(be(older, 24, 4), 1u);
    EXPECT_EQ(be(older, 32, 8), 130023424u);
    EXPECT_EQ(be(older, 40, 8), 48000000u); // free blocks where the reserved ones would be
    EXPECT_EQ(be(older, 72, 4), 8u);
    EXPECT_EQ(be(older, 84, 2), 1u);
    EXPECT_EQ(be(older, 88, 4), 64u);
    EXPECT_EQ(text_at(older, 104), "DataFiles1");

    EXPECT_EQ(be(round_trip(snfs1, request(18, 32, 2)), 24, 4), 0u); // the disabled group
    bytes past = round_trip(snfs1, request(18, 32, 4));
    EXPECT_EQ(past[11], 1);
    EXPECT_EQ(be(past, 14, 2), 2u);
    bytes refused = round_trip(archive, request(18, 32, 0)); // no 0x1000 capability
    EXPECT_EQ(refused[11], 255);
    EXPECT_EQ(be(refused, 14, 2), 1u);
    EXPECT_EQ(text_at(round_trip(archive, request(3, 32, 0)), 104), "ArchiveData");
}

TEST_F(SimFsm, DebugFlagsPersistAndRespectTheSettableMask) {
    bytes get = round_trip(snfs1, request(6, 32, 0, 0));
    EXPECT_EQ(be(get, 24, 4), 0x1001u) << "the default scenario's word is not 0";
    EXPECT_EQ(text_at(get, 32), "FSM debug flags 0x00001001");
    EXPECT_EQ(be(round_trip(snfs1, request(6, 32, 1, 0x30)), 24, 4), 0x30u);
    EXPECT_EQ(be(round_trip(snfs1, request(6, 32, 0, 0)), 24, 4), 0x30u);
    cluster_edit(
        sim->cluster, [](sim_scenario &s, void *) { s.filesystems[1].debug_settable = 0x10; },
        nullptr);
    EXPECT_EQ(be(round_trip(archive, request(6, 32, 1, 0x30)), 24, 4), 0x10u);
    EXPECT_EQ(be(round_trip(archive, request(6, 32, 1, 0x00)), 24, 4), 0x00u);
}

TEST_F(SimFsm, EveryManagerKeepsItsOwnDebugWord) {
    EXPECT_EQ(be(round_trip(snfs1, request(6, 32, 1, 0x80000000)), 24, 4), 0x80000000u);
    // The standby on beta takes over: it answers its own word, not the one just set.
    cluster_edit(
        sim->cluster,
        [](sim_scenario &s, void *) {
            s.filesystems[0].managers[0].state = SIM_STANDBY;
            s.filesystems[0].managers[1].state = SIM_ACTIVE;
        },
        nullptr);
    const int standby = fsm_open(sim->cluster, "snfs1", beta);
    ASSERT_GE(standby, 0);
    EXPECT_EQ(be(round_trip(standby, request(6, 32, 0, 0)), 24, 4), 0x1001u);
    ::close(standby);
    const sim_scenario now = cluster_snapshot(sim->cluster);
    EXPECT_EQ(now.filesystems[0].managers[0].debug_flags, 0x80000000u);
    EXPECT_EQ(now.filesystems[0].managers[1].debug_flags, 0x1001u);
}

TEST_F(SimFsm, QosFigures) {
    bytes r = request(11, 40, 0, 2);
    set_be(r, 32, 4, 1);
    bytes reply = round_trip(snfs1, r);
    EXPECT_EQ(be(reply, 24, 4), 5000u);
    EXPECT_EQ(be(reply, 28, 4), 1200u);
    EXPECT_EQ(be(reply, 32, 4), 500u);
    EXPECT_EQ(be(reply, 36, 4), 0u);
    EXPECT_EQ(be(reply, 40, 4), 800u);
    EXPECT_EQ(be(reply, 44, 4), 300u);
    EXPECT_EQ(be(reply, 48, 4), 400u);
    EXPECT_EQ(be(reply, 52, 4), 1u);
    EXPECT_EQ(be(reply, 64, 4), 4u);
}

TEST_F(SimFsm, QuotaStateAndUserWalk) {
    bytes on = round_trip(snfs1, request(12, 32));
    EXPECT_EQ(be(on, 24, 4), 1u);
    EXPECT_EQ(text_at(on, 32), "Quotas are enabled");
    EXPECT_EQ(be(round_trip(archive, request(12, 32)), 24, 4), 0u);

    std::vector<std::string> names;
    std::string name;
    for (int i = 0; i < 10; ++i) {
        bytes reply = round_trip(snfs1, quota_op(0xA0000004, name));
        ASSERT_EQ(reply.size(), 320u);
        EXPECT_EQ(be(reply, 24, 4), 1u);
        if (be(reply, 56, 4) == 2)
            break;
        name = text_at(reply, 64);
        names.push_back(name);
        if (name == "bob") {
            EXPECT_EQ(be(reply, 28, 4), 10080u);
            EXPECT_EQ(be(reply, 32, 8), 262144u);
            EXPECT_EQ(be(reply, 40, 8), 230400u);
            EXPECT_EQ(be(reply, 48, 8), 243200u);
            EXPECT_EQ(be(reply, 60, 4), 5400u);
        }
        if (name == "carol") {
            EXPECT_EQ(be(reply, 60, 4), uint32_t(-3600)) << "expired: negative time remaining";
        }
    }
    EXPECT_EQ(names, (std::vector<std::string>{"alice", "bob", "carol", "dave", "devel", "erin",
                                               "frank", "ghost"}));
    bytes group = round_trip(snfs1, quota_op(5, "carol"));
    EXPECT_EQ(text_at(group, 64), "devel");
    EXPECT_EQ(be(group, 48, 8), 1310720u);
}

TEST_F(SimFsm, QuotaSetsPersistAndReportTheirResults) {
    bytes set = round_trip(snfs1, quota_op(2, "alice", 100, 80, 60));
    EXPECT_EQ(be(set, 56, 4), 0u);
    EXPECT_EQ(be(set, 32, 8), 100u);
    EXPECT_EQ(be(set, 48, 8), 25600u); // usage unchanged
    bytes again = round_trip(snfs1, quota_op(4, ""));
    EXPECT_EQ(text_at(again, 64), "alice");
    EXPECT_EQ(be(again, 40, 8), 80u);
    EXPECT_EQ(be(again, 28, 4), 60u);

    // A listed group without an entry gets one; names nobody listed do not exist.
    EXPECT_EQ(be(round_trip(snfs1, quota_op(3, "ops", 10, 5, 1)), 56, 4), 0u);
    EXPECT_EQ(text_at(round_trip(snfs1, quota_op(5, "devel")), 64), "ops");
    EXPECT_EQ(be(round_trip(snfs1, quota_op(3, "nosuchgroup", 10, 5, 1)), 56, 4), 22u);
    EXPECT_EQ(be(round_trip(snfs1, quota_op(2, "nosuchuser", 10, 5, 1)), 56, 4), 22u);
    EXPECT_EQ(be(round_trip(snfs1, quota_op(2, "")), 56, 4), 22u);
    // Directory entries are named after their directory's inode: "D:<inode>".
    const sim_scenario now = cluster_snapshot(sim->cluster);
    const sim_quota &first_files = now.filesystems[0].dir_file_quotas.at(0);
    EXPECT_EQ(be(round_trip(snfs1, quota_op(7, first_files.name, 500, 400, 30)), 56, 4), 0u);
    EXPECT_EQ(be(round_trip(snfs1, quota_op(7, "nosuchspace", 1, 1, 1)), 56, 4), 2u);
    bytes files = round_trip(snfs1, quota_op(11, ""));
    EXPECT_EQ(text_at(files, 64), first_files.name);
    EXPECT_EQ(be(files, 48, 8), first_files.used);

    bytes off = round_trip(archive, quota_op(2, "alice", 100, 80, 60));
    EXPECT_EQ(be(off, 24, 4), 0u);
    EXPECT_EQ(bytes(off.begin() + 28, off.end()), bytes(off.size() - 28, 0));
}

TEST_F(SimFsm, ClearingAQuotaWithoutUsageRemovesItsEntry) {
    bytes ghost = round_trip(snfs1, quota_op(2, "ghost", 0, 0, 0));
    EXPECT_EQ(be(ghost, 56, 4), 0u);
    EXPECT_EQ(text_at(ghost, 64), "ghost");
    EXPECT_EQ(be(round_trip(snfs1, quota_op(4, "frank")), 56, 4), 2u) << "ghost is gone";
    // With usage the entry stays, without limits.
    ASSERT_EQ(be(round_trip(snfs1, quota_op(2, "alice", 0, 0, 0)), 56, 4), 0u);
    bytes alice = round_trip(snfs1, quota_op(4, ""));
    EXPECT_EQ(text_at(alice, 64), "alice");
    EXPECT_EQ(be(alice, 32, 8), 0u);
    EXPECT_EQ(be(alice, 48, 8), 25600u);
    // The user still exists: a new set makes a new entry.
    EXPECT_EQ(be(round_trip(snfs1, quota_op(2, "ghost", 8, 4, 1)), 56, 4), 0u);
    EXPECT_EQ(text_at(round_trip(snfs1, quota_op(4, "frank")), 64), "ghost");
}

TEST_F(SimFsm, ClientListBothVersionsEndWithError2) {
    bytes first = round_trip(snfs1, request(22, 32, 0));
    ASSERT_EQ(first.size(), 1168u);
    EXPECT_EQ(be(first, 28, 4), 3u);
    EXPECT_EQ(be(first, 32, 4), 2u);
    EXPECT_EQ(be(first, 36, 4), 8u);
    EXPECT_EQ(be(first, 44, 4), 86400u);
    EXPECT_EQ(be(first, 48, 8), 1001u);
    const bytes mapped_alpha = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 127, 0, 0, 1};
    EXPECT_EQ(bytes(first.begin() + 56, first.begin() + 72), mapped_alpha);
    EXPECT_EQ(bytes(first.begin() + 72, first.begin() + 88), mapped_alpha);
    EXPECT_EQ(bytes(first.begin() + 88, first.begin() + 104), bytes(16, 0));
    EXPECT_EQ(text_at(first, 120), "kxfsm 4.2.1 build 1187");
    EXPECT_EQ(be(first, 1144, 8), 1765000000u);

    bytes second = round_trip(snfs1, request(22, 32, 1));
    EXPECT_EQ(be(second, 104, 4), 350u);
    EXPECT_EQ(be(second, 112, 8), 1765000100u);
    EXPECT_EQ(be(second, 1152, 4), 2u);
    EXPECT_EQ(be(round_trip(snfs1, request(22, 32, 3)), 28, 4) & 3, 0u); // disconnected
    bytes no_address = round_trip(snfs1, request(22, 32, 4));
    EXPECT_EQ(bytes(no_address.begin() + 56, no_address.begin() + 88), bytes(32, 0));
    bytes end = round_trip(snfs1, request(22, 32, 6));
    EXPECT_EQ(end[11], 1);
    EXPECT_EQ(be(end, 14, 2), 2u);

    bytes v1 = round_trip(snfs1, request(10, 32, 1));
    ASSERT_EQ(v1.size(), 64u);
    EXPECT_EQ(be(v1, 36, 4), 16u);
    EXPECT_EQ(bytes(v1.begin() + 56, v1.begin() + 60), (bytes{127, 0, 0, 2}));
    EXPECT_EQ(be(round_trip(snfs1, request(10, 32, 6)), 14, 2), 2u);
    EXPECT_EQ(round_trip(archive, request(22, 32, 0))[11], 255); // first version only
    EXPECT_EQ(round_trip(archive, request(10, 32, 0))[11], 0);
}

TEST_F(SimFsm, StoppedManagerDropsConnectionsAndRefusesNewOnes) {
    cluster_edit(
        sim->cluster,
        [](sim_scenario &s, void *) { s.filesystems[0].managers[0].state = SIM_DOWN; }, nullptr);
    EXPECT_LT(round_trip(snfs1, framed(24, 2, 2)).size(), 24u);
    uint16_t port = cluster_manager_port(sim->cluster, "snfs1", alpha.c_str());
    int fd = 0;
    for (int i = 0; i < 100 && fd >= 0; ++i) { // the listener closes within a poll period
        fd = connect_to(alpha, port);
        if (fd >= 0) {
            ::close(fd);
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    EXPECT_LT(fd, 0);

    cluster_edit(
        sim->cluster,
        [](sim_scenario &s, void *) { s.filesystems[0].managers[0].state = SIM_ACTIVE; }, nullptr);
    for (int i = 0; i < 100 && fd < 0; ++i) { // and listens again on the same port
        fd = fsm_open(sim->cluster, "snfs1", alpha);
        if (fd < 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_GE(fd, 0);
    EXPECT_EQ(round_trip(fd, framed(24, 2, 2)).size(), 96u);
    ::close(fd);
}

} // namespace

namespace {

// The request handling without a socket: a connection must register as a tap first.
TEST(SimFsmRequests, TapFirstThenRequestsAreAnswered) {
    sim_world world;
    world.scenario = default_scenario();
    bool tapped = false;
    bytes status = framed(32, 2, 2);
    EXPECT_EQ(fsm_reply(world, 0, 0, status, &tapped)[11], 1) << "before the tap";
    EXPECT_FALSE(tapped);
    EXPECT_EQ(fsm_reply(world, 0, 0, framed(32, 2, 7), &tapped)[11], 0);
    EXPECT_TRUE(tapped);
    bytes reply = fsm_reply(world, 0, 0, status, &tapped);
    EXPECT_EQ(reply[11], 0);
    EXPECT_EQ(be(reply, 0, 8) & 0xFFFFFF, reply.size());
    EXPECT_EQ(fsm_reply(world, 0, 0, framed(24, 2, 99), &tapped)[11], 255) << "unknown type";
    EXPECT_EQ(fsm_reply(world, 0, 0, framed(24, 0, 2), &tapped)[11], 1) << "wrong class";
    const bytes header = framed(70000, 2, 2);
    EXPECT_EQ(fsm_request_length(header.data()), 0u);
    EXPECT_EQ(fsm_request_length(status.data()), 32u);
}

} // namespace
