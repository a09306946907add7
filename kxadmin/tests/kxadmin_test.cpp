// The kxadmin program run as a child process against a simulator child process, both on a
// private install root; plus its path syntax and table layout.

#include "clustersim/cluster.h"
#include "kxadmin/kxadmin_cli.h"
#include "libfsmcomm/transport.h"
#include "libutil/install_paths.h"
#include "libutil/program_version.h"
#include "libvtadmin/vtadmin_fsm.h"
#include "libvtadmin/vtadmin_recent.h"
#include "libvtadmin/vtadminlib.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
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

// Runs the program with --root `root` and `args`; bounded by a 60-second time-out.
run_result run_program(const std::string &root, const std::vector<std::string> &args,
                       const std::string &environment = "TIMEDWAIT_VALUE=5") {
    std::string command =
        environment + " timeout 60 " + quote(KX_KXADMIN_PROGRAM) + " --root " + quote(root);
    for (const std::string &arg : args)
        command += " " + quote(arg);
    const std::string out = root + "/out.txt", err = root + "/err.txt";
    command += " >" + quote(out) + " 2>" + quote(err);
    run_result result;
    const int status = system(command.c_str());
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.out = slurp(out);
    result.err = slurp(err);
    return result;
}

// kxadmin_main in this process with `args`, its output and errors captured.
run_result run_main(const std::vector<std::string> &args) {
    std::vector<std::string> words = {"kxadmin"};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (std::string &word : words)
        argv.push_back(word.data());
    char *out_text = nullptr, *err_text = nullptr;
    size_t out_size = 0, err_size = 0;
    FILE *out = open_memstream(&out_text, &out_size);
    FILE *err = open_memstream(&err_text, &err_size);
    run_result result;
    result.status = kxadmin_main(static_cast<int>(argv.size()), argv.data(), out, err);
    fclose(out);
    fclose(err);
    result.out = out_text;
    result.err = err_text;
    free(out_text);
    free(err_text);
    return result;
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

    static run_result run(const std::vector<std::string> &args) { return run_program(root_, args); }

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

// The default scenario's disks carry the states an administrator meets, none unknown, and
// the disk nodes show them.
TEST_F(Kxadmin, DisksOfTheDefaultClusterShowMeaningfulStates) {
    sim_scenario scenario;
    char text[256] = "";
    ASSERT_EQ(scenario_load(KX_CLUSTERSIM_SCENARIOS "/default.json", &scenario, text, sizeof text),
              0)
        << text;
    std::set<std::string> states;
    for (const sim_host &host : scenario.hosts)
        for (const sim_disk &disk : host.disks) {
            VTAdmin_DiskStateString(disk.state, text, sizeof text);
            states.insert(text);
        }
    EXPECT_EQ(states, (std::set<std::string>{"Active", "Available", "Deferred Close",
                                             "Label Not Verified", "Passive", "Primary",
                                             "Secondary", "Standby", "Unavailable", "Unusable"}));

    const run_result r = run({"ls", "localhost/Disks/alpha_disk35", "--json"});
    ASSERT_EQ(r.status, 0) << r.err;
    std::string shown;
    for (const auto &row : nlohmann::json::parse(r.out))
        if (row["Name"] == "State")
            shown = row["Value"].get<std::string>();
    EXPECT_EQ(shown, "Deferred Close");
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
        std::string("TIMEDWAIT_VALUE=5") +
        (geteuid() == 0 ? " setpriv --reuid=65534 --regid=65534 --clear-groups" : "");
    const run_result r = run_program(root_, {"ls", "localhost/File Systems"}, reader);
    const run_result save = run_program(root_, {"connect", "beta"}, reader);
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
    const run_result csv = run({"ls", "localhost/File Systems/snfs1/Debug", "--csv"});
    ASSERT_EQ(csv.status, 0) << csv.err;
    EXPECT_EQ(csv.out.rfind("Set,Debug Name\r\nfalse,Administrative Tap Management\r\n", 0), 0u)
        << csv.out;
    EXPECT_NE(csv.out.find("\r\ntrue,Sockets\r\n"), std::string::npos) << csv.out;
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
const char *const kDirectories = "localhost/File Systems/snfs1/Quotas/Directories";

// The JSON row of `name` and `type` in the "Users & Groups" list; null when there is none.
nlohmann::json quota_row(const nlohmann::json &rows, const std::string &name,
                         const std::string &type = "User") {
    for (const auto &row : rows)
        if (row["Name"] == name && row["Type"] == type)
            return row;
    return nullptr;
}

// The JSON row of the directory `path` (relative to the mount point) and `type`; null when
// there is none.
nlohmann::json dir_row(const nlohmann::json &rows, const std::string &path,
                       const std::string &type) {
    for (const auto &row : rows)
        if (row["Path"] == path && row["Type"] == type)
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
    r = run({"ls", kDirectories});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string header = r.lines().at(0);
    EXPECT_EQ(header.rfind("Name ", 0), 0u) << header;
    EXPECT_NE(header.find("  Time Remaining  Path  "), std::string::npos) << header;
    EXPECT_EQ(header.substr(header.size() - 9), "  Message") << header;
    const nlohmann::json dirs = nlohmann::json::parse(run({"ls", kDirectories, "--json"}).out);
    const nlohmann::json data = dir_row(dirs, "/projects", "Data");
    const nlohmann::json files = dir_row(dirs, "/projects", "Files");
    ASSERT_FALSE(data.is_null()) << dirs;
    ASSERT_FALSE(files.is_null()) << dirs;
    EXPECT_EQ(data["Name"], files["Name"]) << "one directory, two quotas";
    EXPECT_EQ(data["Name"].get<std::string>().rfind("D:", 0), 0u);
    EXPECT_EQ(dir_row(dirs, "/render", "Files")["Message"], "!! HARD LIMIT EXCEEDED !!");
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
         "kxadmin: usage: quota set|delete HOST FSNAME user|group|data|files NAME|PATH (see "
         "kxadmin --help)\n"},
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

TEST_F(Kxadmin, DirectoryQuotaSetChangeAndDelete) {
    const std::string tmp = std::filesystem::canonical(root_ + "/mnt/snfs1/tmp").string();
    const auto listed = [] {
        return nlohmann::json::parse(run({"ls", kDirectories, "--json"}).out);
    };
    // PATH relative to the mount point, or absolute.
    run_result r = run({"quota", "set", "localhost", "snfs1", "data", "tmp", "--hard", "10G",
                        "--soft", "5G", "--grace", "90"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "quota set data tmp: done\n");
    r = run({"quota", "set", "localhost", "snfs1", "files", tmp, "--hard", "100", "--soft", "50",
             "--grace", "60"});
    ASSERT_EQ(r.status, 0) << r.err;
    nlohmann::json data = dir_row(listed(), "/tmp", "Data");
    const nlohmann::json files = dir_row(listed(), "/tmp", "Files");
    ASSERT_FALSE(data.is_null());
    ASSERT_FALSE(files.is_null());
    EXPECT_EQ(data["Limit Hard"], "10G");
    EXPECT_EQ(data["Grace Period"], "   0d- 1h-30m");
    EXPECT_EQ(files["Limit Hard"], "100");
    EXPECT_EQ(files["Limit Soft"], "50");

    // Another spelling of the same directory changes the same quota; left-out values stay.
    r = run({"quota", "set", "localhost", "snfs1", "data", tmp + "/", "--hard", "20G"});
    ASSERT_EQ(r.status, 0) << r.err;
    data = dir_row(listed(), "/tmp", "Data");
    EXPECT_EQ(data["Limit Hard"], "20G");
    EXPECT_EQ(data["Limit Soft"], "5G");
    EXPECT_EQ(data["Grace Period"], "   0d- 1h-30m");

    // The path as the list shows it (relative to the mount point, with a leading "/") when no
    // such directory exists on this machine.
    ASSERT_FALSE(std::filesystem::exists("/projects"));
    r = run({"quota", "set", "localhost", "snfs1", "data", "/projects", "--soft", "800M"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(dir_row(listed(), "/projects", "Data")["Limit Soft"], "800M");
    ASSERT_EQ(
        run({"quota", "set", "localhost", "snfs1", "data", "/projects", "--soft", "900M"}).status,
        0);

    // Deleting one kind leaves the other; the last one goes with its name space.
    r = run({"quota", "delete", "localhost", "snfs1", "data", "tmp"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(dir_row(listed(), "/tmp", "Data").is_null());
    EXPECT_EQ(dir_row(listed(), "/tmp", "Files")["Limit Hard"], "100");
    r = run({"quota", "delete", "localhost", "snfs1", "files", "tmp"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(dir_row(listed(), "/tmp", "Files").is_null());
    r = run({"quota", "delete", "localhost", "snfs1", "files", "tmp"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "kxadmin: no files quota for 'tmp' on 'snfs1'\n");
}

TEST_F(Kxadmin, DirectoryQuotaSetRefusesWhatCannotBeSet) {
    const std::string mnt = std::filesystem::canonical(root_ + "/mnt").string();
    const struct {
        std::vector<std::string> args; // after "quota set localhost"
        const std::string err;
    } rows[] = {
        {{"snfs1", "data", ""}, "kxadmin: Please specify a directory\n"},
        {{"snfs1", "data", std::string(512, 'd')}, "kxadmin: Directory path is too long\n"},
        {{"snfs1", "files", "tmp", "--hard", "ten"}, "kxadmin: Hard Limit is not a valid number\n"},
        {{"snfs1", "data", "tmp", "--hard", "1G"},
         "kxadmin: Quota hard and soft limits must both be either zero or non-zero, HL = "
         "1073741824, SL = 0.\n"},
        {{"snfs1", "data", "missing", "--hard", "1G", "--soft", "1G", "--grace", "5"},
         "kxadmin: Error opening directory '" + mnt +
             "/snfs1/missing': No such file or "
             "directory\n"},
        {{"snfs1", "data", mnt + "/scratch", "--hard", "1G", "--soft", "1G", "--grace", "5"},
         "kxadmin: Directory '" + mnt +
             "/scratch' is not in file system 'snfs1' (it's in "
             "'scratch')\n"},
        {{"archive", "data", "x", "--hard", "1G", "--soft", "1G", "--grace", "5"},
         "kxadmin: Quotas are not enabled.\n"},
    };
    for (const auto &row : rows) {
        std::vector<std::string> args = {"quota", "set", "localhost"};
        args.insert(args.end(), row.args.begin(), row.args.end());
        const run_result r = run(args);
        EXPECT_EQ(r.status, 1) << row.err;
        EXPECT_EQ(r.err, row.err);
        EXPECT_EQ(r.out, "");
    }
    const nlohmann::json rows_now = nlohmann::json::parse(run({"ls", kDirectories, "--json"}).out);
    EXPECT_TRUE(dir_row(rows_now, "/tmp", "Data").is_null()) << "nothing was set";
    EXPECT_EQ(rows_now.size(), 4u);
}

// Reads RFC 4180 text strictly: every record ends in CR LF; a quoted field may hold commas, CR,
// LF and doubled quotes; a CR, LF or quote anywhere else is refused.
bool read_csv(const std::string &text, std::vector<std::vector<std::string>> *records) {
    std::vector<std::string> record;
    std::string field;
    bool field_start = true;
    for (size_t i = 0; i < text.size();) {
        const char c = text[i];
        if (field_start && c == '"') {
            for (++i;; ++i) {
                if (i >= text.size())
                    return false;
                if (text[i] == '"' && text.compare(i, 2, "\"\"") != 0)
                    break;
                field += text[i];
                i += text[i] == '"';
            }
            ++i;
            field_start = false;
            if (i < text.size() && text[i] != ',' && text[i] != '\r')
                return false;
        } else if (c == ',' || c == '\r') {
            if (c == '\r' && text.compare(i, 2, "\r\n") != 0)
                return false;
            record.push_back(field);
            field.clear();
            field_start = true;
            if (c == '\r')
                records->push_back(std::move(record)), record.clear();
            i += c == '\r' ? 2 : 1;
        } else if (c == '\n' || c == '"') {
            return false;
        } else {
            field += c;
            field_start = false;
            ++i;
        }
    }
    return record.empty() && field.empty() && field_start;
}

// A directory whose name holds a comma, quotes and a line end: the CSV of the list reads back
// as exactly the rows of --json, its header the texts of the table's header.
TEST_F(Kxadmin, ListAsCsvReadsBackAsTheJsonRows) {
    const std::string name = "q,\"x\"\ny";
    std::filesystem::create_directories(root_ + "/mnt/snfs1/" + name);
    ASSERT_EQ(run({"quota", "set", "localhost", "snfs1", "data", name, "--hard", "1G", "--soft",
                   "1G", "--grace", "5"})
                  .status,
              0);
    const run_result csv = run({"ls", kDirectories, "--csv"});
    const run_result json = run({"ls", kDirectories, "--json"});
    const run_result table = run({"ls", kDirectories});
    ASSERT_EQ(run({"quota", "delete", "localhost", "snfs1", "data", name}).status, 0);
    ASSERT_EQ(csv.status, 0) << csv.err;
    EXPECT_NE(csv.out.find(",\"/q,\"\"x\"\"\ny\","), std::string::npos) << csv.out;

    std::vector<std::vector<std::string>> records;
    ASSERT_TRUE(read_csv(csv.out, &records)) << csv.out;
    const nlohmann::json rows = nlohmann::json::parse(json.out);
    ASSERT_EQ(records.size(), rows.size() + 1) << csv.out;
    const std::vector<std::string> &header = records[0];
    std::string header_line;
    for (const std::string &text : header)
        header_line += (header_line.empty() ? "" : " +") + text;
    EXPECT_EQ(std::regex_replace(table.lines().at(0), std::regex(" {2,}"), " +"), header_line);
    for (size_t r = 0; r < rows.size(); ++r) {
        ASSERT_EQ(records[r + 1].size(), header.size()) << "row " << r;
        for (size_t c = 0; c < header.size(); ++c)
            EXPECT_EQ(records[r + 1][c], rows[r][header[c]]) << "row " << r << " " << header[c];
    }
}

// Each action through one host's name server, checked in what the other host lists; the
// cluster ends as it began.
TEST_F(Kxadmin, ZyActionsOnTwoHostsSeenFromTheOtherHost) {
    ASSERT_EQ(run({"connect", "beta"}).status, 0);
    const auto listed = [](const std::string &host, const std::string &fs) {
        const run_result r = run({"ls", host + "/File Systems", "--json"});
        EXPECT_EQ(r.status, 0) << r.err;
        std::string text;
        for (const auto &row : nlohmann::json::parse(r.out.empty() ? "[]" : r.out))
            if (row["Name"] == fs)
                text += (text.empty() ? "" : " ") + row["Host"].get<std::string>() + ":" +
                        row["State"].get<std::string>();
        return text;
    };
    const struct {
        std::vector<std::string> args;
        std::string seen_from;
        std::string snfs1;
    } steps[] = {
        {{"stop", "localhost", "snfs1", "--on", "beta"}, "beta", "127.0.0.1:Active"},
        {{"start", "beta", "snfs1"}, "localhost", "127.0.0.1:Active 127.0.0.2:Standby"},
        {{"stop", "beta", "snfs1", "--wait", "10"}, "localhost", ""},
        {{"start", "localhost", "snfs1"}, "beta", "127.0.0.1:Active"},
        {{"start", "beta", "snfs1", "--wait", "5"},
         "localhost",
         "127.0.0.1:Active 127.0.0.2:Standby"},
        {{"activate", "localhost", "snfs1", "--on", "beta"},
         "beta",
         "127.0.0.1:Standby 127.0.0.2:Active"},
        {{"activate", "beta", "snfs1", "--on", "localhost"},
         "beta",
         "127.0.0.1:Active 127.0.0.2:Standby"},
    };
    for (const auto &step : steps) {
        std::string name;
        for (const std::string &arg : step.args)
            name += arg + " ";
        const auto start = std::chrono::steady_clock::now();
        const run_result r = run(step.args);
        const double took =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        EXPECT_EQ(r.status, 0) << name << r.err;
        EXPECT_LT(took, 3.5) << name << "waits end once the managers are down or seen running";
        EXPECT_EQ(listed(step.seen_from, "snfs1"), step.snfs1) << name;
    }
    EXPECT_EQ(listed("localhost", "archive"), "127.0.0.2:Active") << "never touched";
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

// ---- Failures, against a cluster of this process ----

// alpha answers an activation of snfs1 with "internal use only"; beta wants a shared secret,
// never answers an activation and refuses to start scratch ("not local"); lonely has only a
// standby.
const char *const FAILURE_SCENARIO = R"({"hosts": [
    {"address": "127.0.0.1", "name": "alpha", "control": [{"fs": "snfs1", "activate": 6}]},
    {"address": "127.0.0.2", "name": "beta", "auth_secret": "right-secret-1",
     "name_server_fault": "silent/10", "control": [{"fs": "scratch", "start": 4}]}],
  "filesystems": [
    {"name": "snfs1", "managers": [{"host": "127.0.0.1", "state": "active", "priority": 0},
                                   {"host": "127.0.0.2", "state": "standby", "priority": 1}]},
    {"name": "archive", "managers": [{"host": "127.0.0.2", "state": "active"}]},
    {"name": "lonely", "managers": [{"host": "127.0.0.2", "state": "standby"}]},
    {"name": "scratch", "managers": [{"host": "127.0.0.1", "state": "down"}]}]})";

class KxadminFailures : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        char pattern[] = "/tmp/kxadmin-fail-XXXXXX";
        root_ = mkdtemp(pattern);
        std::filesystem::create_directories(root_ + "/debug");
        // kxadmin_main runs in this process too: its install paths and agent port are ours.
        setenv("KXFSROOT", root_.c_str(), 1);
        setenv("TIMEDWAIT_VALUE", "2", 1);
        install_paths_reset_for_tests();
        service_port_reset_for_tests();
        sim_scenario scenario;
        char text[256] = "";
        ASSERT_EQ(scenario_parse(FAILURE_SCENARIO, &scenario, text, sizeof text), 0) << text;
        ASSERT_EQ(cluster_start(scenario, root_.c_str(), &cluster_, text, sizeof text), 0) << text;
        std::ofstream(root_ + "/config/cfg.kxntadmin")
            << "RecentConn0=beta\r\nRecentConn1=localhost\r\n";
    }
    static void TearDownTestSuite() {
        if (cluster_ != nullptr)
            cluster_stop(cluster_);
        cluster_ = nullptr;
        unsetenv("TIMEDWAIT_VALUE");
        std::error_code ignored;
        std::filesystem::remove_all(root_, ignored);
    }

    // kxadmin_main in this process, with the administrator flag `admin`.
    static run_result run_here(const std::vector<std::string> &args, int admin) {
        VTAObj_RecentResetForTests(); // loaded once per process, as each program run does
        VTAdmin_Init();
        vtadmin_set_admin_for_tests(admin); // kept by the program's own VTAdmin_Init
        std::vector<std::string> words = {"--root", root_};
        words.insert(words.end(), args.begin(), args.end());
        return run_main(words);
    }

    std::string state(const char *fs, const char *host) {
        for (const sim_filesystem &f : cluster_snapshot(cluster_).filesystems)
            for (const sim_manager &m : f.managers)
                if (f.name == fs && m.host == host)
                    return m.state == SIM_ACTIVE    ? "active"
                           : m.state == SIM_STANDBY ? "standby"
                                                    : "down";
        return "";
    }

    static std::string root_;
    static sim_cluster *cluster_;
};

std::string KxadminFailures::root_;
sim_cluster *KxadminFailures::cluster_ = nullptr;

// Every way a control action fails ends with status 1 and one line "kxadmin: <reason>" that
// says why, also where the library itself gave no text.
TEST_F(KxadminFailures, EveryControlFailurePrintsItsReason) {
    const struct {
        std::vector<std::string> args;
        int admin;
        std::string reason;
    } rows[] = {
        {{"failover", "localhost", "lonely"}, 1, "Entry not found."},
        {{"failover", "localhost", "nosuchfs"}, 1, "no file system 'nosuchfs' on 'localhost'"},
        {{"failover", "127.0.0.3", "snfs1"}, 1, "no node '127.0.0.3' in 'Connections'"},
        {{"start", "localhost", "snfs1"}, 1, "FSM is already running"},
        {{"start", "localhost", "nosuchfs"}, 1, "FSM not configured"},
        {{"start", "localhost", "scratch", "--on", "beta"}, 1, "FSM not local"},
        {{"stop", "localhost", "archive", "--on", "alpha"},
         1,
         "FSM not found (incorrect name or not a backchannel IP address)"},
        {{"stop", "localhost", "lonely"},
         1,
         "FSM not found (incorrect name or not a backchannel IP address)"},
        {{"activate", "localhost", "archive"}, 1, "FSM not local"},
        {{"activate", "localhost", "snfs1"}, 1, "Internal use only"},
        {{"start", "localhost", "scratch"}, 0, "Insufficient privileges"},
        {{"start", "localhost", "scratch", "--wait", "1"}, 0, "Permission denied."},
        {{"stop", "localhost", "snfs1"}, 0, "Permission denied"},
        {{"stop", "localhost", "snfs1", "--wait", "5"}, 0, "Permission denied"},
        {{"failover", "localhost", "snfs1"}, 0, "Permission denied."},
        {{"activate", "localhost", "snfs1", "--on", "beta"}, 0, "Insufficient privileges."},
        // Last: beta activates, but never says so.
        {{"activate", "localhost", "snfs1", "--on", "beta"},
         1,
         "[Win32 error 10060]: Connection timed out"},
    };
    for (const auto &row : rows) {
        std::string name;
        for (const std::string &arg : row.args)
            name += arg + " ";
        name += row.admin ? "(admin)" : "(no rights)";
        const auto start = std::chrono::steady_clock::now();
        const run_result r = run_here(row.args, row.admin);
        EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(),
                  4.0)
            << name;
        EXPECT_EQ(r.status, KXADMIN_FAILED) << name;
        EXPECT_EQ(r.out, "") << name;
        EXPECT_EQ(r.err, "kxadmin: " + row.reason + "\n") << name;
    }
    EXPECT_EQ(state("archive", "127.0.0.2"), "active");
    EXPECT_EQ(state("lonely", "127.0.0.2"), "standby");
    EXPECT_EQ(state("scratch", "127.0.0.1"), "down");
}

// A manager whose status query fails ends the listing of "File Systems" with an error; the
// nodes listed before it can still be reached and shown.
TEST_F(KxadminFailures, FailedRefreshOnTheWayStillDescendsThroughTheListedNodes) {
    char text[256] = "";
    ASSERT_EQ(cluster_set_fault(cluster_, "fsm:archive", "error:1:5/2", text, sizeof text), 0)
        << text;
    run_result r = run_here({"ls", "localhost/File Systems/snfs1"}, 1);
    EXPECT_EQ(r.status, KXADMIN_FAILED);
    EXPECT_EQ(r.err, "kxadmin: Error retrieving FSM properties for 'File Systems' (code -1)\n");
    EXPECT_EQ(r.out.rfind("Name ", 0), 0u) << r.out;
    EXPECT_NE(r.out.find("127.0.0.1"), std::string::npos) << r.out;

    r = run_here({"ls", "localhost/File Systems"}, 1);
    EXPECT_EQ(r.status, KXADMIN_FAILED);
    EXPECT_NE(r.out.find("archive"), std::string::npos) << "listed before its query failed";
    EXPECT_EQ(r.out.find("lonely"), std::string::npos) << "never listed";

    r = run_here({"ls", "localhost/File Systems/lonely"}, 1);
    EXPECT_EQ(r.status, KXADMIN_FAILED);
    EXPECT_NE(r.err.find("kxadmin: no node 'lonely' in 'File Systems'\n"), std::string::npos)
        << r.err;
    ASSERT_EQ(cluster_set_fault(cluster_, "fsm:archive", "none", text, sizeof text), 0) << text;
}

// A wrong shared secret: the program's own message on the terminal, the exchange's report in
// kxadmin.log, nothing from before the log was set up.
TEST_F(KxadminFailures, LibraryDiagnosticsGoToTheLogNotTheTerminal) {
    const std::string secret = root_ + "/config/.auth_secret";
    const std::string right = slurp(secret);
    ASSERT_NE(right, "") << "written by the simulator for beta";
    std::ofstream(secret) << "wrong-secret-2\n";
    const run_result r = run_program(root_, {"ls", "beta/File Systems"}, "TIMEDWAIT_VALUE=2");
    std::ofstream(secret) << right;
    EXPECT_EQ(r.status, KXADMIN_FAILED);
    EXPECT_EQ(r.err.find("syslog"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.rfind("kxadmin: ", 0), 0u) << r.err;
    EXPECT_NE(r.err.find("Authentication Failed"), std::string::npos) << r.err;
    EXPECT_NE(slurp(root_ + "/debug/kxadmin.log").find("client_authenticate: "), std::string::npos);
}

// ---- The command line (nothing is contacted) ----

// The option words of a help text: the first word of each entry under "Options:".
std::set<std::string> help_options(const std::string &help) {
    std::istringstream in(help.substr(help.find("\nOptions:\n") + 10));
    std::set<std::string> options;
    for (std::string line; std::getline(in, line) && !line.empty();)
        if (line.size() > 2 && line[2] != ' ')
            options.insert(line.substr(2, line.find_first_of(" ,", 2) - 2));
    return options;
}

// Blanks and line ends folded to one blank: a wrapped usage compares as one line.
std::string folded(const std::string &text) {
    return std::regex_replace(text, std::regex("\\s+"), " ");
}

// Every command's help, the same through `help COMMAND` and `COMMAND --help`: its usage and
// exactly the options the command takes.
TEST(KxadminCommandLine, EveryCommandHasItsHelp) {
    const struct {
        std::vector<std::string> command;
        std::string usage;
        std::set<std::string> options;
    } rows[] = {
        {{"ls"}, "ls [PATH] [--json] [--csv]", {"--json", "--csv", "-h"}},
        {{"tree"}, "tree [PATH] [--depth N] [--json]", {"--depth", "--json", "-h"}},
        {{"connections"}, "connections [--json]", {"--json", "-h"}},
        {{"connect"}, "connect HOST", {"-h"}},
        {{"disconnect"}, "disconnect HOST", {"-h"}},
        {{"start"}, "start HOST FSNAME [--on H] [--wait S]", {"--on", "--wait", "-h"}},
        {{"stop"}, "stop HOST FSNAME [--on H] [--wait S]", {"--on", "--wait", "-h"}},
        {{"failover"}, "failover HOST FSNAME", {"-h"}},
        {{"activate"}, "activate HOST FSNAME [--on H]", {"--on", "-h"}},
        {{"debug"},
         "debug HOST FSNAME [--set FLAG]... [--clear FLAG]... [--json]",
         {"--set", "--clear", "--json", "-h"}},
        {{"quota", "set"},
         "quota set HOST FSNAME user|group|data|files NAME|PATH [--hard SIZE] [--soft SIZE] "
         "[--grace MINUTES]",
         {"--hard", "--soft", "--grace", "-h"}},
        {{"quota", "delete"}, "quota delete HOST FSNAME user|group|data|files NAME|PATH", {"-h"}},
        {{"quota"},
         "quota set HOST FSNAME user|group|data|files NAME|PATH [--hard SIZE] [--soft SIZE] "
         "[--grace MINUTES] kxadmin [--root DIR] quota delete HOST FSNAME user|group|data|files "
         "NAME|PATH",
         {"--hard", "--soft", "--grace", "-h"}},
        {{"help"}, "help [COMMAND]", {"-h"}},
    };
    for (const auto &row : rows) {
        const std::string name = ::testing::PrintToString(row.command);
        std::vector<std::string> args = {"help"};
        args.insert(args.end(), row.command.begin(), row.command.end());
        const run_result help = run_main(args);
        args = row.command;
        args.push_back("--help");
        const run_result flag = run_main(args);
        EXPECT_EQ(help.status, 0) << name;
        EXPECT_EQ(help.err, "") << name;
        EXPECT_EQ(flag.out, help.out) << name;
        EXPECT_EQ(folded(help.out.substr(0, help.out.find("\n\n"))),
                  "Usage: kxadmin [--root DIR] " + row.usage)
            << name;
        EXPECT_EQ(help_options(help.out), row.options) << name;
    }
    const run_result help = run_main({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(
        help_options(help.out),
        (std::set<std::string>{"--root", "--json", "--csv", "--depth", "--on", "--wait", "--set",
                               "--clear", "--hard", "--soft", "--grace", "-h", "--version"}));
    EXPECT_EQ(run_main({}).err, help.out) << "no command: the help, as an error";
    EXPECT_EQ(run_main({}).status, 2);
}

// A bad command line ends with status 2 and one line that says why; nothing runs.
TEST(KxadminCommandLine, UsageErrorsNameTheirReason) {
    const struct {
        std::vector<std::string> args;
        std::string reason;
    } rows[] = {
        {{"--bogus"}, "unknown option --bogus (see kxadmin --help)"},
        {{"frobnicate"}, "unknown command 'frobnicate' (see kxadmin --help)"},
        {{"--json", "ls"}, "--json belongs after 'ls' (see kxadmin help ls)"},
        {{"--root"}, "option --root needs a value (see kxadmin --help)"},
        {{"ls", "a", "b"}, "too many arguments for 'ls': b (see kxadmin help ls)"},
        {{"ls", "--json", "--csv"},
         "--json and --csv cannot be given together (see kxadmin help ls)"},
        {{"ls", "x", "--csv", "--json"},
         "--json and --csv cannot be given together (see kxadmin help ls)"},
        {{"ls", "--bogus=1"}, "unknown option --bogus=1 (see kxadmin help ls)"},
        {{"tree", "--depth", "x"}, "bad number for --depth: x (see kxadmin help tree)"},
        {{"connections", "--on", "x"},
         "'connections' has no option --on (see kxadmin help connections)"},
        {{"connect"}, "missing HOST for 'connect' (see kxadmin help connect)"},
        {{"disconnect", "a", "b"},
         "too many arguments for 'disconnect': b (see kxadmin help disconnect)"},
        {{"start", "h", "fs", "--depth", "1"},
         "'start' has no option --depth (see kxadmin help start)"},
        {{"stop", "h", "fs", "--wait", "-1"}, "bad number for --wait: -1 (see kxadmin help stop)"},
        {{"failover", "h", "fs", "--on", "x"},
         "'failover' has no option --on (see kxadmin help failover)"},
        {{"activate", "h"}, "missing FSNAME for 'activate' (see kxadmin help activate)"},
        {{"debug", "h", "fs", "--set"}, "option --set needs a value (see kxadmin help debug)"},
        {{"quota"}, "'quota' needs set or delete (see kxadmin help quota)"},
        {{"quota", "list", "h"}, "unknown command 'quota list' (see kxadmin help quota)"},
        {{"quota", "set", "h", "fs", "user", "x", "--json"},
         "'quota set' has no option --json (see kxadmin help quota set)"},
        {{"quota", "delete", "h", "fs", "user", "x", "--hard", "1G"},
         "'quota delete' has no option --hard (see kxadmin help quota delete)"},
        {{"quota", "delete", "h", "fs", "user"},
         "missing NAME|PATH for 'quota delete' (see kxadmin help quota delete)"},
        {{"help", "quota", "list"}, "unknown command 'quota list' (see kxadmin --help)"},
    };
    for (const auto &row : rows) {
        const std::string name = ::testing::PrintToString(row.args);
        const run_result r = run_main(row.args);
        EXPECT_EQ(r.status, KXADMIN_USAGE) << name;
        EXPECT_EQ(r.out, "") << name;
        EXPECT_EQ(r.err, "kxadmin: " + row.reason + "\n") << name;
    }
}

// --version wins wherever it stands; --root may be given twice (the last counts).
TEST(KxadminCommandLine, VersionAnywhere) {
    const char *const root = getenv("KXFSROOT");
    const std::string saved = root != nullptr ? root : "";
    for (const auto &args : {std::vector<std::string>{"--version"},
                             {"ls", "--version"},
                             {"--root", "/a", "ls", "--root", "/b", "--version"}}) {
        const run_result r = run_main(args);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, "kxadmin " KX_PROGRAM_VERSION "\n");
    }
    if (root != nullptr)
        setenv("KXFSROOT", saved.c_str(), 1);
    else
        unsetenv("KXFSROOT");
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
