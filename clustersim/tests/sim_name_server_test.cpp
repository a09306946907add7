// The agent and the name server seen over raw sockets: byte layouts, command forms per generation,
// state changes by start/stop/fail-over/activate.
#include "support.h"

#include "clustersim/name_server.h"
#include "clustersim/world.h"

#include <gtest/gtest.h>
#include <unistd.h>

namespace {

class SimNameServer : public ::testing::Test {
protected:
    void start(const sim_scenario &s) { sim = std::make_unique<running_cluster>(s); }
    void SetUp() override { start(default_scenario()); }

    // One request on a fresh connection to the name server of `address`.
    bytes ask(const std::string &address, const bytes &request, size_t unframed_reply = 0) {
        int fd = connect_to(address, cluster_name_server_port(sim->cluster, address.c_str()));
        EXPECT_GE(fd, 0);
        bytes reply;
        if (unframed_reply) {
            send_bytes(fd, request);
            reply = recv_bytes(fd, unframed_reply);
        } else {
            reply = round_trip(fd, request);
        }
        ::close(fd);
        return reply;
    }
    // The status word (offset 28) of one request.
    uint64_t status(const std::string &address, const bytes &request, size_t unframed = 0) {
        bytes reply = ask(address, request, unframed);
        return reply.size() >= 30 ? be(reply, 28, 2) : 0xFFFF;
    }

    static bytes named(uint8_t form, uint8_t command, const std::string &name, bool frame = true) {
        bytes r = pm_request(form, command, frame);
        std::copy(name.begin(), name.end(), r.begin() + 40);
        return r;
    }
    static bytes with(bytes r, size_t offset, uint64_t value) {
        set_be(r, offset, 2, value);
        return r;
    }

    static bool unsupported(const bytes &reply) {
        return reply.size() >= 24 && reply[11] == 255 && be(reply, 14, 2) == 1;
    }

    uint16_t manager_port(const char *fs, const std::string &host) {
        return cluster_manager_port(sim->cluster, fs, host.c_str());
    }

