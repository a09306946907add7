// The in-process cluster's life cycle: restarting on the same root, and stopping while
// connections wait in faults.
#include "support.h"

#include <chrono>
#include <gtest/gtest.h>
#include <thread>
#include <unistd.h>

namespace {

TEST(SimCluster, RestartOnTheSameRootKeepsTheAgentPort) {
    temp_root root;
    char text[256] = "";
    sim_cluster *first = nullptr;
    ASSERT_EQ(cluster_start(default_scenario(), root.path.c_str(), &first, text, sizeof text), 0)
        << text;
    uint16_t port = cluster_agent_port(first);
    int fd = connect_to("127.0.0.1", port); // an open connection must not block the restart
    ASSERT_GE(fd, 0);
    cluster_stop(first);
    ::close(fd);
    sim_cluster *second = nullptr;
    ASSERT_EQ(cluster_start(default_scenario(), root.path.c_str(), &second, text, sizeof text), 0)
        << text;
    EXPECT_EQ(cluster_agent_port(second), port);
    EXPECT_NE(lookup_name_server("127.0.0.2", port), 0);
    cluster_stop(second);
}

TEST(SimCluster, StopEndsDelayedAndSilentConnections) {
    sim_scenario s = default_scenario();
    char text[256];
    ASSERT_EQ(scenario_set_fault(&s, "ns@127.0.0.1", "delay:60000", text, sizeof text), 0);
    ASSERT_EQ(scenario_set_fault(&s, "ns@127.0.0.2", "silent", text, sizeof text), 0);
    auto sim = std::make_unique<running_cluster>(s);
    std::vector<int> fds;
    for (const char *address : {"127.0.0.1", "127.0.0.2"}) {
        int fd = connect_to(address, cluster_name_server_port(sim->cluster, address));
        ASSERT_GE(fd, 0);
        send_bytes(fd, pm_request(0, 11));
        fds.push_back(fd);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100)); // both requests are in
    auto begin = std::chrono::steady_clock::now();
    sim.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(30));
    for (int fd : fds) {
        EXPECT_TRUE(recv_bytes(fd, 24).empty()); // closed without a reply
        ::close(fd);
    }
}

} // namespace
