// The agent and the name server seen over raw sockets: byte layouts, command forms per
// generation, state changes by start/stop/fail-over/activate.
#include "support.h"

#include "clustersim/name_server.h"
#include "clustersim/world.h"

#include <gtest/gtest.h>
#include <unistd.h>

namespace {

const std::string alpha = "127.0.0.1", beta = "127.0.0.2";
const bytes ipv4_mapped_alpha = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 127, 0, 0, 1};
const bytes ipv4_mapped_beta = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 127, 0, 0, 2};

bytes slice(const bytes &b, size_t offset, size_t n) {
    return bytes(b.begin() + long(offset), b.begin() + long(offset + n));
}

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

    bytes named(uint8_t form, uint8_t command, const std::string &name, bool frame = true) {
        bytes r = pm_request(form, command, frame);
        std::copy(name.begin(), name.end(), r.begin() + 40);
        return r;
    }

    static bool unsupported(const bytes &reply) {
        return reply.size() >= 24 && reply[11] == 255 && be(reply, 14, 2) == 1;
    }

    std::unique_ptr<running_cluster> sim;
};

TEST_F(SimNameServer, AgentGreetsAndReportsTheNameServerPortOfItsHost) {
    uint16_t agent = cluster_agent_port(sim->cluster);
    int fd = connect_to(beta, agent);
    ASSERT_GE(fd, 0);
    bytes greeting = recv_bytes(fd, 32);
    bytes expected_greeting(32, 0);
    expected_greeting[0] = 'a', expected_greeting[1] = 'p', expected_greeting[3] = 1;
    expected_greeting[7] = 1;
    EXPECT_EQ(greeting, expected_greeting);

    bytes query(32, 0);
    set_be(query, 0, 4, 0x61700002);
    set_be(query, 4, 4, 0x4B584653); // "KXFS"
    set_be(query, 8, 4, 47);
    set_be(query, 12, 4, 6);
    ASSERT_TRUE(send_bytes(fd, query));
    bytes reply = recv_bytes(fd, 32);
    ASSERT_EQ(reply.size(), 32u);
    EXPECT_EQ(slice(reply, 0, 4), (bytes{'a', 'p', 0, 3}));
    EXPECT_EQ(be(reply, 4, 2), 0u);
    EXPECT_EQ(be(reply, 6, 2), cluster_name_server_port(sim->cluster, beta.c_str()));
    EXPECT_NE(cluster_name_server_port(sim->cluster, beta.c_str()),
              cluster_name_server_port(sim->cluster, alpha.c_str()));

    set_be(query, 12, 4, 5); // a version nobody serves
    ASSERT_TRUE(send_bytes(fd, query));
    reply = recv_bytes(fd, 32);
    ASSERT_EQ(reply.size(), 32u);
    EXPECT_EQ(be(reply, 4, 4), 0u);
    ::close(fd);
}

