// Scenario loading: what the default scenario must offer, and the mistakes a scenario file is
// refused for.
#include "support.h"

#include <algorithm>
#include <gtest/gtest.h>

namespace {

int parse(const char *json, sim_scenario *s, std::string *message) {
    char text[256] = "";
    int rc = scenario_parse(json, s, text, sizeof text);
    *message = text;
    return rc;
}

TEST(SimScenario, DefaultOffersWhatTheDemoAndTheTestsNeed) {
    sim_scenario s = default_scenario();
    ASSERT_EQ(s.hosts.size(), 2u);
    EXPECT_EQ(s.hosts[0].address, "127.0.0.1");
    EXPECT_EQ(s.hosts[1].address, "127.0.0.2");
    EXPECT_EQ(s.hosts[0].disks.size(), 40u);
    int active = 0, standby = 0, down = 0, disabled_groups = 0;
    bool quotas_on = false, quotas_off = false, disconnected = false, no_address = false;
    for (const sim_filesystem &f : s.filesystems) {
        for (const sim_manager &m : f.managers) {
            active += m.state == SIM_ACTIVE;
            standby += m.state == SIM_STANDBY;
            down += m.state == SIM_DOWN;
            EXPECT_NE(m.pid, 0u);
        }
        for (const sim_stripe_group &g : f.stripe_groups)
            disabled_groups += (g.flags & 1) == 0;
        (f.quotas_enabled ? quotas_on : quotas_off) = true;
        for (const sim_client &c : f.clients) {
            disconnected = disconnected || (c.flags & 3) == 0;
            no_address = no_address || c.ip.empty();
        }
    }
    EXPECT_GE(active, 2);
    EXPECT_GE(standby, 1);
    EXPECT_GE(down, 1);
    EXPECT_GE(disabled_groups, 1);
    EXPECT_TRUE(quotas_on && quotas_off && disconnected && no_address);
    // Quotas in every state the list shows: no limits, under soft, at soft, in grace, grace
    // expired, over hard; an empty entry the list skips; a listed user without an entry.
    int unlimited = 0, under = 0, at_soft = 0, grace = 0, expired = 0, over = 0, empty = 0;
    for (const sim_quota &q : s.filesystems[0].user_quotas) {
        const bool limits = q.hard || q.soft || q.grace;
        unlimited += !limits && q.used > 0;
        empty += !limits && q.used == 0;
        under += limits && q.used < q.soft;
        at_soft += limits && q.used == q.soft;
        grace += q.used > q.soft && q.used < q.hard && q.time_remaining > 0;
        expired += q.used > q.soft && q.used < q.hard && q.time_remaining < 0;
        over += limits && q.used >= q.hard;
    }
    EXPECT_TRUE(unlimited && under && at_soft && grace && expired && over && empty);
    // Directory quotas of both kinds, one directory with both; a file system without them.
    const sim_filesystem &snfs1 = s.filesystems[0];
    ASSERT_FALSE(snfs1.dir_space_quotas.empty());
    ASSERT_FALSE(snfs1.dir_file_quotas.empty());
    int both = 0;
    for (const sim_quota &data : snfs1.dir_space_quotas)
        for (const sim_quota &files : snfs1.dir_file_quotas)
            both += !data.path.empty() && data.path == files.path;
    EXPECT_EQ(both, 1);
    EXPECT_TRUE(std::any_of(s.filesystems.begin(), s.filesystems.end(),
                            [](const sim_filesystem &f) { return !f.dir_quotas; }));
    ASSERT_TRUE(s.filesystems[0].users.has_value());
    EXPECT_NE(std::find(s.filesystems[0].users->begin(), s.filesystems[0].users->end(), "harry"),
              s.filesystems[0].users->end());
    bool same_name = false;
    for (const sim_quota &u : s.filesystems[0].user_quotas)
        for (const sim_quota &g : s.filesystems[0].group_quotas)
            same_name = same_name || u.name == g.name;
    EXPECT_TRUE(same_name);
    for (const sim_manager &m : s.filesystems[0].managers)
        EXPECT_NE(m.debug_flags, 0u) << "debug flags to show on " << m.host;
}

TEST(SimScenario, DebugWordOfTheFileSystemIsEveryManagersUnlessItHasItsOwn) {
    sim_scenario s;
    std::string message;
    ASSERT_EQ(parse(R"({"hosts": [{"address": "127.0.0.1"}], "filesystems": [
        {"name": "a", "debug_flags": 17, "debug_settable": 1,
         "managers": [{"host": "127.0.0.1"}, {"host": "127.0.0.1", "debug_flags": 2147483648}]},
        {"name": "b", "managers": [{"host": "127.0.0.1"}]}]})",
                    &s, &message),
              0)
        << message;
    EXPECT_EQ(s.filesystems[0].managers[0].debug_flags, 17u);
    EXPECT_EQ(s.filesystems[0].managers[1].debug_flags, 0x80000000u);
    EXPECT_EQ(s.filesystems[0].debug_settable, 1u);
    EXPECT_EQ(s.filesystems[1].managers[0].debug_flags, 0u);
    EXPECT_EQ(s.filesystems[1].debug_settable, 0xFFFFFFFFu) << "every bit may change";
}

