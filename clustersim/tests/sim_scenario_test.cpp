// Scenario files: what is filled in where a field is left out, and the mistakes a scenario is
// refused for.
#include "support.h"

#include <gtest/gtest.h>

namespace {

int parse(const std::string &json, sim_scenario *s, std::string *message) {
    char text[256] = "";
    int rc = scenario_parse(json.c_str(), s, text, sizeof text);
    *message = text;
    return rc;
}

TEST(SimScenario, DefaultsFaultsDebugWordsAndQuotaOrder) {
    sim_scenario s;
    std::string message;
    ASSERT_EQ(parse(R"({"hosts": [{"address": "127.0.0.3", "refuse": [[8, 14]],
        "name_server_fault": "delay:20/11", "auth_secret": "abc"}], "filesystems": [
        {"name": "a", "debug_flags": 17, "debug_settable": 1,
         "managers": [{"host": "127.0.0.3", "state": "standby", "fault": "silent"},
                      {"host": "127.0.0.3", "debug_flags": 2147483648}],
         "user_quotas": [{"name": "zed"}, {"name": "amy"}, {"name": "kim"}], "users": ["amy"]},
        {"name": "b", "managers": [{"host": "127.0.0.3"}]}]})",
                    &s, &message),
              0)
        << message;
    const sim_host &h = s.hosts[0];
    EXPECT_EQ(h.generation, 3);
    EXPECT_EQ(h.refused, std::vector<uint16_t>{0x080E});
    EXPECT_EQ(h.name_server_fault.kind, SIM_FAULT_DELAY);
    EXPECT_EQ(h.name_server_fault.request, 11);
    EXPECT_TRUE(h.auth_required);
    const sim_filesystem &a = s.filesystems[0], &b = s.filesystems[1];
    EXPECT_EQ(a.managers[0].state, SIM_STANDBY);
    EXPECT_EQ(a.managers[0].fault.kind, SIM_FAULT_SILENT);
    EXPECT_EQ(a.status.capability_flags, 0x1000);
    EXPECT_EQ(a.block_size, 4096u);
    EXPECT_FALSE(a.quotas_enabled);
    // The file system's debug word is every manager's unless it has its own.
    EXPECT_EQ(a.managers[0].debug_flags, 17u);
    EXPECT_EQ(a.managers[1].debug_flags, 0x80000000u);
    EXPECT_EQ(a.debug_settable, 1u);
    EXPECT_EQ(b.managers[0].debug_flags, 0u);
    EXPECT_EQ(b.debug_settable, 0xFFFFFFFFu) << "every bit may change";
    std::vector<std::string> names;
    for (const sim_quota &q : a.user_quotas)
        names.push_back(q.name);
    EXPECT_EQ(names, (std::vector<std::string>{"amy", "kim", "zed"}));
    EXPECT_EQ(a.users, std::vector<std::string>{"amy"});
    EXPECT_FALSE(a.groups.has_value()) << "not given: every group exists";
}

TEST(SimScenario, MistakesAreRefusedWithTheirPlace) {
    const std::string host = R"({"hosts": [{"address": "127.0.0.1"}], "filesystems": [{"name": )";
    const struct {
        std::string json;
        const char *message; // a part of the message
    } cases[] = {
        {R"({"hosts": [{"address": "127.0.0.1", "colour": 1}]})",
         "hosts[0]: unknown key \"colour\""},
        {R"({"hosts": [{"address": "192.168.1.1"}]})", "127.0.0.0/8"},
        {R"({"hosts": [{"address": "127.0.0.1"}, {"address": "127.0.0.1"}]})", "scenario: "},
        {R"({"hosts": [{"address": "127.0.0.1", "generation": 4}]})", "scenario: "},
        {R"({"hosts": [{"address": "127.0.0.1", "agent_fault": "loud"}]})", "scenario: "},
        {R"({"hosts": []})", "scenario: "},
        {"{not json", "scenario: "},
        {host + R"("a", "managers": [{"host": "127.0.0.5"}]}]})", "no such host 127.0.0.5"},
        {host + R"("a/b", "managers": []}]})", "filesystems[0].name: no \"/\""},
        {host + R"("..", "managers": []}]})", "filesystems[0].name: no \"/\""},
        {host + R"("a", "managers": [], "directories": ["x/../../y"]}]})",
         "filesystems[0].directories[0]: a relative path"},
        {host + R"("a", "managers": [], "dir_space_quotas": [{"name": "D:5", "path": "p"}]}]})",
         "filesystems[0].dir_space_quotas[0]: either \"path\" or \"name\""},
        {host + R"("a", "managers": [], "user_quotas": [{"path": "p"}]}]})",
         "filesystems[0].user_quotas[0]: unknown key \"path\""},
        {host + R"("a", "managers": [], "name_spaces": [{"path": "p", "locked": true}]}]})",
         "filesystems[0].name_spaces[0]: unknown key \"locked\""},
    };
    for (const auto &c : cases) {
        sim_scenario s;
        std::string message;
        EXPECT_EQ(parse(c.json, &s, &message), -1) << c.json;
        EXPECT_EQ(message.rfind("scenario: ", 0), 0u) << message;
        EXPECT_NE(message.find(c.message), std::string::npos) << message;
    }
}

} // namespace
