// The agent and the name server over raw sockets: each command form per generation, the disk
// pages and the state changes by start/stop/fail-over/activate. The reply layouts the console
// reads are pinned by its decoder tests; here a few fields show which answer came back (11:
// the flag, 0 done or 255 refused; 28: the status; 30: the state; 308: the mapped address).
#include "support.h"

#include "clustersim/name_server.h"
#include "clustersim/world.h"

#include <gtest/gtest.h>
#include <unistd.h>

namespace {

bytes named(uint8_t form, uint8_t command, const std::string &name, bool frame = true) {
    bytes r = pm_request(form, command, frame);
    std::copy(name.begin(), name.end(), r.begin() + 40);
    return r;
}
bytes with(bytes r, size_t offset, uint64_t value, size_t width = 2) {
    set_be(r, offset, width, value);
    return r;
}
// A disk-list request: room for the reply at 26, the first disk at 30, the count at 36.
bytes disks(uint8_t form, uint8_t command, uint16_t first, uint32_t count, uint16_t room = 8152) {
    return with(with(with(pm_request(form, command), 26, room), 30, first), 36, count, 4);
}

const char *const kRefused = "11:1=255, 14:2=1";

// One request on a fresh connection to a host's name server, and the fields of its reply.
struct exchange {
    const char *row;
    const std::string &host;
    bytes request;
    std::string fields;
    size_t unframed_reply = 0; // the reply's length, for the unframed commands
};

class SimNameServer : public ::testing::Test {
protected:
    void start(const sim_scenario &s) { sim = std::make_unique<running_cluster>(s); }
    void SetUp() override { start(default_scenario()); }

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
    // Runs the exchanges in order.
    void expect(std::initializer_list<exchange> exchanges) {
        for (const exchange &e : exchanges)
            expect_fields(ask(e.host, e.request, e.unframed_reply), e.fields, e.row);
    }
    std::string port_of(const char *fs, const std::string &host) {
        return std::to_string(cluster_manager_port(sim->cluster, fs, host.c_str()));
    }

