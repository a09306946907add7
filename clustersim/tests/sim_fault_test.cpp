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

    // A connection to the name server of `address`, or its agent, after setting `fault_text` on it.
    int name_server(const std::string &address, const char *fault_text = "none") {
        set_fault(sim->cluster, ("ns@" + address).c_str(), fault_text);
        return connect_to(address, cluster_name_server_port(sim->cluster, address.c_str()));
    }
    int agent(const std::string &address, const char *fault_text) {
        set_fault(sim->cluster, ("agent@" + address).c_str(), fault_text);
        return connect_to(address, cluster_agent_port(sim->cluster));
    }
    // Replies are awaited 0.4 s only.
    static int short_timeout(int fd) {
        timeval tv{0, 400000};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        return fd;
    }

    std::unique_ptr<running_cluster> sim;
};

TEST_F(SimFaults, SilentNameServerAndAgentNeverAnswer) {
    int fd = short_timeout(name_server(alpha, "silent"));
    EXPECT_TRUE(round_trip(fd, pm_request(0, 36)).empty());
    ::close(fd);
    fd = name_server(beta); // the other host is unaffected
    EXPECT_EQ(round_trip(fd, pm_request(0, 36)).size(), 1024u);
    ::close(fd);

    fd = short_timeout(agent(beta, "silent")); // no greeting
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(recv_bytes(fd, 32).empty());
    ::close(fd);
    EXPECT_NE(lookup_name_server(alpha, cluster_agent_port(sim->cluster)), 0);
}

TEST_F(SimFaults, CloseAfterHeaderBytes) {
    set_fault(sim->cluster, "fsm:snfs1", "close_after:10/2");
    int fd = fsm_open(sim->cluster, "snfs1", alpha); // the tap is not affected
    ASSERT_GE(fd, 0);
    bytes part = round_trip(fd, framed(24, 2, 2));
    ASSERT_EQ(part.size(), 10u);
    EXPECT_EQ(part[0], 0xC0);
    EXPECT_TRUE(recv_bytes(fd, 1).empty()); // closed
    ::close(fd);

    fd = agent(alpha, "close_after:4");
    EXPECT_EQ(recv_bytes(fd, 32), (bytes{'a', 'p', 0, 1}));
    ::close(fd);
}

TEST_F(SimFaults, WrongMagic) {
    int fd = name_server(beta, "wrong_magic");
    bytes reply = round_trip(fd, pm_request(0, 11));
    ASSERT_GE(reply.size(), 24u);
    EXPECT_EQ(reply[0], 0xC1);
    ::close(fd);
    fd = agent(beta, "wrong_magic");
    EXPECT_EQ(be(recv_bytes(fd, 32), 0, 4), 0x61700009u);
    ::close(fd);
}

TEST_F(SimFaults, OversizeReplyKeepsTheStreamAligned) {
    set_fault(sim->cluster, "fsm:archive", "oversize:5000/2");
    int fd = fsm_open(sim->cluster, "archive", beta);
    ASSERT_GE(fd, 0);
    bytes big = round_trip(fd, framed(24, 2, 2));
    ASSERT_EQ(big.size(), 5000u);
    expect_fields(big, {at{5, 3, 5000}, at{32, 4, 65536}}); // the real reply is at its start
    EXPECT_EQ(round_trip(fd, framed(32, 2, 12)).size(), 96u);
    ::close(fd);
}

TEST_F(SimFaults, ErrorFlagAndCodeOnlyForTheChosenRequest) {
    set_fault(sim->cluster, "fsm:snfs1@127.0.0.1", "error:5/22");
    int fd = fsm_open(sim->cluster, "snfs1", alpha);
    expect_fields(round_trip(fd, framed(32, 2, 22)), {at{11, 1, 1}, at{14, 2, 5}}, "fsm");
    EXPECT_EQ(round_trip(fd, framed(24, 2, 2))[11], 0);
    ::close(fd);

    fd = name_server(alpha, "error:255:1/11");
    expect_fields(round_trip(fd, pm_request(0, 11)), {at{11, 1, 255}, at{14, 2, 1}}, "ns");
    EXPECT_EQ(round_trip(fd, pm_request(0, 36))[11], 0);
    ::close(fd);
}

TEST_F(SimFaults, DelayHoldsEveryReply) {
    int fd = name_server(beta, "delay:300");
    auto begin = std::chrono::steady_clock::now();
    EXPECT_EQ(round_trip(fd, pm_request(0, 11)).size(), 1024u);
    EXPECT_GE(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(290));
    ::close(fd);
}

TEST_F(SimFaults, RefuseAndClearAgain) {
    uint16_t port = cluster_name_server_port(sim->cluster, alpha.c_str());
    set_fault(sim->cluster, "ns@127.0.0.1", "refuse");
    EXPECT_TRUE(refused_soon(alpha, port));
    set_fault(sim->cluster, "ns@127.0.0.1", "none");
    int fd = connect_soon(alpha, port);
    ASSERT_GE(fd, 0);
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