TEST_F(SimNameServer, ListByOrdinalCurrentFormCoversTheWholeCluster) {
    bytes r = pm_request(0, 36);
    bytes reply = ask(beta, r);
    ASSERT_EQ(reply.size(), 1024u);
    EXPECT_EQ(slice(reply, 0, 8), (bytes{0xC0, 0xC1, 0xC2, 0xC3, 0xC4, 0, 4, 0}));
    EXPECT_EQ(slice(reply, 16, 8), slice(r, 16, 8)); // sequence echoed
    EXPECT_EQ(reply[11], 0);
    EXPECT_EQ(be(reply, 24, 2), 1u); // entry type FSM
    EXPECT_EQ(be(reply, 26, 2), cluster_manager_port(sim->cluster, "snfs1", alpha.c_str()));
    EXPECT_EQ(be(reply, 28, 2), 0u);
    EXPECT_EQ(be(reply, 30, 2), 0x8000u); // active, priority 0
    EXPECT_EQ(slice(reply, 32, 4), (bytes{127, 0, 0, 1}));
    EXPECT_NE(be(reply, 36, 4), 0u);
    EXPECT_EQ(text_at(reply, 40), "snfs1");
    EXPECT_EQ(slice(reply, 296, 16), ipv4_mapped_alpha);

    set_be(r, 30, 2, 1);
    reply = ask(beta, r);
    EXPECT_EQ(be(reply, 30, 2), 1u); // standby, priority 1
    EXPECT_EQ(slice(reply, 296, 16), ipv4_mapped_beta);

    set_be(r, 30, 2, 2);
    EXPECT_EQ(text_at(ask(alpha, r), 40), "archive");
    set_be(r, 30, 2, 3); // the stopped file system is not listed
    reply = ask(alpha, r);
    EXPECT_EQ(be(reply, 28, 2), 7u);
    EXPECT_EQ(text_at(reply, 40), "");
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
    EXPECT_EQ(be(third, 24, 2), 0u);                // no entry type in the oldest form
    EXPECT_EQ(slice(third, 296, 16), bytes(16, 0)); // address only at 32
    EXPECT_EQ(slice(third, 32, 4), (bytes{127, 0, 0, 1}));
    EXPECT_EQ(text_at(third, 40), "snfs1");

    EXPECT_TRUE(unsupported(ask(alpha, pm_request(0, 36))));
    bytes second = ask(alpha, pm_request(0, 131));
    EXPECT_EQ(be(second, 24, 2), 0u);
    EXPECT_EQ(slice(second, 296, 16), ipv4_mapped_alpha);
    EXPECT_TRUE(unsupported(ask(alpha, pm_request(0, 28))));
    EXPECT_TRUE(unsupported(ask(alpha, named(0, 140, "snfs1"))));
    EXPECT_EQ(be(ask(alpha, named(0, 12, "snfs1")), 28, 2), 0u);
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
    bytes reply = ask(alpha, r);
    EXPECT_EQ(text_at(reply, 40), "snfs1");
    EXPECT_EQ(be(reply, 24, 2), 1u);
    EXPECT_EQ(be(reply, 312, 2), 2u); // started
    set_be(r, 30, 2, 1);
    reply = ask(alpha, r);
    EXPECT_EQ(text_at(reply, 40), "scratch");
    EXPECT_EQ(be(reply, 312, 2), 0u); // stopped
    set_be(r, 30, 2, 2);
    EXPECT_EQ(be(ask(alpha, r), 28, 2), 7u);

    reply = ask(beta, named(0, 28, "archive"));
    EXPECT_EQ(be(reply, 28, 2), 0u);
    EXPECT_EQ(text_at(reply, 40), "archive");
    EXPECT_EQ(slice(reply, 296, 16), ipv4_mapped_beta);
    EXPECT_EQ(be(ask(beta, named(0, 28, "scratch")), 28, 2), 7u); // not local to beta
}

// Walks the entries of a disk-list reply; returns the labels and checks each entry's strings.
std::vector<std::string> disk_labels(const bytes &reply) {
    std::vector<std::string> labels;
    size_t at = 40;
    for (size_t i = 0; i < be(reply, 26, 2); ++i) {
        size_t length = be(reply, at, 4);
        EXPECT_EQ(length % 4, 0u);
        std::string label = text_at(reply, at + 40);
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
        labels.push_back(label);
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
    ASSERT_EQ(page1[11], 0);
    EXPECT_EQ(be(page1, 26, 2), 16u);
    std::vector<std::string> labels = disk_labels(page1);
    ASSERT_EQ(labels.size(), 16u);
    EXPECT_EQ(labels[0], "alpha_disk00");
    size_t e = 40; // first entry's fixed fields
    EXPECT_EQ(be(page1, e + 16, 8), 64ull << 30);
    EXPECT_EQ(be(page1, e + 12, 4), 5u); // "Active"
    EXPECT_EQ(be(page1, e + 8, 4), 512u);

    bytes page3 = ask(alpha, disk_request(8, 14, 32, 16));
    EXPECT_EQ(be(page3, 26, 2), 8u);
    EXPECT_EQ(disk_labels(page3).front(), "alpha_disk32");
    EXPECT_EQ(be(page3, 32, 4), be(page1, 32, 4));
    EXPECT_EQ(be(ask(alpha, disk_request(8, 14, 40, 16)), 28, 2), 7u);

    bytes small = ask(alpha, disk_request(8, 14, 0, 40, 300)); // room for few entries
    EXPECT_GT(be(small, 26, 2), 0u);
    EXPECT_LT(be(small, 26, 2), 40u);

    bytes second_form = ask(alpha, disk_request(0, 23, 4, 2));
    EXPECT_EQ(disk_labels(second_form), (std::vector<std::string>{"alpha_disk04", "alpha_disk05"}));

    cluster_edit(
        sim->cluster, [](sim_scenario &s, void *) { s.hosts[0].disks.pop_back(); }, nullptr);
    bytes changed = ask(alpha, disk_request(8, 14, 0, 16));
    EXPECT_NE(be(changed, 32, 4), be(page1, 32, 4));
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
        EXPECT_EQ(reply[11], 0) << c.row;
        EXPECT_EQ(be(reply, 26, 2), 0u) << c.row;
        EXPECT_EQ(be(reply, 28, 2), 0u) << c.row;
        EXPECT_EQ(be(reply, 40, 4), 0u) << c.row;
    }
}

