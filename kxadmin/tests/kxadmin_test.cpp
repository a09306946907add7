// The kxadmin program run as a child process against a simulator child process, both on a
// private install root; plus its path syntax and table layout.

#include "clustersim/cluster.h"
#include "kxadmin/kxadmin_cli.h"
#include "libvtadmin/vtadmin_fsm.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <vector>

namespace {

struct run_result {
    int status = -1;
    std::string out, err;
    std::vector<std::string> lines() const {
        std::vector<std::string> result;
        std::istringstream in(out);
        for (std::string line; std::getline(in, line);)
            result.push_back(line);
        return result;
    }
};

std::string slurp(const std::string &path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string quote(const std::string &word) {
    std::string quoted = "'";
    for (char c : word)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

class Kxadmin : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        char pattern[] = "/tmp/kxadmin-test-XXXXXX";
        root_ = mkdtemp(pattern);
        std::string ready;
        char text[256] = "";
        ASSERT_EQ(cluster_spawn(KX_CLUSTERSIM_DAEMON, root_.c_str(), nullptr, {}, &sim_pid_, &ready,
                                text, sizeof text),
                  0)
            << text;
    }
    static void TearDownTestSuite() {
        if (sim_pid_ > 0)
            cluster_child_stop(sim_pid_, 5000);
        sim_pid_ = 0;
        std::error_code ignored;
        std::filesystem::remove_all(root_, ignored);
    }
    void SetUp() override {
        std::filesystem::remove(root_ + "/config/cfg.kxntadmin");
        ASSERT_EQ(run({"connect", "localhost"}).status, 0);
    }

    // Runs the program with --root and `args`; bounded by a 60-second time-out.
    static run_result run(const std::vector<std::string> &args) {
        std::string command =
            "TIMEDWAIT_VALUE=5 timeout 60 " + quote(KX_KXADMIN_PROGRAM) + " --root " + quote(root_);
        for (const std::string &arg : args)
            command += " " + quote(arg);
        const std::string out = root_ + "/out.txt", err = root_ + "/err.txt";
        command += " >" + quote(out) + " 2>" + quote(err);
        run_result result;
        const int status = system(command.c_str());
        result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        result.out = slurp(out);
        result.err = slurp(err);
        return result;
    }

    static std::string root_;
    static pid_t sim_pid_;
};

std::string Kxadmin::root_;
pid_t Kxadmin::sim_pid_ = 0;

TEST_F(Kxadmin, ListsFileSystemsAlignedWithStatus) {
    const run_result r = run({"ls", "localhost/File Systems"});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::vector<std::string> lines = r.lines();
    ASSERT_GE(lines.size(), 3u) << r.out;
    EXPECT_EQ(lines[0].rfind("Name ", 0), 0u) << lines[0];
    const size_t host_column = lines[0].find("Host");
    bool active_snfs1 = false;
    for (size_t i = 1; i < lines.size(); ++i) {
        EXPECT_EQ(lines[i].find("127.0.0."), host_column) << lines[i];
        if (lines[i].rfind("snfs1 ", 0) == 0 && lines[i].find("Active") != std::string::npos)
            active_snfs1 = true;
    }
    EXPECT_TRUE(active_snfs1) << r.out;
}

TEST_F(Kxadmin, TreeShowsFoldersIndentedAndNamesakesNumbered) {
    run_result r = run({"tree", "--depth", "2"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.lines(), (std::vector<std::string>{"Connections", "  localhost", "    Disks",
                                                   "    File Systems"}));
    r = run({"tree", "localhost/File Systems", "--depth", "1"});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string out = r.out;
    EXPECT_NE(out.find("\n  snfs1\n"), std::string::npos) << out;
    EXPECT_NE(out.find("\n  snfs1#2\n"), std::string::npos) << out;
    r = run({"ls", "localhost/File Systems/snfs1#2"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("Standby"), std::string::npos) << r.out;
}

TEST_F(Kxadmin, JsonRowsAreKeyedByTheHeader) {
    run_result r = run({"ls", "localhost/File Systems/snfs1/Clients", "--json"});
    ASSERT_EQ(r.status, 0) << r.err;
    const nlohmann::json rows = nlohmann::json::parse(r.out);
    ASSERT_TRUE(rows.is_array());
    ASSERT_FALSE(rows.empty());
    for (const auto &row : rows) {
        EXPECT_EQ(row.size(), 2u) << row.dump();
        EXPECT_TRUE(row.contains("Host") && row.contains("Type")) << row.dump();
    }
    EXPECT_EQ(rows[0]["Type"], "File System Manager (FSM)");

    r = run({"tree", "localhost", "--depth", "1", "--json"});
    ASSERT_EQ(r.status, 0) << r.err;
    const nlohmann::json tree = nlohmann::json::parse(r.out);
    EXPECT_EQ(tree["name"], "localhost");
    EXPECT_EQ(tree["type"], "Computer");
    ASSERT_EQ(tree["children"].size(), 2u);
    EXPECT_EQ(tree["children"][1]["name"], "File Systems");
}

TEST_F(Kxadmin, ConnectionsAreTheConsolesRecentList) {
    ASSERT_EQ(run({"connect", "beta"}).status, 0);
    EXPECT_EQ(run({"connections"}).out, "beta\nlocalhost\n");
    const std::string file = slurp(root_ + "/config/cfg.kxntadmin");
    EXPECT_NE(file.find("RecentConn0=beta"), std::string::npos) << file;
    EXPECT_NE(file.find("RecentConn1=localhost"), std::string::npos) << file;
    ASSERT_EQ(run({"disconnect", "beta"}).status, 0);
    EXPECT_EQ(run({"connections", "--json"}).out, "[\n  \"localhost\"\n]\n");
}

TEST_F(Kxadmin, ErrorsGoToStandardErrorWithNonZeroStatus) {
    run_result r = run({"ls", "localhost/Nowhere"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "kxadmin: no node 'Nowhere' in 'localhost'\n");

    r = run({"stop", "localhost", "nosuchfs"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "kxadmin: no file system 'nosuchfs' on 'localhost'\n");

    r = run({"start", "localhost", "snfs1"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("already running"), std::string::npos) << r.err;

    r = run({"frobnicate"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("unknown command 'frobnicate'"), std::string::npos);
    EXPECT_EQ(run({"ls", "a", "b"}).status, 2);
    EXPECT_EQ(run({"tree", "--depth", "x"}).status, 2);

    r = run({"--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("#2"), std::string::npos);
}

// ---- Debug flags ----

// The word that `debug --json` / `ls --json` rows of a Debug folder show; every one of the 32
// rows must be there, each with a true/false "Set".
uint32_t shown_word(const std::string &out) {
    const nlohmann::json rows = nlohmann::json::parse(out);
    EXPECT_EQ(rows.size(), 32u) << out;
    uint32_t word = 0;
    for (const auto &row : rows) {
        EXPECT_TRUE(row["Set"].is_boolean()) << row.dump();
        const std::string name = row["Debug Name"];
        const VTA_DEBUG_FLAG *flag = VTAdmin_DebugFlags;
        while (flag->description != nullptr && name != flag->description)
            ++flag;
        EXPECT_NE(flag->description, nullptr) << name;
        if (row["Set"] == true)
            word |= flag->value;
    }
    return word;
}

TEST_F(Kxadmin, DebugAppliesSetsAndClearsInOrderAndSavesThem) {
    const std::string fs_debug = "localhost/File Systems/snfs1/Debug";
    const struct {
        std::vector<std::string> changes;
        uint32_t word;
    } steps[] = {
        {{"--clear", "all"}, 0},
        {{"--set", "quotas", "--set", "Journal"}, 0x41000},
        {{"--set", "0x80000000"}, 0x80041000},
        {{"--clear", "QUOTAS"}, 0x80040000},
        {{"--set", "none", "--set", "general"}, 0x1},
        {{"--set", "all", "--clear", "0x1", "--clear", "none"}, 0xFFFFFFFE},
        {{"--set", "4096", "--clear", "xattr"}, 0xBFFFFFFE},
        {{}, 0xBFFFFFFE},
    };
    for (const auto &step : steps) {
        std::vector<std::string> args = {"debug", "localhost", "snfs1", "--json"};
        args.insert(args.end(), step.changes.begin(), step.changes.end());
        run_result r = run(args);
        const std::string name = ::testing::PrintToString(step.changes);
        ASSERT_EQ(r.status, 0) << name << ": " << r.err;
        EXPECT_EQ(shown_word(r.out), step.word) << name;
        // A new process reads the word back from the FSM.
        r = run({"ls", fs_debug, "--json"});
        ASSERT_EQ(r.status, 0) << name << ": " << r.err;
        EXPECT_EQ(shown_word(r.out), step.word) << name;
    }
}

TEST_F(Kxadmin, DebugFolderShowsCheckBoxesInTheSetColumn) {
    ASSERT_EQ(run({"debug", "localhost", "snfs1", "--set", "none", "--set", "sockets"}).status, 0);
    const run_result r = run({"ls", "localhost/File Systems/snfs1/Debug"});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::vector<std::string> lines = r.lines();
    ASSERT_EQ(lines.size(), 33u) << r.out;
    EXPECT_EQ(lines[0], "Set  Debug Name");
    EXPECT_EQ(lines[1], "[ ]  Administrative Tap Management");
    EXPECT_NE(std::find(lines.begin(), lines.end(), "[x]  Sockets"), lines.end()) << r.out;
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [](const std::string &l) { return l.rfind("[x]", 0) == 0; }),
              1)
        << r.out;
}

TEST_F(Kxadmin, UnknownDebugFlagIsAUsageErrorNamingTheKeywords) {
    const std::string before = run({"ls", "localhost/File Systems/snfs1/Debug"}).out;
    for (const char *flag : {"verbose", "0x100000000", "-1", "0x", "gen"}) {
        const run_result r =
            run({"debug", "localhost", "snfs1", "--set", "quotas", "--clear", flag});
        EXPECT_EQ(r.status, 2) << flag;
        EXPECT_EQ(r.out, "") << flag;
        EXPECT_NE(r.err.find("unknown debug flag '" + std::string(flag) + "'"), std::string::npos)
            << r.err;
        EXPECT_NE(r.err.find("general, sockets"), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("all, none"), std::string::npos) << r.err;
    }
    EXPECT_EQ(run({"ls", "localhost/File Systems/snfs1/Debug"}).out, before) << "nothing saved";
    EXPECT_EQ(run({"debug", "localhost", "snfs1", "--set"}).status, 2);
}

// ---- Quotas ----

const char *const kUsersAndGroups = "localhost/File Systems/snfs1/Quotas/Users & Groups";

// The JSON row of `name` and `type` in the "Users & Groups" list; null when there is none.
nlohmann::json quota_row(const nlohmann::json &rows, const std::string &name,
                         const std::string &type = "User") {
    for (const auto &row : rows)
        if (row["Name"] == name && row["Type"] == type)
            return row;
    return nullptr;
}

TEST_F(Kxadmin, QuotaFoldersListTheirRowsWithRightAlignedFigures) {
    run_result r = run({"ls", "localhost/File Systems/snfs1/Quotas"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.lines(), (std::vector<std::string>{"Name            Description",
                                                   "Directories     Directory Quotas",
                                                   "Users & Groups  User & Group Quotas"}));
    r = run({"ls", kUsersAndGroups});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::vector<std::string> lines = r.lines();
    ASSERT_GE(lines.size(), 9u) << r.out;
    // Right-aligned columns end where their header ends.
    for (const char *column : {"Limit Hard", "Limit Soft", "Used"}) {
        const size_t end = lines[0].find(column) + strlen(column);
        for (size_t i = 1; i < lines.size(); ++i)
            EXPECT_NE(lines[i][end - 1], ' ') << column << ": " << lines[i];
    }
    EXPECT_EQ(lines[1].rfind("alice  User           1G        900M   100M", 0), 0u) << lines[1];

    r = run({"ls", kUsersAndGroups, "--json"});
    ASSERT_EQ(r.status, 0) << r.err;
    const nlohmann::json rows = nlohmann::json::parse(r.out);
    EXPECT_EQ(quota_row(rows, "dave")["Message"], "!! HARD LIMIT EXCEEDED !!");
    EXPECT_EQ(quota_row(rows, "carol")["Message"], "!! Soft limit expired !!");
    EXPECT_EQ(quota_row(rows, "erin")["Limit Hard"], "Unlimited");
    EXPECT_FALSE(quota_row(rows, "devel", "User").is_null());
    EXPECT_FALSE(quota_row(rows, "devel", "Group").is_null());
    EXPECT_TRUE(quota_row(rows, "ghost").is_null()) << "no limits and no usage";

    r = run({"ls", "localhost/File Systems/archive/Quotas/Users & Groups"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "Message\nQuotas are not enabled.\n");
    r = run({"ls", "localhost/File Systems/snfs1/Quotas/Directories"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("Directory quotas cannot be listed"), std::string::npos) << r.err;
}

TEST_F(Kxadmin, QuotaSetChangeAndDelete) {
    run_result r = run({"quota", "set", "localhost", "snfs1", "user", "harry", "--hard", "10G",
                        "--soft", "900M", "--grace", "90"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "quota set user harry: done\n");
    nlohmann::json harry =
        quota_row(nlohmann::json::parse(run({"ls", kUsersAndGroups, "--json"}).out), "harry");
    ASSERT_FALSE(harry.is_null());
    EXPECT_EQ(harry["Limit Hard"], "10G");
    EXPECT_EQ(harry["Limit Soft"], "900M");
    EXPECT_EQ(harry["Grace Period"], "   0d- 1h-30m");

    // Options left out keep the quota's values.
    r = run({"quota", "set", "localhost", "snfs1", "user", "harry", "--hard", "20G"});
    ASSERT_EQ(r.status, 0) << r.err;
    harry = quota_row(nlohmann::json::parse(run({"ls", kUsersAndGroups, "--json"}).out), "harry");
    EXPECT_EQ(harry["Limit Hard"], "20G");
    EXPECT_EQ(harry["Limit Soft"], "900M");
    EXPECT_EQ(harry["Grace Period"], "   0d- 1h-30m");

    r = run({"quota", "delete", "localhost", "snfs1", "user", "harry"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(
        quota_row(nlohmann::json::parse(run({"ls", kUsersAndGroups, "--json"}).out), "harry")
            .is_null());
    r = run({"quota", "delete", "localhost", "snfs1", "user", "harry"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "kxadmin: no user quota 'harry' on 'snfs1'\n");
}

TEST_F(Kxadmin, QuotaSetRefusesWhatCannotBeSet) {
    const std::string long_name(256, 'n');
    const struct {
        std::vector<std::string> args; // after "quota set localhost"
        int status;
        const char *err;
    } rows[] = {
        {{"snfs1", "user", "nosuch", "--hard", "1G", "--soft", "1G", "--grace", "5"},
         1,
         "kxadmin: FSM returned 'Not Found'. Verify user 'nosuch' exists\n"},
        {{"snfs1", "group", "nosuch", "--hard", "1G", "--soft", "1G", "--grace", "5"},
         1,
         "kxadmin: FSM returned 'Not Found'. Verify group 'nosuch' exists\n"},
        {{"snfs1", "user", "alice", "--hard", "1G", "--soft", "2G"},
         1,
         "kxadmin: Quota hard limit is smaller than the soft limit, HL = 1073741824, SL = "
         "2147483648.\n"},
        {{"snfs1", "user", "irene", "--hard", "1G"},
         1,
         "kxadmin: Quota hard and soft limits must both be either zero or non-zero, HL = "
         "1073741824, SL = 0.\n"},
        {{"snfs1", "user", "irene", "--hard", "1G", "--soft", "1G"},
         1,
         "kxadmin: Quota time limit must be non-zero if the soft limit is non-zero, SL = "
         "1073741824, TL = 0.\n"},
        {{"snfs1", "user", "irene", "--hard", "12x"},
         1,
         "kxadmin: Hard Limit is not a valid number\n"},
        {{"snfs1", "user", "irene", "--soft", "-5"},
         1,
         "kxadmin: Soft Limit is not a valid number\n"},
        {{"snfs1", "user", "irene", "--grace", "4294967296"},
         1,
         "kxadmin: Time value is too large\n"},
        {{"snfs1", "user", ""}, 1, "kxadmin: Please enter a User Name\n"},
        {{"snfs1", "group", long_name}, 1, "kxadmin: Group Name is too long\n"},
        {{"archive", "user", "alice", "--hard", "1G", "--soft", "1G", "--grace", "5"},
         1,
         "kxadmin: Quotas are not enabled.\n"},
        {{"nosuchfs", "user", "alice"},
         1,
         "kxadmin: no active file system 'nosuchfs' on 'localhost'\n"},
        {{"snfs1", "owner", "alice"},
         2,
         "kxadmin: usage: quota set|delete HOST FSNAME user|group NAME (see kxadmin --help)\n"},
    };
    for (const auto &row : rows) {
        std::vector<std::string> args = {"quota", "set", "localhost"};
        args.insert(args.end(), row.args.begin(), row.args.end());
        const run_result r = run(args);
        EXPECT_EQ(r.status, row.status) << row.err;
        EXPECT_EQ(r.err, row.err);
        EXPECT_EQ(r.out, "");
    }
    // Nothing was changed on the way.
    const nlohmann::json rows_now =
        nlohmann::json::parse(run({"ls", kUsersAndGroups, "--json"}).out);
    EXPECT_EQ(quota_row(rows_now, "alice")["Limit Hard"], "1G");
    EXPECT_TRUE(quota_row(rows_now, "irene").is_null());
}

// Changes the cluster; the last test of the suite.
TEST_F(Kxadmin, ZzFailoverLeavesTheStandbyActive) {
    run_result r = run({"failover", "localhost", "snfs1"});
    ASSERT_EQ(r.status, 0) << r.err;
    r = run({"ls", "localhost/File Systems", "--json"});
    ASSERT_EQ(r.status, 0) << r.err;
    int snfs1 = 0;
    for (const auto &row : nlohmann::json::parse(r.out))
        if (row["Name"] == "snfs1") {
            ++snfs1;
            EXPECT_EQ(row["Host"], "127.0.0.2");
            EXPECT_EQ(row["State"], "Active");
        }
    EXPECT_EQ(snfs1, 1);
}

// ---- Path syntax and layout ----

TEST(KxadminPath, NamesakeSuffixesAndEmptyParts) {
    const std::vector<kxadmin_path_part> parts =
        kxadmin_split_path("/localhost//File Systems/fs#2/a#b/#3x/");
    ASSERT_EQ(parts.size(), 5u);
    EXPECT_EQ(parts[1].name, "File Systems");
    EXPECT_EQ(parts[2].name, "fs");
    EXPECT_EQ(parts[2].occurrence, 2);
    EXPECT_EQ(parts[3].name, "a#b");
    EXPECT_EQ(parts[3].occurrence, 1);
    EXPECT_EQ(parts[4].name, "#3x");
    EXPECT_TRUE(kxadmin_split_path("/").empty());
}

TEST(KxadminPath, TableHonoursRightAlignment) {
    EXPECT_EQ(kxadmin_format_table({{"Name", "Size"}, {"a", "10"}, {"bbbbbb", "7"}}, {false, true}),
              "Name    Size\na         10\nbbbbbb     7\n");
}

} // namespace
