// The FSM side over raw sockets: administration tap, status, stripe groups in both forms, debug
// flags, QoS, quotas and both client-list versions.
#include "support.h"

#include "clustersim/fsm_server.h"
#include "clustersim/world.h"

#include <chrono>
#include <gtest/gtest.h>
#include <thread>
#include <unistd.h>

namespace {

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
    expect_fields(early, {at{11, 1, 1}, at{14, 2, 22}});
    bytes tap = round_trip(fd, request(7, 32));
    ASSERT_EQ(tap.size(), 32u);
    expect_fields(tap, {at{9, 1, 7}, at{24, 4, 1}});
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
    // The sequence echoed little-endian at 16; 4 stripe groups at 28.
    expect_fields(reply, {at{5, 3, 96}, at{16, 8, 0x0403020100000000}, at{24, 2, 0x10CF},
                          at{26, 2, 1}, at{28, 2, 4}, at{32, 4, 4096}, at{48, 8, 0}, at{56, 8, 120},
                          at{64, 8, 7}, at{80, 8, 262144000}, at{88, 8, 98304000}});
}

TEST_F(SimFsm, StripeGroupInBothForms) {
    expect_fields(round_trip(snfs1, request(18, 32, 0)),
                  {at{24, 4, 0x0D}, at{32, 8, 2097152}, at{40, 8, 1024}, at{48, 8, 1500000},
                   at{80, 4, 2}, at{88, 4, 3}, at{96, 4, 16}, at{112, "MetaFiles"}},
                  "current form");
    // The older form has free blocks at 40, where the current one has the reserved ones.
    expect_fields(round_trip(snfs1, request(3, 32, 1)),
                  {at{24, 4, 1}, at{32, 8, 130023424}, at{40, 8, 48000000}, at{72, 4, 8},
                   at{84, 2, 1}, at{88, 4, 64}, at{104, "DataFiles1"}},
                  "older form");

    EXPECT_EQ(be(round_trip(snfs1, request(18, 32, 2)), 24, 4), 0u); // the disabled group
    expect_fields(round_trip(snfs1, request(18, 32, 4)), {at{11, 1, 1}, at{14, 2, 2}}, "past");
    // archive has no 0x1000 capability.
    expect_fields(round_trip(archive, request(18, 32, 0)), {at{11, 1, 255}, at{14, 2, 1}});
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
    expect_fields(round_trip(snfs1, r),
                  {at{24, 4, 5000}, at{28, 4, 1200}, at{32, 4, 500}, at{36, 4, 0}, at{40, 4, 800},
                   at{44, 4, 300}, at{48, 4, 400}, at{52, 4, 1}, at{64, 4, 4}});
}

TEST_F(SimFsm, QuotaStateAndUserWalk) {
    expect_fields(round_trip(snfs1, request(12, 32)), {at{24, 4, 1}, at{32, "Quotas are enabled"}});
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
        if (name == "bob")
            expect_fields(reply, {at{28, 4, 10080}, at{32, 8, 262144}, at{40, 8, 230400},
                                  at{48, 8, 243200}, at{60, 4, 5400}});
        if (name == "carol") // expired: a negative time remaining
            expect_fields(reply, {at{60, 4, uint32_t(-3600)}});
    }
    EXPECT_EQ(names, (std::vector<std::string>{"alice", "bob", "carol", "dave", "devel", "erin",
                                               "frank", "ghost"}));
    expect_fields(round_trip(snfs1, quota_op(5, "carol")), {at{64, "devel"}, at{48, 8, 1310720}});
}

