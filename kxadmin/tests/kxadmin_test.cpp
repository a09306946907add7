// The kxadmin program run as a child process against a simulator child process, both on a
// private install root; plus its path syntax and table layout.

#include "clustersim/cluster.h"
#include "kxadmin/kxadmin_cli.h"
#include "libvtadmin/vtadmin_fsm.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
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

    // Runs the program with --root and `args`; bounded by a 60-second time-out. `as` goes
    // before the program (another user, for example).
    static run_result run(const std::vector<std::string> &args, const std::string &as = "") {
        std::string command = "TIMEDWAIT_VALUE=5 timeout 60 " + as + quote(KX_KXADMIN_PROGRAM) +
                              " --root " + quote(root_);
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

// A host text the file cannot hold is refused before anything is written: the saved list
// stays whole.
TEST_F(Kxadmin, ConnectRefusesHostsTheFileCannotHold) {
    ASSERT_EQ(run({"connect", "beta"}).status, 0);
    const std::string before = slurp(root_ + "/config/cfg.kxntadmin");
    const struct {
        std::string host;
        std::string message;
    } cases[] = {
        {"a\nb", "kxadmin: Invalid host name: it contains a line break\n"},
        {"a\rb", "kxadmin: Invalid host name: it contains a line break\n"},
        {std::string(256, 'h'), "kxadmin: Host name too long: 256 bytes (at most 255)\n"},
    };
    for (const auto &c : cases) {
        const run_result r = run({"connect", c.host});
        EXPECT_EQ(r.status, 1) << c.host;
        EXPECT_EQ(r.err, c.message) << c.host;
        EXPECT_EQ(slurp(root_ + "/config/cfg.kxntadmin"), before) << c.host;
    }
}

// Connects run at the same time each add their host: none is lost.
TEST_F(Kxadmin, ParallelConnectsKeepEveryHost) {
    constexpr int kPrograms = 5;
    std::string command;
    for (int i = 0; i < kPrograms; ++i)
        command += "TIMEDWAIT_VALUE=5 timeout 60 " + quote(KX_KXADMIN_PROGRAM) + " --root " +
                   quote(root_) + " connect beta >/dev/null 2>&1 & ";
    command += "wait";
    ASSERT_EQ(system(command.c_str()), 0);
    const run_result r = run({"connections"});
    const std::vector<std::string> lines = r.lines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "beta"), kPrograms) << r.out;
}

// A damaged recent-connections file is reported once and kept aside; the commands go on.
TEST_F(Kxadmin, DamagedRecentConnectionsFileIsReportedOnceAndKeptAside) {
    const std::string file = root_ + "/config/cfg.kxntadmin";
    std::ofstream(file, std::ios::binary | std::ios::trunc) << std::string("RecentConn0=x\0", 14);
    run_result r = run({"connections"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("could not be read (Invalid character in file.); it was kept as " + file +
                         ".damaged"),
              std::string::npos)
        << r.err;
    r = run({"connect", "beta"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(run({"connections"}).out, "beta\n");
    EXPECT_EQ(slurp(file + ".damaged"), std::string("RecentConn0=x\0", 14));
    std::filesystem::remove(file + ".damaged");
}

// Browsing needs no write access to the configuration directory.
TEST_F(Kxadmin, ReadOnlyConfigurationDirectoryStillBrowses) {
    const std::string config = root_ + "/config";
    std::filesystem::permissions(root_, std::filesystem::perms(0755));
    std::filesystem::create_directories(root_ + "/debug");
    std::filesystem::permissions(root_ + "/debug", std::filesystem::perms(0777));
    std::filesystem::permissions(config, std::filesystem::perms(0555));
    std::filesystem::permissions(config + "/cfg.kxntadmin", std::filesystem::perms(0444));
    const std::string reader =
        geteuid() == 0 ? "setpriv --reuid=65534 --regid=65534 --clear-groups " : "";
    const run_result r = run({"ls", "localhost/File Systems"}, reader);
    const run_result save = run({"connect", "beta"}, reader);
    std::filesystem::permissions(config, std::filesystem::perms(0755));
    std::filesystem::permissions(config + "/cfg.kxntadmin", std::filesystem::perms(0644));
    std::filesystem::permissions(root_, std::filesystem::perms(0700));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("snfs1"), std::string::npos) << r.out;
    EXPECT_EQ(save.status, 1) << "saving needs write access";
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
    const struct {
        const char *text;
        const char *name;
        int occurrence;
    } cases[] = {
        {"fs#2", "fs", 2},
        {"a#b", "a#b", 1},
        {"#3x", "#3x", 1},
        {"#2", "#2", 1},
        {"fs#0", "fs#0", 1},
        {"fs#02", "fs#02", 1},
        {"fs#", "fs#", 1},
        {"fs#1000000", "fs", 1000000},
        {"fs#1000001", "fs#1000001", 1},
        {"fs#99999999999999999999", "fs#99999999999999999999", 1},
        {"a#2#1", "a#2", 1},
        {"x#-1", "x#-1", 1},
    };
    for (const auto &c : cases) {
        const std::vector<kxadmin_path_part> parts = kxadmin_split_path(c.text);
        ASSERT_EQ(parts.size(), 1u) << c.text;
        EXPECT_EQ(parts[0].name, c.name) << c.text;
        EXPECT_EQ(parts[0].occurrence, c.occurrence) << c.text;
        EXPECT_EQ(parts[0].text, c.text) << c.text;
    }
    const std::vector<kxadmin_path_part> parts =
        kxadmin_split_path("/localhost//File Systems/fs#2/");
    ASSERT_EQ(parts.size(), 3u);
    EXPECT_EQ(parts[1].name, "File Systems");
    EXPECT_TRUE(kxadmin_split_path("/").empty());
}

// What tree prints reads back as the same node.
TEST(KxadminPath, PrintedNamesReadBackAsTheSameNode) {
    const struct {
        const char *name;
        int occurrence;
        const char *printed;
    } cases[] = {
        {"fs", 1, "fs"},     {"fs", 2, "fs#2"}, {"a#2", 1, "a#2#1"},
        {"a#2", 3, "a#2#3"}, {"a#b", 1, "a#b"}, {"fs#0", 1, "fs#0"},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(kxadmin_path_name(c.name, c.occurrence), c.printed) << c.name;
        const std::vector<kxadmin_path_part> parts = kxadmin_split_path(c.printed);
        ASSERT_EQ(parts.size(), 1u);
        EXPECT_EQ(parts[0].name, c.name) << c.printed;
        EXPECT_EQ(parts[0].occurrence, c.occurrence) << c.printed;
    }
}

TEST(KxadminPath, TableHonoursRightAlignment) {
    EXPECT_EQ(kxadmin_format_table({{"Name", "Size"}, {"a", "10"}, {"bbbbbb", "7"}}, {false, true}),
              "Name    Size\na         10\nbbbbbb     7\n");
}

} // namespace
