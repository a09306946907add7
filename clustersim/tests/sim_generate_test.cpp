// Generated scenarios for large clusters: every disk and client comes once, disks in a
// scattered order.
#include "clustersim/generate.h"
#include "support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>

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

} // namespace