TEST_F(SimFsm, QuotaSetsPersistAndReportTheirResults) {
    // The usage at 48 is unchanged.
    expect_fields(round_trip(snfs1, quota_op(2, "alice", 100, 80, 60)),
                  {at{56, 4, 0}, at{32, 8, 100}, at{48, 8, 25600}}, "set");
    expect_fields(round_trip(snfs1, quota_op(4, "")),
                  {at{64, "alice"}, at{40, 8, 80}, at{28, 4, 60}}, "read back");

    // A listed group without an entry gets one; names nobody listed do not exist.
    const struct {
        bytes request;
        uint64_t result;
    } rows[] = {{quota_op(3, "ops", 10, 5, 1), 0},
                {quota_op(3, "nosuchgroup", 10, 5, 1), 22},
                {quota_op(2, "nosuchuser", 10, 5, 1), 22},
                {quota_op(2, ""), 22}};
    for (const auto &row : rows)
        expect_fields(round_trip(snfs1, row.request), {at{56, 4, row.result}},
                      "set of '" + text_at(row.request, 48) + "'");
    EXPECT_EQ(text_at(round_trip(snfs1, quota_op(5, "devel")), 64), "ops");
    // Directory entries are named after their directory's inode: "D:<inode>".
    const sim_scenario now = cluster_snapshot(sim->cluster);
    const sim_quota &first_files = now.filesystems[0].dir_file_quotas.at(0);
    EXPECT_EQ(be(round_trip(snfs1, quota_op(7, first_files.name, 500, 400, 30)), 56, 4), 0u);
    EXPECT_EQ(be(round_trip(snfs1, quota_op(7, "nosuchspace", 1, 1, 1)), 56, 4), 2u);
    expect_fields(round_trip(snfs1, quota_op(11, "")),
                  {at{64, first_files.name.c_str()}, at{48, 8, first_files.used}});

    bytes off = round_trip(archive, quota_op(2, "alice", 100, 80, 60));
    EXPECT_EQ(be(off, 24, 4), 0u);
    EXPECT_EQ(bytes(off.begin() + 28, off.end()), bytes(off.size() - 28, 0));
}

TEST_F(SimFsm, ClearingAQuotaWithoutUsageRemovesItsEntry) {
    expect_fields(round_trip(snfs1, quota_op(2, "ghost", 0, 0, 0)),
                  {at{56, 4, 0}, at{64, "ghost"}});
    EXPECT_EQ(be(round_trip(snfs1, quota_op(4, "frank")), 56, 4), 2u) << "ghost is gone";
    // With usage the entry stays, without limits.
    ASSERT_EQ(be(round_trip(snfs1, quota_op(2, "alice", 0, 0, 0)), 56, 4), 0u);
    expect_fields(round_trip(snfs1, quota_op(4, "")),
                  {at{64, "alice"}, at{32, 8, 0}, at{48, 8, 25600}});
    // The user still exists: a new set makes a new entry.
    EXPECT_EQ(be(round_trip(snfs1, quota_op(2, "ghost", 8, 4, 1)), 56, 4), 0u);
    EXPECT_EQ(text_at(round_trip(snfs1, quota_op(4, "frank")), 64), "ghost");
}

TEST_F(SimFsm, ClientListBothVersionsEndWithError2) {
    bytes first = round_trip(snfs1, request(22, 32, 0));
    ASSERT_EQ(first.size(), 1168u);
    expect_fields(first,
                  {at{28, 4, 3}, at{32, 4, 2}, at{36, 4, 8}, at{44, 4, 86400}, at{48, 8, 1001},
                   at{120, "kxfsm 4.2.1 build 1187"}, at{1144, 8, 1765000000}});
    EXPECT_EQ(slice(first, 56, 16), mapped(1));
    EXPECT_EQ(slice(first, 72, 16), mapped(1));
    EXPECT_EQ(slice(first, 88, 16), bytes(16, 0));

    expect_fields(round_trip(snfs1, request(22, 32, 1)),
                  {at{104, 4, 350}, at{112, 8, 1765000100}, at{1152, 4, 2}}, "second client");
    EXPECT_EQ(be(round_trip(snfs1, request(22, 32, 3)), 28, 4) & 3, 0u); // disconnected
    EXPECT_EQ(slice(round_trip(snfs1, request(22, 32, 4)), 56, 32), bytes(32, 0)) << "no address";
    expect_fields(round_trip(snfs1, request(22, 32, 6)), {at{11, 1, 1}, at{14, 2, 2}}, "the end");

    bytes v1 = round_trip(snfs1, request(10, 32, 1));
    ASSERT_EQ(v1.size(), 64u);
    expect_fields(v1, {at{36, 4, 16}, at{56, 4, 0x7F000002}});
    EXPECT_EQ(be(round_trip(snfs1, request(10, 32, 6)), 14, 2), 2u);
    EXPECT_EQ(round_trip(archive, request(22, 32, 0))[11], 255); // first version only
    EXPECT_EQ(round_trip(archive, request(10, 32, 0))[11], 0);
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
