// Generated scenarios for large clusters: every disk and client comes once, disks in a
// scattered order, and the cluster serves them.
#include "clustersim/generate.h"
#include "support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <unistd.h>

namespace {

TEST(SimGenerate, EveryDiskAndClientComesOnce) {
    for (size_t n : {0, 2 * 7919}) {
        const sim_scenario s = scenario_generate(n, n + 1);
        ASSERT_EQ(s.hosts.size(), 1u) << n;
        EXPECT_EQ(s.hosts[0].address, "127.0.0.1");
        const std::vector<sim_disk> &disks = s.hosts[0].disks;
        ASSERT_EQ(disks.size(), n + 1);
        std::set<std::string> labels;
        for (const sim_disk &d : disks)
            labels.insert(d.label);
        EXPECT_EQ(labels.size(), n + 1) << n;
        EXPECT_EQ(*labels.begin(), "disk000000") << n;
        EXPECT_EQ(*labels.rbegin(),
                  "disk" + std::string(6 - std::to_string(n).size(), '0') + std::to_string(n))
            << n;
        if (n >= 2) {
            EXPECT_FALSE(std::is_sorted(
                disks.begin(), disks.end(),
                [](const sim_disk &a, const sim_disk &b) { return a.label < b.label; }))
                << n << ": the list comes scattered";
        }

        ASSERT_EQ(s.filesystems.size(), 1u);
        const sim_filesystem &fs = s.filesystems[0];
        ASSERT_EQ(fs.managers.size(), 1u);
        EXPECT_EQ(fs.managers[0].state, SIM_ACTIVE);
        EXPECT_EQ(fs.stripe_groups.size(), 1u);
        std::set<std::string> addresses;
        for (const sim_client &c : fs.clients) {
            addresses.insert(c.ip);
            uint8_t bytes16[16];
            EXPECT_TRUE(address_parse(c.ip, bytes16)) << c.ip;
            EXPECT_EQ(c.ip.rfind("127.", 0), 0u) << c.ip;
        }
        EXPECT_EQ(addresses.size(), n) << n;
    }
}

TEST(SimGenerate, TheGeneratedClusterServesItsClients) {
    running_cluster sim(scenario_generate(30, 5));
    int fd = fsm_open(sim.cluster, "big", "127.0.0.1");
    ASSERT_GE(fd, 0);
    bytes request = framed(32, 2, 22);
    set_be(request, 24, 4, 29);
    bytes reply = round_trip(fd, request);
    ASSERT_GE(reply.size(), 72u);
    EXPECT_EQ(reply[11], 0);
    EXPECT_EQ(be(reply, 56 + 10, 2), 0xFFFFu);
    EXPECT_EQ(be(reply, 56 + 12, 4), 0x7F01001Eu); // 127.1.0.30
    set_be(request, 24, 4, 30);
    EXPECT_EQ(round_trip(fd, request)[15], 2) << "past the last client";
    ::close(fd);
}

} // namespace