TEST_F(SimNameServer, OldestDiskListCarriesOneDiskAtFixedOffsets) {
    sim_scenario s = default_scenario();
    s.hosts[1].disks[1].label = std::string(300, 'L');
    start(s);
    bytes reply = ask(beta, disk_request(0, 21, 1, 0));
    ASSERT_EQ(reply.size(), 2000u);
    EXPECT_EQ(be(reply, 1024, 4), 1u); // word a
    EXPECT_EQ(be(reply, 1028, 4), 512u);
    EXPECT_EQ(be(reply, 1032, 8), 65ull << 30);
    EXPECT_EQ(text_at(reply, 1048), std::string(255, 'L'));
    EXPECT_EQ(text_at(reply, 1304), "VELTRANE VDISK 2.1");
    EXPECT_EQ(text_at(reply, 1336), "hba1");
    EXPECT_EQ(text_at(reply, 1400), "SNBETA000001");
    EXPECT_EQ(text_at(reply, 1464), "/dev/sdb");
    EXPECT_EQ(text_at(reply, 1720), "/dev/raw/raw2");
    EXPECT_EQ(be(reply, 1976, 4), 5u);
    EXPECT_EQ(reply[1980], 1);
    EXPECT_EQ(reply[1981], 1);

    bytes current = ask(beta, disk_request(8, 14, 1, 1)); // the long label goes out whole
    EXPECT_EQ(text_at(current, 80), std::string(300, 'L'));
}

TEST_F(SimNameServer, LocateAnswersStandbyWithStatus5) {
    bytes reply = ask(beta, named(0, 140, "snfs1"));
    EXPECT_EQ(be(reply, 28, 2), 0u);
    EXPECT_EQ(be(reply, 26, 2), cluster_manager_port(sim->cluster, "snfs1", alpha.c_str()));
    EXPECT_EQ(slice(reply, 296, 16), ipv4_mapped_alpha);
    bytes older = ask(beta, named(0, 12, "snfs1"));
    EXPECT_EQ(slice(older, 296, 16), bytes(16, 0));
    EXPECT_EQ(slice(older, 32, 4), (bytes{127, 0, 0, 1}));

    cluster_edit(
        sim->cluster,
        [](sim_scenario &s, void *) { s.filesystems[0].managers[0].state = SIM_DOWN; }, nullptr);
    reply = ask(alpha, named(0, 140, "snfs1"));
    EXPECT_EQ(be(reply, 28, 2), 5u);
    EXPECT_EQ(slice(reply, 296, 16), ipv4_mapped_beta);
    EXPECT_EQ(be(ask(alpha, named(0, 140, "scratch")), 28, 2), 1u);
    EXPECT_EQ(be(ask(alpha, named(0, 140, "nosuchfs")), 28, 2), 1u);
}

TEST_F(SimNameServer, PingAndAuthenticationQuery) {
    bytes ping = ask(alpha, pm_request(0, 11));
    EXPECT_EQ(ping[11], 0);
    EXPECT_EQ(be(ping, 28, 2), 0u);
    bytes auth = ask(alpha, pm_request(0, 19, false), 1024);
    ASSERT_EQ(auth.size(), 1024u);
    EXPECT_EQ(slice(auth, 0, 24), bytes(24, 0));             // unframed
    EXPECT_EQ(be(auth, 28, 2), 2u);                          // no authentication wanted
    EXPECT_TRUE(unsupported(ask(alpha, pm_request(0, 19)))); // never framed
}

