// Every fault seen on the wire: silent, close after N bytes, wrong magic, oversize, error flag,
// delay and refuse, on the agent, the name server and a manager, and the request filter.
#include "support.h"

#include <chrono>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <thread>
#include <unistd.h>

namespace {

const std::string alpha = "127.0.0.1", beta = "127.0.0.2";

class SimFaults : public ::testing::Test {
protected:
    void SetUp() override { sim = std::make_unique<running_cluster>(default_scenario()); }

    void set_fault(const char *target, const char *fault_text) {
        char text[256] = "";
        ASSERT_EQ(cluster_set_fault(sim->cluster, target, fault_text, text, sizeof text), 0)
            << text;
    }

    int name_server(const std::string &address) {
        return connect_to(address, cluster_name_server_port(sim->cluster, address.c_str()));
    }

    static void short_timeout(int fd) {
        timeval tv{0, 400000};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    }

    // Whether connecting to address:port is refused, allowing the listener a moment to follow.
    static bool refused_soon(const std::string &address, uint16_t port) {
        for (int i = 0; i < 100; ++i) {
            int fd = connect_to(address, port);
            if (fd < 0)
                return true;
            ::close(fd);
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }

    std::unique_ptr<running_cluster> sim;
};

TEST_F(SimFaults, SilentNameServerReadsButNeverAnswers) {
    set_fault("ns@127.0.0.1", "silent");
    int fd = name_server(alpha);
    short_timeout(fd);
    EXPECT_TRUE(round_trip(fd, pm_request(0, 36)).empty());
    ::close(fd);
    fd = name_server(beta); // the other host is unaffected
    EXPECT_EQ(round_trip(fd, pm_request(0, 36)).size(), 1024u);
    ::close(fd);
}

TEST_F(SimFaults, SilentAgentSendsNoGreeting) {
    set_fault("agent@127.0.0.2", "silent");
    int fd = connect_to(beta, cluster_agent_port(sim->cluster));
    ASSERT_GE(fd, 0);
    short_timeout(fd);
    EXPECT_TRUE(recv_bytes(fd, 32).empty());
    ::close(fd);
    EXPECT_NE(lookup_name_server(alpha, cluster_agent_port(sim->cluster)), 0);
}

TEST_F(SimFaults, CloseAfterHeaderBytes) {
    set_fault("fsm:snfs1", "close_after:10/2");
    int fd = fsm_open(sim->cluster, "snfs1", alpha); // the tap is not affected
    ASSERT_GE(fd, 0);
    bytes part = round_trip(fd, framed(24, 2, 2));
    ASSERT_EQ(part.size(), 10u);
    EXPECT_EQ(part[0], 0xC0);
    EXPECT_TRUE(recv_bytes(fd, 1).empty()); // closed
    ::close(fd);

    set_fault("agent@127.0.0.1", "close_after:4");
    fd = connect_to(alpha, cluster_agent_port(sim->cluster));
    EXPECT_EQ(recv_bytes(fd, 32), (bytes{'a', 'p', 0, 1}));
    ::close(fd);
}

TEST_F(SimFaults, WrongMagic) {
    set_fault("ns@127.0.0.2", "wrong_magic");
    int fd = name_server(beta);
    bytes reply = round_trip(fd, pm_request(0, 11));
    ASSERT_GE(reply.size(), 24u);
    EXPECT_EQ(reply[0], 0xC1);
    ::close(fd);
    set_fault("agent@127.0.0.2", "wrong_magic");
    fd = connect_to(beta, cluster_agent_port(sim->cluster));
    EXPECT_EQ(be(recv_bytes(fd, 32), 0, 4), 0x61700009u);
    ::close(fd);
}

TEST_F(SimFaults, OversizeReplyKeepsTheStreamAligned) {
    set_fault("fsm:archive", "oversize:5000/2");
    int fd = fsm_open(sim->cluster, "archive", beta);
    ASSERT_GE(fd, 0);
    bytes big = round_trip(fd, framed(24, 2, 2));
    ASSERT_EQ(big.size(), 5000u);
    EXPECT_EQ(be(big, 5, 3), 5000u);
    EXPECT_EQ(be(big, 32, 4), 65536u); // the real reply is at its start
    bytes next = round_trip(fd, framed(32, 2, 12));
    EXPECT_EQ(next.size(), 96u);
    ::close(fd);
}

TEST_F(SimFaults, ErrorFlagAndCodeOnlyForTheChosenRequest) {
    set_fault("fsm:snfs1@127.0.0.1", "error:5/22");
    int fd = fsm_open(sim->cluster, "snfs1", alpha);
    bytes who = framed(32, 2, 22);
    bytes reply = round_trip(fd, who);
    EXPECT_EQ(reply[11], 1);
    EXPECT_EQ(be(reply, 14, 2), 5u);
    EXPECT_EQ(round_trip(fd, framed(24, 2, 2))[11], 0);
    ::close(fd);

    set_fault("ns@127.0.0.1", "error:255:1/11");
    fd = name_server(alpha);
    reply = round_trip(fd, pm_request(0, 11));
    EXPECT_EQ(reply[11], 255);
    EXPECT_EQ(be(reply, 14, 2), 1u);
    EXPECT_EQ(round_trip(fd, pm_request(0, 36))[11], 0);
    ::close(fd);
}

TEST_F(SimFaults, DelayHoldsEveryReply) {
    set_fault("ns@127.0.0.2", "delay:300");
    int fd = name_server(beta);
    auto begin = std::chrono::steady_clock::now();
    EXPECT_EQ(round_trip(fd, pm_request(0, 11)).size(), 1024u);
    EXPECT_GE(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(290));
    ::close(fd);
}

TEST_F(SimFaults, RefuseAndClearAgain) {
    uint16_t port = cluster_name_server_port(sim->cluster, alpha.c_str());
    set_fault("ns@127.0.0.1", "refuse");
    EXPECT_TRUE(refused_soon(alpha, port));
    set_fault("ns@127.0.0.1", "none");
    int fd = -1;
    for (int i = 0; i < 100 && fd < 0; ++i) {
        fd = connect_to(alpha, port);
        if (fd < 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_GE(fd, 0);
    EXPECT_EQ(round_trip(fd, pm_request(0, 11)).size(), 1024u);
    ::close(fd);
    set_fault("fsm:archive", "refuse");
    EXPECT_TRUE(refused_soon(beta, cluster_manager_port(sim->cluster, "archive", beta.c_str())));
}

TEST(SimFaultParse, AcceptsTheDocumentedFormsAndRejectsTheRest) {
    sim_fault f;
    char text[256];
    ASSERT_EQ(fault_parse("error:255:1/36", &f, text, sizeof text), 0);
    EXPECT_EQ(f.kind, SIM_FAULT_ERROR);
    EXPECT_EQ(f.flag, 255);
    EXPECT_EQ(f.value, 1u);
    EXPECT_EQ(f.request, 36);
    ASSERT_EQ(fault_parse("error:0x10", &f, text, sizeof text), 0);
    EXPECT_EQ(f.flag, 1);
    EXPECT_EQ(f.value, 16u);
    EXPECT_EQ(f.request, -1);
    ASSERT_EQ(fault_parse("close_after:10", &f, text, sizeof text), 0);
    EXPECT_EQ(f.kind, SIM_FAULT_CLOSE_AFTER);
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