    std::unique_ptr<running_cluster> sim;
};

TEST_F(SimNameServer, AgentGreetsAndReportsTheNameServerPortOfItsHost) {
    int fd = connect_to(beta, cluster_agent_port(sim->cluster));
    ASSERT_GE(fd, 0);
    expect_fields(recv_bytes(fd, 32), "0:4=0x61700001, 4:4=1, 8:8=0, 24:8=0");
    ASSERT_TRUE(send_bytes(fd, agent_query(6)));
    const uint16_t port = cluster_name_server_port(sim->cluster, beta.c_str());
    expect_fields(recv_bytes(fd, 32), "0:4=0x61700003, 4:2=0, 6:2=" + std::to_string(port));
    ASSERT_TRUE(send_bytes(fd, agent_query(5))); // a version nobody serves
    expect_fields(recv_bytes(fd, 32), "4:4=0");
    ::close(fd);
}

// Listing by ordinal and of the local entries, locating, the ping and the authentication
// query of the current generation.
TEST_F(SimNameServer, ListsLocateAndQueries) {
    const bytes list = pm_request(0, 36), local = pm_request(0, 28);
    const std::string snfs1 = "26:2=" + port_of("snfs1", alpha);
    expect({
        // Entry type FSM (24), active with priority 0, the address at 32 and mapped.
        {"ordinal 0", beta, list,
         "11:1=0, 24:2=1, " + snfs1 +
             ", 28:2=0, 30:2=0x8000, 32:4=0x7F000001, 40=snfs1, "
             "296:8=0, 304:4=0xFFFF, 308:4=0x7F000001"},
        {"ordinal 1: standby, priority 1", beta, with(list, 30, 1), "30:2=1, 308:4=0x7F000002"},
        {"ordinal 2", alpha, with(list, 30, 2), "40=archive"},
        {"the stopped file system is not listed", alpha, with(list, 30, 3), "28:2=7, 40="},
        {"local 0: 2 started", alpha, local, "40=snfs1, 24:2=1, 312:2=2"},
        {"local 1: 0 started", alpha, with(local, 30, 1), "40=scratch, 312:2=0"},
        {"local 2: the end", alpha, with(local, 30, 2), "28:2=7"},
        {"local by name", beta, named(0, 28, "archive"), "28:2=0, 40=archive, 308:4=0x7F000002"},
        {"local by name, not local", beta, named(0, 28, "scratch"), "28:2=7"},
        {"locate", beta, named(0, 140, "snfs1"), "28:2=0, " + snfs1 + ", 308:4=0x7F000001"},
        {"locate, older form", beta, named(0, 12, "snfs1"), "32:4=0x7F000001, 296:8=0, 304:8=0"},
        {"locate a stopped one", alpha, named(0, 140, "scratch"), "28:2=1"},
        {"locate an unknown one", alpha, named(0, 140, "nosuchfs"), "28:2=1"},
        {"ping", alpha, pm_request(0, 11), "11:1=0, 28:2=0"},
        // Unframed, and no authentication wanted.
        {"authentication query", alpha, pm_request(0, 19, false), "0:8=0, 28:2=2", 1024},
        {"authentication query framed", alpha, pm_request(0, 19), kRefused},
    });
    // The standby answers a locate once the active manager is gone.
    cluster_edit(
        sim->cluster,
        [](sim_scenario &s, void *) { s.filesystems[0].managers[0].state = SIM_DOWN; }, nullptr);
    expect({{"locate the standby", alpha, named(0, 140, "snfs1"), "28:2=5, 308:4=0x7F000002"}});
}

// Older generations refuse the newer forms; a refusal list refuses single commands.
TEST_F(SimNameServer, OlderGenerationsAndRefusalListsRefuseCommands) {
    sim_scenario s = default_scenario();
    s.hosts[1].generation = 1;
    s.hosts[0].generation = 2;
    s.hosts[0].refused = {0x0003, 0x000B}; // (0, 3) and the ping
    start(s);
    expect({
        {"1: current list", beta, pm_request(0, 36), kRefused},
        {"1: second list", beta, pm_request(0, 131), kRefused},
        // No entry type in the oldest form, the address only at 32.
        {"1: oldest list", beta, pm_request(0, 3),
         "11:1=0, 24:2=0, 32:4=0x7F000001, 40=snfs1, 308:4=0"},
        {"2: current list", alpha, pm_request(0, 36), kRefused},
        {"2: second list", alpha, pm_request(0, 131), "11:1=0, 24:2=0, 308:4=0x7F000001"},
        {"2: list local", alpha, pm_request(0, 28), kRefused},
        {"2: locate", alpha, named(0, 140, "snfs1"), kRefused},
        {"2: older locate", alpha, named(0, 12, "snfs1"), "28:2=0"},
        {"refused oldest list", alpha, pm_request(0, 3), kRefused},
        {"refused ping", alpha, pm_request(0, 11), kRefused},
    });
}

TEST_F(SimNameServer, DiskListPagesWithAStableChecksum) {
    const bytes page1 = ask(alpha, disks(8, 14, 0, 16));
    // 16 entries; the first one's 512-byte sectors, "Active", 64 GiB, label and strings.
    expect_fields(page1, "11:1=0, 26:2=16, 48:4=512, 52:4=5, 56:8=68719476736, 80=alpha_disk00, "
                         "93=SNALPHA000000");
    const std::string checksum = "32:4=" + std::to_string(be(page1, 32, 4));
    expect({
        {"page 3", alpha, disks(8, 14, 32, 16), "26:2=8, 80=alpha_disk32, " + checksum},
        {"second form", alpha, disks(0, 23, 4, 2), "26:2=2, 80=alpha_disk04"},
        {"past the end", alpha, disks(8, 14, 40, 16), "28:2=7"},
        // A page of no entries is an empty page, not a failure.
        {"0 entries wanted", alpha, disks(8, 14, 0, 0), "11:1=0, 26:2=0, 28:2=0"},
        {"no room", alpha, disks(8, 14, 0, 16, 0), "11:1=0, 26:2=0, 40:4=0"},
    });
    const uint64_t few = be(ask(alpha, disks(8, 14, 0, 40, 300)), 26, 2); // room for a few
    EXPECT_TRUE(few > 0 && few < 40) << few;
    cluster_edit(
        sim->cluster, [](sim_scenario &s, void *) { s.hosts[0].disks.pop_back(); }, nullptr);
    EXPECT_NE(be(ask(alpha, disks(8, 14, 0, 16)), 32, 4), be(page1, 32, 4));
}

TEST_F(SimNameServer, OldestDiskListCarriesOneDiskAtFixedOffsets) {
    sim_scenario s = default_scenario();
    s.hosts[1].disks[1].label = std::string(300, 'L');
    start(s);
    const bytes reply = ask(beta, disks(0, 21, 1, 0));
    ASSERT_EQ(reply.size(), 2000u);
    expect_fields(reply, "1024:4=1, 1028:4=512, 1032:8=69793218560, 1048=" + std::string(255, 'L') +
                             ", 1304=VELTRANE VDISK 2.1, 1336=hba1, 1400=SNBETA000001, "
                             "1464=/dev/sdb, 1720=/dev/raw/raw2, 1976:4=5, 1980:1=1, 1981:1=1");
    // The long label goes out whole in the current form.
    EXPECT_EQ(text_at(ask(beta, disks(8, 14, 1, 1)), 80), std::string(300, 'L'));
}

TEST_F(SimNameServer, StartStopAndFailOverChangeWhatIsListed) {
    const bytes failover = with(named(8, 13, "snfs1"), 26, std::stoul(port_of("snfs1", alpha)));
    bytes stop_oldest = named(0, 5, "archive"); // address at 32
    stop_oldest[32] = 127, stop_oldest[35] = 1;
    expect({
        // A plain stop of the active manager leaves the standby on standby.
        {"stop", alpha, named(8, 5, "snfs1"), "28:2=0"},
        {"standby located", alpha, named(0, 140, "snfs1"), "28:2=5"},
        {"nothing left to stop here", alpha, named(8, 5, "snfs1"), "28:2=1"},
        // A start brings it back, active since no other manager is.
        {"start", alpha, named(0, 132, "snfs1"), "28:2=0, 30:2=0x8000"},
        {"already running", alpha, named(0, 4, "snfs1"), "28:2=2"},
        // A port names one manager of the asked host only.
        {"fail-over at the other host", beta, failover, "28:2=1"},
        {"no archive manager on alpha", alpha,
         with(named(8, 5, "archive"), 26, std::stoul(port_of("archive", beta))), "28:2=4"},
        {"fail-over", alpha, failover, "28:2=0"},
        {"the standby took over", alpha, named(0, 140, "snfs1"), "28:2=0, 308:4=0x7F000002"},
        {"start once", alpha, named(8, 27, "scratch"), "28:2=0"},
        {"start once again", alpha, named(8, 27, "scratch"), "28:2=2"},
        {"the scenario's answer", beta, named(8, 4, "scratch"), "28:2=4"},
        {"not configured", beta, named(8, 4, "nosuchfs"), "28:2=3"},
        {"unknown in the second form", beta, named(0, 133, "nosuchfs"), "28:2=1"},
        {"oldest-form stop", beta, stop_oldest, "28:2=0, 32:4=0x7F000002"},
        {"archive stopped", alpha, named(0, 140, "archive"), "28:2=1"},
    });
}

TEST_F(SimNameServer, ActivateIsUnframedAndFallsBackOnOlderHosts) {
    expect({
        // Beta's manager of snfs1 becomes the active one.
        {"activate", beta, named(8, 10, "snfs1", false), "0:8=0, 28:2=0, 30:2=0x8001", 1024},
        {"seen by alpha", alpha, named(0, 140, "snfs1"), "30:2=0x8001"},
        {"not on beta", beta, named(8, 10, "scratch", false), "28:2=4", 1024},
        {"unknown", beta, named(8, 10, "nosuchfs", false), "28:2=1", 1024},
        {"nothing activated", alpha, named(0, 140, "scratch"), "28:2=1"},
        {"framed activate", beta, named(8, 10, "snfs1"), kRefused},
    });
    sim_scenario s = default_scenario();
    s.hosts[0].generation = 2;
    s.hosts[0].control.push_back({"snfs1", -1, -1, -1, -1, 6});
    start(s);
    expect({
        // The code least significant byte first.
        {"refused activate", alpha, named(8, 10, "snfs1", false), "11:1=255, 14:2=0x0100", 1024},
        {"the older form's answer", alpha, named(0, 10, "snfs1", false), "28:2=6", 1024},
    });
}

// The request handling without a socket: what the connection loop reads, and the replies.
TEST(SimNameServerRequests, RequestLengthAndReplyWithoutASocket) {
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
        {"neither", with(bytes(24, 0), 0, 0x0102030405060708, 8), 0, false},
    };
    for (const auto &c : cases) {
        bool is_framed = !c.framed;
        EXPECT_EQ(name_server_request_length(c.header.data(), &is_framed), c.length) << c.row;
        EXPECT_EQ(is_framed, c.framed) << c.row;
    }
    sim_world world;
    world.scenario = default_scenario();
    const bytes list = pm_request(0, 36);
    EXPECT_EQ(name_server_reply(world, 0, pm_request(0, 99), true)[11], 255);
    // Shorter than a record: read as if padded with zeros.
    expect_fields(name_server_reply(world, 0, bytes(list.begin(), list.begin() + 26), true),
                  "11:1=0, 24:2=1");
}

} // namespace