TEST_F(SimNameServer, StartStopAndFailOverChangeWhatIsListed) {
    auto locate = [&](const char *fs) { return ask(alpha, named(0, 140, fs)); };
    // Plain stop of the active manager leaves the standby on standby.
    EXPECT_EQ(be(ask(alpha, named(8, 5, "snfs1")), 28, 2), 0u);
    EXPECT_EQ(be(locate("snfs1"), 28, 2), 5u);
    EXPECT_EQ(be(ask(alpha, named(8, 5, "snfs1")), 28, 2), 1u); // nothing left to stop here
    // Start brings it back, active since no other manager is.
    bytes started = ask(alpha, named(0, 132, "snfs1"));
    EXPECT_EQ(be(started, 28, 2), 0u);
    EXPECT_EQ(be(started, 30, 2), 0x8000u);
    EXPECT_EQ(be(ask(alpha, named(0, 4, "snfs1")), 28, 2), 2u); // already running
    // A port names one manager of the asked host only: sent to the other host's name server,
    // the active manager's port acts on nothing there.
    bytes failover = named(8, 13, "snfs1");
    set_be(failover, 26, 2, cluster_manager_port(sim->cluster, "snfs1", alpha.c_str()));
    bytes elsewhere = ask(beta, failover);
    EXPECT_EQ(be(elsewhere, 28, 2), 1u) << "beta has an snfs1 manager, but not that one";
    EXPECT_EQ(be(locate("snfs1"), 30, 2), 0x8000u) << "alpha still active";
    bytes archive_port = named(8, 5, "archive");
    set_be(archive_port, 26, 2, cluster_manager_port(sim->cluster, "archive", beta.c_str()));
    EXPECT_EQ(be(ask(alpha, archive_port), 28, 2), 4u) << "no archive manager on alpha";
    EXPECT_EQ(be(locate("archive"), 28, 2), 0u) << "archive still runs on beta";
    // Fail-over carrying the active manager's port, sent to its own host's name server.
    EXPECT_EQ(be(ask(alpha, failover), 28, 2), 0u);
    bytes now = locate("snfs1");
    EXPECT_EQ(be(now, 28, 2), 0u);
    EXPECT_EQ(slice(now, 296, 16), ipv4_mapped_beta);

    EXPECT_EQ(be(ask(alpha, named(8, 27, "scratch")), 28, 2), 0u); // start once
    EXPECT_EQ(be(locate("scratch"), 28, 2), 0u);
    EXPECT_EQ(be(ask(alpha, named(8, 27, "scratch")), 28, 2), 2u);
    EXPECT_EQ(be(ask(beta, named(8, 4, "scratch")), 28, 2), 4u);  // scenario's answer
    EXPECT_EQ(be(ask(beta, named(8, 4, "nosuchfs")), 28, 2), 3u); // not configured
    EXPECT_EQ(be(ask(beta, named(0, 133, "nosuchfs")), 28, 2), 1u);
    bytes stop_old = named(0, 5, "archive"); // oldest form, address at 32
    stop_old[32] = 127, stop_old[35] = 1;
    bytes stopped = ask(beta, stop_old);
    EXPECT_EQ(be(stopped, 28, 2), 0u);
    EXPECT_EQ(slice(stopped, 32, 4), (bytes{127, 0, 0, 2}));
    EXPECT_EQ(be(locate("archive"), 28, 2), 1u);
}

TEST_F(SimNameServer, ActivateIsUnframedAndFallsBackOnOlderHosts) {
    bytes reply = ask(beta, named(8, 10, "snfs1", false), 1024);
    ASSERT_EQ(reply.size(), 1024u);
    EXPECT_EQ(slice(reply, 0, 24), bytes(24, 0));
    EXPECT_EQ(be(reply, 28, 2), 0u);
    EXPECT_EQ(be(reply, 30, 2), 0x8001u); // beta's manager is active now
    EXPECT_EQ(be(ask(alpha, named(0, 140, "snfs1")), 30, 2), 0x8001u);
    EXPECT_EQ(be(ask(beta, named(8, 10, "scratch", false), 1024), 28, 2), 4u); // not on beta
    EXPECT_EQ(be(ask(beta, named(8, 10, "nosuchfs", false), 1024), 28, 2), 1u);
    EXPECT_EQ(be(ask(alpha, named(0, 140, "scratch")), 28, 2), 1u) << "nothing activated";
    EXPECT_TRUE(unsupported(ask(beta, named(8, 10, "snfs1")))); // framed activate is refused

    sim_scenario s = default_scenario();
    s.hosts[0].generation = 2;
    s.hosts[0].control.push_back({"snfs1", -1, -1, -1, -1, 6});
    start(s);
    reply = ask(alpha, named(8, 10, "snfs1", false), 1024);
    EXPECT_EQ(reply[11], 255);
    EXPECT_EQ(reply[14], 1); // code least significant byte first
    EXPECT_EQ(reply[15], 0);
    EXPECT_EQ(be(ask(alpha, named(0, 10, "snfs1", false), 1024), 28, 2), 6u);
}

} // namespace

namespace {

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
    bytes reply = name_server_reply(world, 0, list, true);
    ASSERT_GE(reply.size(), 1024u);
    EXPECT_EQ(be(reply, 24, 2), 1u) << "an FSM entry";
    EXPECT_EQ(reply[11], 0);
    bytes unknown = pm_request(0, 99);
    reply = name_server_reply(world, 0, unknown, true);
    EXPECT_EQ(reply[11], 255);
    // Shorter than a record: read as if padded with zeros.
    reply = name_server_reply(world, 0, bytes(list.begin(), list.begin() + 26), true);
    EXPECT_EQ(reply[11], 0);
}

} // namespace