    std::unique_ptr<running_cluster> sim;
};

TEST_F(SimNameServer, AgentGreetsAndReportsTheNameServerPortOfItsHost) {
    int fd = connect_to(beta, cluster_agent_port(sim->cluster));
    ASSERT_GE(fd, 0);
    bytes greeting = {'a', 'p', 0, 1, 0, 0, 0, 1};
    greeting.resize(32);
    EXPECT_EQ(recv_bytes(fd, 32), greeting);
    ASSERT_TRUE(send_bytes(fd, agent_query(6)));
    const uint16_t port = cluster_name_server_port(sim->cluster, beta.c_str());
    expect_fields(recv_bytes(fd, 32), {at{0, 4, 0x61700003}, at{4, 2, 0}, at{6, 2, port}});
    EXPECT_NE(port, cluster_name_server_port(sim->cluster, alpha.c_str()));
    ASSERT_TRUE(send_bytes(fd, agent_query(5))); // a version nobody serves
    expect_fields(recv_bytes(fd, 32), {at{4, 4, 0}});
    ::close(fd);
}

TEST_F(SimNameServer, ListByOrdinalCurrentFormCoversTheWholeCluster) {
    bytes r = pm_request(0, 36);
    bytes reply = ask(beta, r);
    ASSERT_EQ(reply.size(), 1024u);
    EXPECT_EQ(slice(reply, 0, 8), (bytes{0xC0, 0xC1, 0xC2, 0xC3, 0xC4, 0, 4, 0}));
    EXPECT_EQ(slice(reply, 16, 8), slice(r, 16, 8)); // sequence echoed
    // Entry type FSM, active with priority 0.
    expect_fields(reply, {at{11, 1, 0}, at{24, 2, 1}, at{26, 2, manager_port("snfs1", alpha)},
                          at{28, 2, 0}, at{30, 2, 0x8000}, at{32, 4, 0x7F000001}, at{40, "snfs1"}});
    EXPECT_NE(be(reply, 36, 4), 0u);
    EXPECT_EQ(slice(reply, 296, 16), mapped(1));

    reply = ask(beta, with(r, 30, 1));
    EXPECT_EQ(be(reply, 30, 2), 1u); // standby, priority 1
    EXPECT_EQ(slice(reply, 296, 16), mapped(2));
    EXPECT_EQ(text_at(ask(alpha, with(r, 30, 2)), 40), "archive");
    // The stopped file system is not listed.
    expect_fields(ask(alpha, with(r, 30, 3)), {at{28, 2, 7}, at{40, ""}});
}

TEST_F(SimNameServer, OlderGenerationsRefuseNewerFormsWithFlag255Code1) {
    sim_scenario s = default_scenario();
    s.hosts[1].generation = 1;
    s.hosts[0].generation = 2;
    start(s);
    EXPECT_TRUE(unsupported(ask(beta, pm_request(0, 36))));
    EXPECT_TRUE(unsupported(ask(beta, pm_request(0, 131))));
    bytes third = ask(beta, pm_request(0, 3));
    ASSERT_FALSE(unsupported(third));
    // No entry type in the oldest form, the address only at 32.
    expect_fields(third, {at{24, 2, 0}, at{32, 4, 0x7F000001}, at{40, "snfs1"}});
    EXPECT_EQ(slice(third, 296, 16), bytes(16, 0));

    EXPECT_TRUE(unsupported(ask(alpha, pm_request(0, 36))));
    bytes second = ask(alpha, pm_request(0, 131));
    EXPECT_EQ(be(second, 24, 2), 0u);
    EXPECT_EQ(slice(second, 296, 16), mapped(1));
    EXPECT_TRUE(unsupported(ask(alpha, pm_request(0, 28))));
    EXPECT_TRUE(unsupported(ask(alpha, named(0, 140, "snfs1"))));
    EXPECT_EQ(status(alpha, named(0, 12, "snfs1")), 0u);
}

TEST_F(SimNameServer, RefusalListRefusesSingleCommands) {
    sim_scenario s = default_scenario();
    s.hosts[0].refused = {0x0003, 0x000B}; // (0, 3) and the ping
    start(s);
    EXPECT_TRUE(unsupported(ask(alpha, pm_request(0, 3))));
    EXPECT_TRUE(unsupported(ask(alpha, pm_request(0, 11))));
    EXPECT_FALSE(unsupported(ask(alpha, pm_request(0, 36))));
    EXPECT_FALSE(unsupported(ask(beta, pm_request(0, 11))));
}

TEST_F(SimNameServer, ListLocalByIndexAndByName) {
    bytes r = pm_request(0, 28);
    // Entry type FSM; 2 started, 0 stopped.
    expect_fields(ask(alpha, r), {at{40, "snfs1"}, at{24, 2, 1}, at{312, 2, 2}}, "index 0");
    expect_fields(ask(alpha, with(r, 30, 1)), {at{40, "scratch"}, at{312, 2, 0}}, "index 1");
    EXPECT_EQ(status(alpha, with(r, 30, 2)), 7u);

    bytes reply = ask(beta, named(0, 28, "archive"));
    expect_fields(reply, {at{28, 2, 0}, at{40, "archive"}});
    EXPECT_EQ(slice(reply, 296, 16), mapped(2));
    EXPECT_EQ(status(beta, named(0, 28, "scratch")), 7u); // not local to beta
}

// Walks the entries of a disk-list reply; returns the labels and checks each entry's strings.
std::vector<std::string> disk_labels(const bytes &reply) {
    std::vector<std::string> labels;
    size_t at = 40;
    for (size_t i = 0; i < be(reply, 26, 2); ++i) {
        size_t length = be(reply, at, 4);
        EXPECT_EQ(length % 4, 0u);
        size_t s = at + 40;
        std::vector<std::string> strings;
        for (int k = 0; k < 8; ++k) {
            strings.push_back(text_at(reply, s));
            s += strings.back().size() + 1;
        }
        EXPECT_LE(s, at + length);
        EXPECT_EQ(strings[1].rfind("SN", 0), 0u) << "serial follows the label";
        EXPECT_EQ(strings[2].rfind("/dev/sd", 0), 0u) << "block device third";
        EXPECT_EQ(strings[6], "VELTRANE VDISK 2.1") << "inquiry seventh";
        labels.push_back(strings[0]);
        at += length;
    }
    return labels;
}

bytes disk_request(uint8_t form, uint8_t command, uint16_t first, uint32_t count,
                   uint16_t room = 8152) {
    bytes r = pm_request(form, command);
    set_be(r, 26, 2, room);
    set_be(r, 30, 2, first);
    set_be(r, 36, 4, count);
    return r;
}

TEST_F(SimNameServer, DiskListPagesWithAStableChecksum) {
    bytes page1 = ask(alpha, disk_request(8, 14, 0, 16));
    // The first entry's fixed fields: 512-byte sectors, "Active", 64 GiB.
    expect_fields(
        page1, {at{11, 1, 0}, at{26, 2, 16}, at{48, 4, 512}, at{52, 4, 5}, at{56, 8, 64ull << 30}});
    std::vector<std::string> labels = disk_labels(page1);
    ASSERT_EQ(labels.size(), 16u);
    EXPECT_EQ(labels[0], "alpha_disk00");

    bytes page3 = ask(alpha, disk_request(8, 14, 32, 16));
    EXPECT_EQ(be(page3, 26, 2), 8u);
    EXPECT_EQ(disk_labels(page3).front(), "alpha_disk32");
    EXPECT_EQ(be(page3, 32, 4), be(page1, 32, 4));
    EXPECT_EQ(status(alpha, disk_request(8, 14, 40, 16)), 7u);

    bytes small = ask(alpha, disk_request(8, 14, 0, 40, 300)); // room for few entries
    EXPECT_GT(be(small, 26, 2), 0u);
    EXPECT_LT(be(small, 26, 2), 40u);

    bytes second_form = ask(alpha, disk_request(0, 23, 4, 2));
    EXPECT_EQ(disk_labels(second_form), (std::vector<std::string>{"alpha_disk04", "alpha_disk05"}));

    cluster_edit(
        sim->cluster, [](sim_scenario &s, void *) { s.hosts[0].disks.pop_back(); }, nullptr);
    EXPECT_NE(be(ask(alpha, disk_request(8, 14, 0, 16)), 32, 4), be(page1, 32, 4));
}

// A page of no entries (asked for 0, or with no room) is an empty page, not a failure.
TEST_F(SimNameServer, DiskListOfNoEntriesIsAnEmptyPage) {
    const struct {
        const char *row;
        uint32_t count;
        uint16_t room;
    } cases[] = {{"0 entries wanted", 0, 8152}, {"no room", 16, 0}};
    for (const auto &c : cases) {
        bytes reply = ask(alpha, disk_request(8, 14, 0, c.count, c.room));
        ASSERT_GE(reply.size(), 1024u) << c.row;
        expect_fields(reply, {at{11, 1, 0}, at{26, 2, 0}, at{28, 2, 0}, at{40, 4, 0}}, c.row);
    }
}

TEST_F(SimNameServer, OldestDiskListCarriesOneDiskAtFixedOffsets) {
    sim_scenario s = default_scenario();
    s.hosts[1].disks[1].label = std::string(300, 'L');
    start(s);
    bytes reply = ask(beta, disk_request(0, 21, 1, 0));
    ASSERT_EQ(reply.size(), 2000u);
    const std::string cut(255, 'L');
    expect_fields(reply, {at{1024, 4, 1}, at{1028, 4, 512}, at{1032, 8, 65ull << 30},
                          at{1048, cut.c_str()}, at{1304, "VELTRANE VDISK 2.1"}, at{1336, "hba1"},
                          at{1400, "SNBETA000001"}, at{1464, "/dev/sdb"}, at{1720, "/dev/raw/raw2"},
                          at{1976, 4, 5}, at{1980, 1, 1}, at{1981, 1, 1}});
    // The long label goes out whole in the current form.
    EXPECT_EQ(text_at(ask(beta, disk_request(8, 14, 1, 1)), 80), std::string(300, 'L'));
}

TEST_F(SimNameServer, LocateAnswersStandbyWithStatus5) {
    bytes reply = ask(beta, named(0, 140, "snfs1"));
    expect_fields(reply, {at{28, 2, 0}, at{26, 2, manager_port("snfs1", alpha)}});
    EXPECT_EQ(slice(reply, 296, 16), mapped(1));
    bytes older = ask(beta, named(0, 12, "snfs1"));
    EXPECT_EQ(slice(older, 296, 16), bytes(16, 0));
    EXPECT_EQ(be(older, 32, 4), 0x7F000001u);

    cluster_edit(
        sim->cluster,
        [](sim_scenario &s, void *) { s.filesystems[0].managers[0].state = SIM_DOWN; }, nullptr);
    reply = ask(alpha, named(0, 140, "snfs1"));
    EXPECT_EQ(be(reply, 28, 2), 5u);
    EXPECT_EQ(slice(reply, 296, 16), mapped(2));
    EXPECT_EQ(status(alpha, named(0, 140, "scratch")), 1u);
    EXPECT_EQ(status(alpha, named(0, 140, "nosuchfs")), 1u);
}

TEST_F(SimNameServer, PingAndAuthenticationQuery) {
    expect_fields(ask(alpha, pm_request(0, 11)), {at{11, 1, 0}, at{28, 2, 0}});
    bytes auth = ask(alpha, pm_request(0, 19, false), 1024);
    ASSERT_EQ(auth.size(), 1024u);
    EXPECT_EQ(slice(auth, 0, 24), bytes(24, 0));             // unframed
    EXPECT_EQ(be(auth, 28, 2), 2u);                          // no authentication wanted
    EXPECT_TRUE(unsupported(ask(alpha, pm_request(0, 19)))); // never framed
}

TEST_F(SimNameServer, StartStopAndFailOverChangeWhatIsListed) {
    // Plain stop of the active manager leaves the standby on standby.
    EXPECT_EQ(status(alpha, named(8, 5, "snfs1")), 0u);
    EXPECT_EQ(status(alpha, named(0, 140, "snfs1")), 5u);
    EXPECT_EQ(status(alpha, named(8, 5, "snfs1")), 1u); // nothing left to stop here
    // Start brings it back, active since no other manager is.
    expect_fields(ask(alpha, named(0, 132, "snfs1")), {at{28, 2, 0}, at{30, 2, 0x8000}});
    EXPECT_EQ(status(alpha, named(0, 4, "snfs1")), 2u); // already running
    // A port names one manager of the asked host only: sent to the other host's name server, the
    // active manager's port acts on nothing there.
    const bytes failover = with(named(8, 13, "snfs1"), 26, manager_port("snfs1", alpha));
    EXPECT_EQ(status(beta, failover), 1u) << "beta has an snfs1 manager, but not that one";
    EXPECT_EQ(be(ask(alpha, named(0, 140, "snfs1")), 30, 2), 0x8000u) << "alpha still active";
    const bytes archive_port = with(named(8, 5, "archive"), 26, manager_port("archive", beta));
    EXPECT_EQ(status(alpha, archive_port), 4u) << "no archive manager on alpha";
    EXPECT_EQ(status(alpha, named(0, 140, "archive")), 0u) << "archive still runs on beta";
    // Fail-over carrying the active manager's port, sent to its own host's name server.
    EXPECT_EQ(status(alpha, failover), 0u);
    bytes now = ask(alpha, named(0, 140, "snfs1"));
    EXPECT_EQ(be(now, 28, 2), 0u);
    EXPECT_EQ(slice(now, 296, 16), mapped(2));

    const struct {
        const char *row;
        const std::string &host;
        bytes request;
        uint64_t status;
    } rows[] = {
        {"start once", alpha, named(8, 27, "scratch"), 0},
        {"scratch located", alpha, named(0, 140, "scratch"), 0},
        {"start again", alpha, named(8, 27, "scratch"), 2},
        {"the scenario's answer", beta, named(8, 4, "scratch"), 4},
        {"not configured", beta, named(8, 4, "nosuchfs"), 3},
        {"unknown in the second form", beta, named(0, 133, "nosuchfs"), 1},
    };
    for (const auto &row : rows)
        EXPECT_EQ(status(row.host, row.request), row.status) << row.row;
    bytes stop_old = named(0, 5, "archive"); // oldest form, address at 32
    stop_old[32] = 127, stop_old[35] = 1;
    expect_fields(ask(beta, stop_old), {at{28, 2, 0}, at{32, 4, 0x7F000002}}, "oldest-form stop");
    EXPECT_EQ(status(alpha, named(0, 140, "archive")), 1u);
}

TEST_F(SimNameServer, ActivateIsUnframedAndFallsBackOnOlderHosts) {
    bytes reply = ask(beta, named(8, 10, "snfs1", false), 1024);
    ASSERT_EQ(reply.size(), 1024u);
    EXPECT_EQ(slice(reply, 0, 24), bytes(24, 0));
    expect_fields(reply, {at{28, 2, 0}, at{30, 2, 0x8001}}); // beta's manager is active now
    EXPECT_EQ(be(ask(alpha, named(0, 140, "snfs1")), 30, 2), 0x8001u);
    EXPECT_EQ(status(beta, named(8, 10, "scratch", false), 1024), 4u); // not on beta
    EXPECT_EQ(status(beta, named(8, 10, "nosuchfs", false), 1024), 1u);
    EXPECT_EQ(status(alpha, named(0, 140, "scratch")), 1u) << "nothing activated";
    EXPECT_TRUE(unsupported(ask(beta, named(8, 10, "snfs1")))); // framed activate is refused

    sim_scenario s = default_scenario();
    s.hosts[0].generation = 2;
    s.hosts[0].control.push_back({"snfs1", -1, -1, -1, -1, 6});
    start(s);
    // Code least significant byte first.
    expect_fields(ask(alpha, named(8, 10, "snfs1", false), 1024),
                  {at{11, 1, 255}, at{14, 2, 0x0100}});
    EXPECT_EQ(status(alpha, named(0, 10, "snfs1", false), 1024), 6u);
}

// The request handling without a socket: what the connection loop reads, and the same replies.
TEST(SimNameServerRequests, RequestLengthFromTheHeader) {
    const struct {
        const char *row;
        bytes header;
        size_t length;
        bool framed;
    } cases[] = {
        {"framed", framed(1024, 0, 0), 1024, true},
        {"framed header only", framed(24, 0, 0), 24, true},
        {"framed too short", framed(23, 0, 0), 0, true},
        {"framed too long", framed(65537, 0, 0), 0, true},
        {"unframed record", bytes(24, 0), 1024, false},
        {"neither", bytes{1, 2, 3, 4, 5, 6, 7, 8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
         0, false},
    };
    for (const auto &c : cases) {
        bool is_framed = !c.framed;
        EXPECT_EQ(name_server_request_length(c.header.data(), &is_framed), c.length) << c.row;
        EXPECT_EQ(is_framed, c.framed) << c.row;
    }
}

TEST(SimNameServerRequests, ReplyWithoutASocket) {
    sim_world world;
    world.scenario = default_scenario();
    bytes list = pm_request(0, 36);
    expect_fields(name_server_reply(world, 0, list, true), {at{11, 1, 0}, at{24, 2, 1}},
                  "FSM entry");
    EXPECT_EQ(name_server_reply(world, 0, pm_request(0, 99), true)[11], 255);
    // Shorter than a record: read as if padded with zeros.
    EXPECT_EQ(name_server_reply(world, 0, bytes(list.begin(), list.begin() + 26), true)[11], 0);
}

} // namespace