TEST(SimScenario, QuotaListsAreKeptInNameOrder) {
    sim_scenario s;
    std::string message;
    ASSERT_EQ(parse(R"({"hosts": [{"address": "127.0.0.1"}], "filesystems": [{"name": "x",
        "managers": [], "user_quotas": [{"name": "zed"}, {"name": "amy"}, {"name": "kim"}],
        "users": ["amy"]}]})",
                    &s, &message),
              0)
        << message;
    std::vector<std::string> names;
    for (const sim_quota &q : s.filesystems[0].user_quotas)
        names.push_back(q.name);
    EXPECT_EQ(names, (std::vector<std::string>{"amy", "kim", "zed"}));
    EXPECT_EQ(s.filesystems[0].users, std::vector<std::string>{"amy"});
    EXPECT_FALSE(s.filesystems[0].groups.has_value()) << "not given: every group exists";
}

TEST(SimScenario, MistakesAreRefusedWithTheirPlace) {
    const struct {
        const char *json;
        const char *message; // a part of the message
    } cases[] = {
        {R"({"hosts": [{"address": "127.0.0.1", "colour": 1}]})",
         "hosts[0]: unknown key \"colour\""},
        {R"({"hosts": [{"address": "192.168.1.1"}]})", "127.0.0.0/8"},
        {R"({"hosts": [{"address": "127.0.0.1"}, {"address": "127.0.0.1"}]})", "scenario: "},
        {R"({"hosts": [{"address": "127.0.0.1", "generation": 4}]})", "scenario: "},
        {R"({"hosts": [{"address": "127.0.0.1"}], "filesystems": [{"name": "a",
            "managers": [{"host": "127.0.0.5"}]}]})",
         "no such host 127.0.0.5"},
        {R"({"hosts": [{"address": "127.0.0.1", "agent_fault": "loud"}]})", "scenario: "},
        {R"({"hosts": []})", "scenario: "},
        {R"({"hosts": [{"address": "127.0.0.1"}], "filesystems": [{"name": "a/b",
            "managers": []}]})",
         "filesystems[0].name: no \"/\""},
        {R"({"hosts": [{"address": "127.0.0.1"}], "filesystems": [{"name": "..",
            "managers": []}]})",
         "filesystems[0].name: no \"/\""},
        {R"({"hosts": [{"address": "127.0.0.1"}], "filesystems": [{"name": "a", "managers": [],
            "directories": ["/etc"]}]})",
         "filesystems[0].directories[0]: a relative path"},
        {R"({"hosts": [{"address": "127.0.0.1"}], "filesystems": [{"name": "a", "managers": [],
            "directories": ["x/../../y"]}]})",
         "filesystems[0].directories[0]: a relative path"},
        {R"({"hosts": [{"address": "127.0.0.1"}], "filesystems": [{"name": "a", "managers": [],
            "dir_space_quotas": [{"name": "D:5", "path": "p"}]}]})",
         "filesystems[0].dir_space_quotas[0]: either \"path\" or \"name\""},
        {R"({"hosts": [{"address": "127.0.0.1"}], "filesystems": [{"name": "a", "managers": [],
            "dir_file_quotas": [{"used": 5}]}]})",
         "filesystems[0].dir_file_quotas[0]: either \"path\" or \"name\""},
        {R"({"hosts": [{"address": "127.0.0.1"}], "filesystems": [{"name": "a", "managers": [],
            "user_quotas": [{"path": "p"}]}]})",
         "filesystems[0].user_quotas[0]: unknown key \"path\""},
        {R"({"hosts": [{"address": "127.0.0.1"}], "filesystems": [{"name": "a", "managers": [],
            "name_spaces": [{"path": "p", "locked": true}]}]})",
         "filesystems[0].name_spaces[0]: unknown key \"locked\""},
        {"{not json", "scenario: "},
    };
    for (const auto &c : cases) {
        sim_scenario s;
        std::string message;
        EXPECT_EQ(parse(c.json, &s, &message), -1) << c.json;
        EXPECT_EQ(message.rfind("scenario: ", 0), 0u) << message;
        EXPECT_NE(message.find(c.message), std::string::npos) << message;
    }
}

TEST(SimScenario, DefaultsAndFaultsFromJson) {
    sim_scenario s;
    std::string message;
    ASSERT_EQ(parse(R"({"hosts": [{"address": "127.0.0.3", "refuse": [[8, 14]],
        "name_server_fault": "delay:20/11", "auth_secret": "abc"}],
        "filesystems": [{"name": "x", "managers": [{"host": "127.0.0.3", "state": "standby",
        "priority": 3, "fault": "silent"}]}]})",
                    &s, &message),
              0)
        << message;
    const sim_host &h = s.hosts[0];
    EXPECT_EQ(h.generation, 3);
    EXPECT_EQ(h.refused, std::vector<uint16_t>{0x080E});
    EXPECT_EQ(h.name_server_fault.kind, SIM_FAULT_DELAY);
    EXPECT_EQ(h.name_server_fault.request, 11);
    EXPECT_TRUE(h.auth_required);
    const sim_filesystem &f = s.filesystems[0];
    EXPECT_EQ(f.managers[0].state, SIM_STANDBY);
    EXPECT_EQ(f.managers[0].fault.kind, SIM_FAULT_SILENT);
    EXPECT_EQ(f.status.capability_flags, 0x1000);
    EXPECT_EQ(f.block_size, 4096u);
    EXPECT_FALSE(f.quotas_enabled);
}

} // namespace
