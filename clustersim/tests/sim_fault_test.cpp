// Every fault seen on the wire: silent, close after N bytes, wrong magic, oversize, error flag,
// delay and refuse, on the agent, the name server and a manager, and the request filter.
#include "support.h"

#include <chrono>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace {

class SimFaults : public ::testing::Test {
protected:
    void SetUp() override { sim = std::make_unique<running_cluster>(default_scenario()); }

    // A connection to the name server of `address`, or its agent, after setting `fault_text`
    // on it; the agent's replies are awaited 0.4 s only.
    int name_server(const std::string &address, const char *fault_text) {
        set_fault(sim->cluster, ("ns@" + address).c_str(), fault_text);
        return connect_to(address, cluster_name_server_port(sim->cluster, address.c_str()));
    }
    int agent(const std::string &address, const char *fault_text) {
        set_fault(sim->cluster, ("agent@" + address).c_str(), fault_text);
        return short_timeout(connect_to(address, cluster_agent_port(sim->cluster)));
    }
    static int short_timeout(int fd) {
        timeval tv{0, 400000};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        return fd;
    }

    std::unique_ptr<running_cluster> sim;
};

TEST_F(SimFaults, SilentCloseAfterAndWrongMagicOnTheAgentAndTheNameServer) {
    int fd = short_timeout(name_server(alpha, "silent"));
    EXPECT_TRUE(round_trip(fd, pm_request(0, 36)).empty());
    ::close(fd);
    fd = name_server(beta, "wrong_magic"); // the other host is not silent
    EXPECT_EQ(round_trip(fd, pm_request(0, 11)).at(0), 0xC1);
    ::close(fd);
    fd = agent(beta, "silent"); // no greeting
    EXPECT_TRUE(recv_bytes(fd, 32).empty());
    ::close(fd);
    EXPECT_NE(lookup_name_server(alpha, cluster_agent_port(sim->cluster)), 0);
    fd = agent(alpha, "close_after:4");
    EXPECT_EQ(recv_bytes(fd, 32), (bytes{'a', 'p', 0, 1}));
    ::close(fd);
    fd = agent(beta, "wrong_magic");
    expect_fields(recv_bytes(fd, 32), "0:4=0x61700009");
    ::close(fd);
}

TEST_F(SimFaults, ManagerFaultsHitOnlyTheChosenRequest) {
    set_fault(sim->cluster, "fsm:snfs1", "close_after:10/2");
    int fd = fsm_open(sim->cluster, "snfs1", alpha); // the tap is not affected
    ASSERT_GE(fd, 0);
    const bytes part = round_trip(fd, framed(24, 2, 2));
    EXPECT_EQ(part.size(), 10u);
    expect_fields(part, "0:1=0xC0, 5:3=96");
    EXPECT_TRUE(recv_bytes(fd, 1).empty()); // closed
    ::close(fd);

    set_fault(sim->cluster, "fsm:snfs1@127.0.0.1", "error:5/22");
    fd = fsm_open(sim->cluster, "snfs1", alpha);
    expect_fields(round_trip(fd, framed(32, 2, 22)), "11:1=1, 14:2=5");
    EXPECT_EQ(round_trip(fd, framed(24, 2, 2)).at(11), 0);
    ::close(fd);

    // An oversize reply carries the real one at its start; the stream stays aligned.
    set_fault(sim->cluster, "fsm:archive", "oversize:5000/2");
    fd = fsm_open(sim->cluster, "archive", beta);
    const bytes big = round_trip(fd, framed(24, 2, 2));
    ASSERT_EQ(big.size(), 5000u);
    expect_fields(big, "5:3=5000, 32:4=65536");
    EXPECT_EQ(round_trip(fd, framed(32, 2, 12)).size(), 96u);
    ::close(fd);
}

TEST_F(SimFaults, ErrorDelayAndRefuseOnTheNameServer) {
    int fd = name_server(alpha, "error:255:1/11");
    expect_fields(round_trip(fd, pm_request(0, 11)), "11:1=255, 14:2=1");
    EXPECT_EQ(round_trip(fd, pm_request(0, 36)).at(11), 0);
    ::close(fd);
    fd = name_server(beta, "delay:300");
    const auto begin = std::chrono::steady_clock::now();
    EXPECT_EQ(round_trip(fd, pm_request(0, 11)).size(), 1024u);
    EXPECT_GE(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(290));
    ::close(fd);

    const uint16_t port = cluster_name_server_port(sim->cluster, alpha.c_str());
    set_fault(sim->cluster, "ns@127.0.0.1", "refuse");
    EXPECT_TRUE(refused_soon(alpha, port));
    set_fault(sim->cluster, "ns@127.0.0.1", "none");
    fd = connect_soon(alpha, port);
    EXPECT_EQ(round_trip(fd, pm_request(0, 11)).size(), 1024u);
    ::close(fd);
    set_fault(sim->cluster, "fsm:archive", "refuse");
    EXPECT_TRUE(refused_soon(beta, cluster_manager_port(sim->cluster, "archive", beta.c_str())));
}

TEST(SimFaultParse, AcceptsTheDocumentedFormsAndRejectsTheRest) {
    const struct {
        const char *text;
        sim_fault_kind kind;
        int flag;
        uint32_t value;
        int request;
    } good[] = {{"error:255:1/36", SIM_FAULT_ERROR, 255, 1, 36},
                {"error:0x10", SIM_FAULT_ERROR, 1, 16, -1},
                {"close_after:10", SIM_FAULT_CLOSE_AFTER, 1, 10, -1}};
    sim_fault f;
    char text[256];
    for (const auto &row : good) {
        ASSERT_EQ(fault_parse(row.text, &f, text, sizeof text), 0) << row.text;
        EXPECT_EQ(f.kind, row.kind) << row.text;
        EXPECT_EQ(f.value, row.value) << row.text;
        EXPECT_EQ(f.request, row.request) << row.text;
        EXPECT_EQ(f.flag, row.flag) << row.text;
    }
    for (const char *bad : {"", "loud", "delay", "delay:x", "silent:3", "error:0:5",
                            "error:1:70000", "refuse/300", "oversize:-1"})
        EXPECT_EQ(fault_parse(bad, &f, text, sizeof text), -1) << bad;
    sim_scenario s = default_scenario();
    EXPECT_EQ(scenario_set_fault(&s, "ns@127.0.0.9", "silent", text, sizeof text), -1);
    EXPECT_EQ(scenario_set_fault(&s, "fsm:nosuch", "silent", text, sizeof text), -1);
    EXPECT_EQ(scenario_set_fault(&s, "fsm:snfs1@127.0.0.2", "delay:5", text, sizeof text), 0);
    EXPECT_EQ(s.filesystems[0].managers[1].fault.kind, SIM_FAULT_DELAY);
    EXPECT_EQ(s.filesystems[0].managers[0].fault.kind, SIM_FAULT_NONE);
}

} // namespace
