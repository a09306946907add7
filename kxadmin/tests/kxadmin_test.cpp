// The kxadmin program run as a child process against a simulator child process, both on a
// private install root; plus its command line, path syntax and table layout.

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
#include <map>
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
    nlohmann::json json() const { return nlohmann::json::parse(out); }
};

// The words of a command line, for failure messages.
std::string joined(const std::vector<std::string> &words) {
    std::string text;
    for (const std::string &word : words)
        text += (text.empty() ? "" : " ") + word;
    return text;
}

// The blank-separated words of `text`.
std::vector<std::string> words(const std::string &text) {
    std::istringstream in(text);
    std::vector<std::string> result;
    for (std::string word; in >> word;)
        result.push_back(word);
    return result;
}

// The "Column=text" pairs of `row` for the columns that `expected` names, in its form:
// "Limit Hard=10G; Limit Soft=900M".
std::string columns(const nlohmann::json &row, const std::string &expected) {
    std::string text;
    for (size_t at = 0; at < expected.size();) {
        const size_t end = std::min(expected.find("; ", at), expected.size());
        const std::string column = expected.substr(at, expected.find('=', at) - at);
        text += (text.empty() ? "" : "; ") + column + "=" +
                (row.contains(column) ? row[column].get<std::string>() : "?");
        at = end + 2;
    }
    return text;
}

std::vector<std::string> concat(std::vector<std::string> a, const std::vector<std::string> &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// The JSON row whose `key` is `value` (and whose "Type" is `type`, when given); null when
// there is none.
nlohmann::json row_of(const nlohmann::json &rows, const char *key, const std::string &value,
                      const std::string &type = "") {
    for (const auto &row : rows)
        if (row[key] == value && (type.empty() || row["Type"] == type))
            return row;
    return nullptr;
}

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
    std::vector<std::string> words = concat({"kxadmin"}, args);
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
        ok({"connect", "localhost"});
    }

    static run_result run(const std::vector<std::string> &args) { return run_program(root_, args); }
    // Runs `args`, which must succeed.
    static run_result ok(const std::vector<std::string> &args) {
        run_result r = run(args);
        EXPECT_EQ(r.status, 0) << joined(args) << ": " << r.err;
        return r;
    }
    // The output of `args --json`, which must succeed.
    static nlohmann::json json(const std::vector<std::string> &args) {
        return ok(concat(args, {"--json"})).json();
    }

    static std::string root_;
    static pid_t sim_pid_;
};

std::string Kxadmin::root_;
pid_t Kxadmin::sim_pid_ = 0;

TEST_F(Kxadmin, ListsFileSystemsAlignedWithStatus) {
    const std::vector<std::string> lines = ok({"ls", "localhost/File Systems"}).lines();
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[0].rfind("Name ", 0), 0u) << lines[0];
    const size_t host_column = lines[0].find("Host");
    bool active_snfs1 = false;
    for (size_t i = 1; i < lines.size(); ++i) {
        EXPECT_EQ(lines[i].find("127.0.0."), host_column) << lines[i];
        active_snfs1 = active_snfs1 || (lines[i].rfind("snfs1 ", 0) == 0 &&
                                        lines[i].find("Active") != std::string::npos);
    }
    EXPECT_TRUE(active_snfs1);
}

TEST_F(Kxadmin, TreeShowsFoldersIndentedAndNamesakesNumbered) {
    EXPECT_EQ(
        ok({"tree", "--depth", "2"}).lines(),
        (std::vector<std::string>{"Connections", "  localhost", "    Disks", "    File Systems"}));
    const std::string out = ok({"tree", "localhost/File Systems", "--depth", "1"}).out;
    EXPECT_NE(out.find("\n  snfs1\n"), std::string::npos) << out;
    EXPECT_NE(out.find("\n  snfs1#2\n"), std::string::npos) << out;
    EXPECT_NE(ok({"ls", "localhost/File Systems/snfs1#2"}).out.find("Standby"), std::string::npos);
}

TEST_F(Kxadmin, JsonRowsAreKeyedByTheHeader) {
    const nlohmann::json rows = json({"ls", "localhost/File Systems/snfs1/Clients"});
    ASSERT_TRUE(rows.is_array() && !rows.empty()) << rows;
    for (const auto &row : rows) {
        EXPECT_EQ(row.size(), 2u) << row.dump();
        EXPECT_TRUE(row.contains("Host") && row.contains("Type")) << row.dump();
    }
    EXPECT_EQ(rows[0]["Type"], "File System Manager (FSM)");
    const nlohmann::json tree = json({"tree", "localhost", "--depth", "1"});
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
    const nlohmann::json rows = json({"ls", "localhost/Disks/alpha_disk35"});
    EXPECT_EQ(row_of(rows, "Name", "State")["Value"], "Deferred Close");
}

TEST_F(Kxadmin, ConnectionsAreTheConsolesRecentList) {
    ok({"connect", "beta"});
    EXPECT_EQ(ok({"connections"}).out, "beta\nlocalhost\n");
    const std::string file = slurp(root_ + "/config/cfg.kxntadmin");
    EXPECT_NE(file.find("RecentConn0=beta"), std::string::npos) << file;
    EXPECT_NE(file.find("RecentConn1=localhost"), std::string::npos) << file;
    ok({"disconnect", "beta"});
    EXPECT_EQ(ok({"connections", "--json"}).out, "[\n  \"localhost\"\n]\n");
}

// A host text the file cannot hold is refused before anything is written: the saved list
// stays whole.
TEST_F(Kxadmin, ConnectRefusesHostsTheFileCannotHold) {
    ok({"connect", "beta"});
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
    ASSERT_EQ(system((command + "wait").c_str()), 0);
    const std::vector<std::string> lines = ok({"connections"}).lines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "beta"), kPrograms);
}

// A damaged recent-connections file is reported once and kept aside; the commands go on.
TEST_F(Kxadmin, DamagedRecentConnectionsFileIsReportedOnceAndKeptAside) {
    const std::string file = root_ + "/config/cfg.kxntadmin";
    const std::string damaged("RecentConn0=x\0", 14);
    std::ofstream(file, std::ios::binary | std::ios::trunc) << damaged;
    const run_result r = ok({"connections"});
    EXPECT_NE(r.err.find("could not be read (Invalid character in file.); it was kept as " + file +
                         ".damaged"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(ok({"connect", "beta"}).err, "");
    EXPECT_EQ(ok({"connections"}).out, "beta\n");
    EXPECT_EQ(slurp(file + ".damaged"), damaged);
    std::filesystem::remove(file + ".damaged");
}

// Browsing needs no write access to the configuration directory.
TEST_F(Kxadmin, ReadOnlyConfigurationDirectoryStillBrowses) {
    const std::string config = root_ + "/config";
    using std::filesystem::perms, std::filesystem::permissions;
    permissions(root_, perms(0755));
    std::filesystem::create_directories(root_ + "/debug");
    permissions(root_ + "/debug", perms(0777));
    permissions(config, perms(0555));
    permissions(config + "/cfg.kxntadmin", perms(0444));
    const std::string reader =
        std::string("TIMEDWAIT_VALUE=5") +
        (geteuid() == 0 ? " setpriv --reuid=65534 --regid=65534 --clear-groups" : "");
    const run_result r = run_program(root_, {"ls", "localhost/File Systems"}, reader);
    const run_result save = run_program(root_, {"connect", "beta"}, reader);
    permissions(config, perms(0755));
    permissions(config + "/cfg.kxntadmin", perms(0644));
    permissions(root_, perms(0700));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("snfs1"), std::string::npos) << r.out;
    EXPECT_EQ(save.status, 1) << "saving needs write access";
}

// The program's own exit status and streams: the message on standard error, nothing on
// standard output.
TEST_F(Kxadmin, ErrorsGoToStandardErrorWithNonZeroStatus) {
    const struct {
        std::string args;
        int status;
        std::string err;
    } rows[] = {
        {"ls localhost/Nowhere", 1, "kxadmin: no node 'Nowhere' in 'localhost'\n"},
        {"stop localhost nosuchfs", 1, "kxadmin: no file system 'nosuchfs' on 'localhost'\n"},
        {"start localhost snfs1", 1, "kxadmin: FSM is already running\n"},
        {"frobnicate", 2, "kxadmin: unknown command 'frobnicate' (see kxadmin --help)\n"},
        {"ls a b", 2, "kxadmin: too many arguments for 'ls': b (see kxadmin help ls)\n"},
        {"tree --depth x", 2, "kxadmin: bad number for --depth: x (see kxadmin help tree)\n"},
    };
    for (const auto &row : rows) {
        const run_result r = run(words(row.args));
        EXPECT_EQ(r.status, row.status) << row.args;
        EXPECT_EQ(r.out, "") << row.args;
        EXPECT_EQ(r.err, row.err) << row.args;
    }
    EXPECT_NE(ok({"--help"}).out.find("#2"), std::string::npos);
}

// ---- Debug flags ----

// The word that `debug --json` / `ls --json` rows of a Debug folder show; every one of the 32
// rows must be there, each with a true/false "Set".
uint32_t shown_word(const nlohmann::json &rows) {
    EXPECT_EQ(rows.size(), 32u) << rows;
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
        const std::string name = joined(step.changes);
        EXPECT_EQ(shown_word(json(concat({"debug", "localhost", "snfs1"}, step.changes))),
                  step.word)
            << name;
        // A new process reads the word back from the FSM.
        EXPECT_EQ(shown_word(json({"ls", "localhost/File Systems/snfs1/Debug"})), step.word)
            << name;
    }
}

TEST_F(Kxadmin, DebugFolderShowsCheckBoxesInTheSetColumn) {
    ok({"debug", "localhost", "snfs1", "--set", "none", "--set", "sockets"});
    const std::vector<std::string> lines = ok({"ls", "localhost/File Systems/snfs1/Debug"}).lines();
    ASSERT_EQ(lines.size(), 33u);
    EXPECT_EQ(lines[0], "Set  Debug Name");
    EXPECT_EQ(lines[1], "[ ]  Administrative Tap Management");
    EXPECT_NE(std::find(lines.begin(), lines.end(), "[x]  Sockets"), lines.end());
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [](const std::string &l) { return l.rfind("[x]", 0) == 0; }),
              1);
    const std::string csv = ok({"ls", "localhost/File Systems/snfs1/Debug", "--csv"}).out;
    EXPECT_EQ(csv.rfind("Set,Debug Name\r\nfalse,Administrative Tap Management\r\n", 0), 0u) << csv;
    EXPECT_NE(csv.find("\r\ntrue,Sockets\r\n"), std::string::npos) << csv;
}

TEST_F(Kxadmin, UnknownDebugFlagIsAUsageErrorNamingTheKeywords) {
    const std::string before = run({"ls", "localhost/File Systems/snfs1/Debug"}).out;
    for (const char *flag : {"verbose", "0x100000000", "-1", "0x", "gen"}) {
        const run_result r =
            run({"debug", "localhost", "snfs1", "--set", "quotas", "--clear", flag});
        EXPECT_EQ(r.status, 2) << flag;
        EXPECT_EQ(r.out, "") << flag;
        for (const std::string &part : {"unknown debug flag '" + std::string(flag) + "'",
                                        std::string("general, sockets"), std::string("all, none")})
            EXPECT_NE(r.err.find(part), std::string::npos) << flag << ": " << r.err;
    }
    EXPECT_EQ(run({"ls", "localhost/File Systems/snfs1/Debug"}).out, before) << "nothing saved";
    EXPECT_EQ(run({"debug", "localhost", "snfs1", "--set"}).status, 2);
}

// ---- Quotas ----

const char *const kUsersAndGroups = "localhost/File Systems/snfs1/Quotas/Users & Groups";
const char *const kDirectories = "localhost/File Systems/snfs1/Quotas/Directories";

TEST_F(Kxadmin, QuotaFoldersListTheirRowsWithRightAlignedFigures) {
    EXPECT_EQ(
        ok({"ls", "localhost/File Systems/snfs1/Quotas"}).lines(),
        (std::vector<std::string>{"Name            Description", "Directories     Directory Quotas",
                                  "Users & Groups  User & Group Quotas"}));
    const std::vector<std::string> lines = ok({"ls", kUsersAndGroups}).lines();
    ASSERT_GE(lines.size(), 9u);
    // Right-aligned columns end where their header ends.
    for (const char *column : {"Limit Hard", "Limit Soft", "Used"}) {
        const size_t end = lines[0].find(column) + strlen(column);
        for (size_t i = 1; i < lines.size(); ++i)
            EXPECT_NE(lines[i][end - 1], ' ') << column << ": " << lines[i];
    }
    EXPECT_EQ(lines[1].rfind("alice  User           1G        900M   100M", 0), 0u) << lines[1];

    const nlohmann::json rows = json({"ls", kUsersAndGroups});
    EXPECT_EQ(row_of(rows, "Name", "dave", "User")["Message"], "!! HARD LIMIT EXCEEDED !!");
    EXPECT_EQ(row_of(rows, "Name", "carol", "User")["Message"], "!! Soft limit expired !!");
    EXPECT_EQ(row_of(rows, "Name", "erin", "User")["Limit Hard"], "Unlimited");
    EXPECT_FALSE(row_of(rows, "Name", "devel", "User").is_null());
    EXPECT_FALSE(row_of(rows, "Name", "devel", "Group").is_null());
    EXPECT_TRUE(row_of(rows, "Name", "ghost", "User").is_null()) << "no limits and no usage";

    EXPECT_EQ(ok({"ls", "localhost/File Systems/archive/Quotas/Users & Groups"}).out,
              "Message\nQuotas are not enabled.\n");
    const std::string header = ok({"ls", kDirectories}).lines().at(0);
    EXPECT_EQ(header.rfind("Name ", 0), 0u) << header;
    EXPECT_NE(header.find("  Time Remaining  Path  "), std::string::npos) << header;
    EXPECT_EQ(header.substr(header.size() - 9), "  Message") << header;
    const nlohmann::json dirs = json({"ls", kDirectories});
    const nlohmann::json data = row_of(dirs, "Path", "/projects", "Data");
    const nlohmann::json files = row_of(dirs, "Path", "/projects", "Files");
    ASSERT_FALSE(data.is_null() || files.is_null()) << dirs;
    EXPECT_EQ(data["Name"], files["Name"]) << "one directory, two quotas";
    EXPECT_EQ(data["Name"].get<std::string>().rfind("D:", 0), 0u);
    EXPECT_EQ(row_of(dirs, "Path", "/render", "Files")["Message"], "!! HARD LIMIT EXCEEDED !!");
}

// Each step's command (after "quota HOST FSNAME"; none: only the check) and what it prints,
// then the columns of one row of the list it changed (none: the row is gone).
TEST_F(Kxadmin, QuotaSetChangeAndDelete) {
    const std::string tmp = std::filesystem::canonical(root_ + "/mnt/snfs1/tmp").string();
    ASSERT_FALSE(std::filesystem::exists("/projects"));
    const struct {
        std::string command;
        std::string printed; // the output; an error when it starts with "kxadmin: "
        std::string row;     // Type and Name or Path
        std::string columns;
    } steps[] = {
        {"set user harry --hard 10G --soft 900M --grace 90", "quota set user harry: done\n",
         "User harry", "Limit Hard=10G; Limit Soft=900M; Grace Period=   0d- 1h-30m"},
        // Options left out keep the quota's values.
        {"set user harry --hard 20G", "quota set user harry: done\n", "User harry",
         "Limit Hard=20G; Limit Soft=900M; Grace Period=   0d- 1h-30m"},
        {"delete user harry", "quota delete user harry: done\n", "User harry", ""},
        {"delete user harry", "kxadmin: no user quota 'harry' on 'snfs1'\n", "User harry", ""},
        // PATH relative to the mount point, or absolute.
        {"set data tmp --hard 10G --soft 5G --grace 90", "quota set data tmp: done\n", "Data /tmp",
         "Limit Hard=10G; Grace Period=   0d- 1h-30m"},
        {"set files " + tmp + " --hard 100 --soft 50 --grace 60",
         "quota set files " + tmp + ": done\n", "Files /tmp", "Limit Hard=100; Limit Soft=50"},
        // Another spelling of the same directory changes the same quota; left-out values stay.
        {"set data " + tmp + "/ --hard 20G", "quota set data " + tmp + "/: done\n", "Data /tmp",
         "Limit Hard=20G; Limit Soft=5G; Grace Period=   0d- 1h-30m"},
        // The path as the list shows it (relative to the mount point, with a leading "/")
        // when no such directory exists on this machine.
        {"set data /projects --soft 800M", "quota set data /projects: done\n", "Data /projects",
         "Limit Soft=800M"},
        {"set data /projects --soft 900M", "quota set data /projects: done\n", "Data /projects",
         "Limit Soft=900M"},
        // Deleting one kind leaves the other; the last one goes with its name space.
        {"delete data tmp", "quota delete data tmp: done\n", "Data /tmp", ""},
        {"", "", "Files /tmp", "Limit Hard=100"},
        {"delete files tmp", "quota delete files tmp: done\n", "Files /tmp", ""},
        {"delete files tmp", "kxadmin: no files quota for 'tmp' on 'snfs1'\n", "Files /tmp", ""},
    };
    for (const auto &step : steps) {
        if (!step.command.empty()) {
            std::vector<std::string> args = words(step.command);
            args.insert(args.begin() + 1, {"localhost", "snfs1"});
            const run_result r = run(concat({"quota"}, args));
            const bool fails = step.printed.rfind("kxadmin: ", 0) == 0;
            EXPECT_EQ(r.status, fails ? 1 : 0) << step.command << ": " << r.err;
            EXPECT_EQ(fails ? r.err : r.out, step.printed) << step.command;
        }
        const std::string type = step.row.substr(0, step.row.find(' '));
        const bool user = type == "User";
        const nlohmann::json row =
            row_of(json({"ls", user ? kUsersAndGroups : kDirectories}), user ? "Name" : "Path",
                   step.row.substr(type.size() + 1), type);
        if (step.columns.empty())
            EXPECT_TRUE(row.is_null()) << step.command << ": " << row;
        else
            EXPECT_EQ(columns(row, step.columns), step.columns) << step.command;
    }
}

// Refused settings change nothing.
TEST_F(Kxadmin, QuotaSetRefusesWhatCannotBeSet) {
    const std::string mnt = std::filesystem::canonical(root_ + "/mnt").string();
    const std::vector<std::string> limits = {"--hard", "1G", "--soft", "1G", "--grace", "5"};
    const struct {
        std::vector<std::string> args; // after "quota set localhost"
        int status;
        std::string err;
    } rows[] = {
        {concat({"snfs1", "user", "nosuch"}, limits), 1,
         "FSM returned 'Not Found'. Verify user 'nosuch' exists"},
        {concat({"snfs1", "group", "nosuch"}, limits), 1,
         "FSM returned 'Not Found'. Verify group 'nosuch' exists"},
        {words("snfs1 user alice --hard 1G --soft 2G"), 1,
         "Quota hard limit is smaller than the soft limit, HL = 1073741824, SL = 2147483648."},
        {words("snfs1 user irene --hard 1G"), 1,
         "Quota hard and soft limits must both be either zero or non-zero, HL = 1073741824, "
         "SL = 0."},
        {words("snfs1 user irene --hard 1G --soft 1G"), 1,
         "Quota time limit must be non-zero if the soft limit is non-zero, SL = 1073741824, "
         "TL = 0."},
        {{"snfs1", "user", "irene", "--hard", "12x"}, 1, "Hard Limit is not a valid number"},
        {{"snfs1", "user", "irene", "--soft", "-5"}, 1, "Soft Limit is not a valid number"},
        {{"snfs1", "user", "irene", "--grace", "4294967296"}, 1, "Time value is too large"},
        {{"snfs1", "user", ""}, 1, "Please enter a User Name"},
        {{"snfs1", "group", std::string(256, 'n')}, 1, "Group Name is too long"},
        {concat({"archive", "user", "alice"}, limits), 1, "Quotas are not enabled."},
        {{"nosuchfs", "user", "alice"}, 1, "no active file system 'nosuchfs' on 'localhost'"},
        {words("snfs1 owner alice"), 2,
         "usage: quota set|delete HOST FSNAME user|group|data|files NAME|PATH (see kxadmin "
         "--help)"},
        {{"snfs1", "data", ""}, 1, "Please specify a directory"},
        {{"snfs1", "data", std::string(512, 'd')}, 1, "Directory path is too long"},
        {{"snfs1", "files", "tmp", "--hard", "ten"}, 1, "Hard Limit is not a valid number"},
        {words("snfs1 data tmp --hard 1G"), 1,
         "Quota hard and soft limits must both be either zero or non-zero, HL = 1073741824, "
         "SL = 0."},
        {concat({"snfs1", "data", "missing"}, limits), 1,
         "Error opening directory '" + mnt + "/snfs1/missing': No such file or directory"},
        {concat({"snfs1", "data", mnt + "/scratch"}, limits), 1,
         "Directory '" + mnt + "/scratch' is not in file system 'snfs1' (it's in 'scratch')"},
        {concat({"archive", "data", "x"}, limits), 1, "Quotas are not enabled."},
    };
    for (const auto &row : rows) {
        const run_result r = run(concat({"quota", "set", "localhost"}, row.args));
        EXPECT_EQ(r.status, row.status) << row.err;
        EXPECT_EQ(r.err, "kxadmin: " + row.err + "\n");
        EXPECT_EQ(r.out, "") << row.err;
    }
    const nlohmann::json users = json({"ls", kUsersAndGroups});
    EXPECT_EQ(row_of(users, "Name", "alice", "User")["Limit Hard"], "1G");
    EXPECT_TRUE(row_of(users, "Name", "irene", "User").is_null());
    const nlohmann::json dirs = json({"ls", kDirectories});
    EXPECT_TRUE(row_of(dirs, "Path", "/tmp", "Data").is_null());
    EXPECT_EQ(dirs.size(), 4u);
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
    ok({"quota", "set", "localhost", "snfs1", "data", name, "--hard", "1G", "--soft", "1G",
        "--grace", "5"});
    const std::string csv = ok({"ls", kDirectories, "--csv"}).out;
    const nlohmann::json rows = json({"ls", kDirectories});
    const std::string table_header = ok({"ls", kDirectories}).lines().at(0);
    ok({"quota", "delete", "localhost", "snfs1", "data", name});
    EXPECT_NE(csv.find(",\"/q,\"\"x\"\"\ny\","), std::string::npos) << csv;

    std::vector<std::vector<std::string>> records;
    ASSERT_TRUE(read_csv(csv, &records)) << csv;
    ASSERT_EQ(records.size(), rows.size() + 1) << csv;
    const std::vector<std::string> &header = records[0];
    std::string header_line;
    for (const std::string &text : header)
        header_line += (header_line.empty() ? "" : " +") + text;
    EXPECT_EQ(std::regex_replace(table_header, std::regex(" {2,}"), " +"), header_line);
    for (size_t r = 0; r < rows.size(); ++r) {
        ASSERT_EQ(records[r + 1].size(), header.size()) << "row " << r;
        for (size_t c = 0; c < header.size(); ++c)
            EXPECT_EQ(records[r + 1][c], rows[r][header[c]]) << "row " << r << " " << header[c];
    }
}

// Each action through one host's name server, checked in what the other host lists; the
// cluster ends as it began.
TEST_F(Kxadmin, ZyActionsOnTwoHostsSeenFromTheOtherHost) {
    ok({"connect", "beta"});
    const auto listed = [](const std::string &host, const std::string &fs) {
        std::string text;
        for (const auto &row : json({"ls", host + "/File Systems"}))
            if (row["Name"] == fs)
                text += (text.empty() ? "" : " ") + row["Host"].get<std::string>() + ":" +
                        row["State"].get<std::string>();
        return text;
    };
    const struct {
        std::string args;
        std::string seen_from;
        std::string snfs1;
    } steps[] = {
        {"stop localhost snfs1 --on beta", "beta", "127.0.0.1:Active"},
        {"start beta snfs1", "localhost", "127.0.0.1:Active 127.0.0.2:Standby"},
        {"stop beta snfs1 --wait 10", "localhost", ""},
        {"start localhost snfs1", "beta", "127.0.0.1:Active"},
        {"start beta snfs1 --wait 5", "localhost", "127.0.0.1:Active 127.0.0.2:Standby"},
        {"activate localhost snfs1 --on beta", "beta", "127.0.0.1:Standby 127.0.0.2:Active"},
        {"activate beta snfs1 --on localhost", "beta", "127.0.0.1:Active 127.0.0.2:Standby"},
    };
    for (const auto &step : steps) {
        const std::string &name = step.args;
        const auto start = std::chrono::steady_clock::now();
        ok(words(step.args));
        const double took =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        EXPECT_LT(took, 3.5) << name << ": waits end once the managers are down or seen running";
        EXPECT_EQ(listed(step.seen_from, "snfs1"), step.snfs1) << name;
    }
    EXPECT_EQ(listed("localhost", "archive"), "127.0.0.2:Active") << "never touched";
}

// Changes the cluster; the last test of the suite.
TEST_F(Kxadmin, ZzFailoverLeavesTheStandbyActive) {
    ok({"failover", "localhost", "snfs1"});
    int snfs1 = 0;
    for (const auto &row : json({"ls", "localhost/File Systems"}))
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
        return run_main(concat({"--root", root_}, args));
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
        std::string args;
        int admin;
        std::string reason;
    } rows[] = {
        {"failover localhost lonely", 1, "Entry not found."},
        {"failover localhost nosuchfs", 1, "no file system 'nosuchfs' on 'localhost'"},
        {"failover 127.0.0.3 snfs1", 1, "no node '127.0.0.3' in 'Connections'"},
        {"start localhost snfs1", 1, "FSM is already running"},
        {"start localhost nosuchfs", 1, "FSM not configured"},
        {"start localhost scratch --on beta", 1, "FSM not local"},
        {"stop localhost archive --on alpha", 1,
         "FSM not found (incorrect name or not a backchannel IP address)"},
        {"stop localhost lonely", 1,
         "FSM not found (incorrect name or not a backchannel IP address)"},
        {"activate localhost archive", 1, "FSM not local"},
        {"activate localhost snfs1", 1, "Internal use only"},
        {"start localhost scratch", 0, "Insufficient privileges"},
        {"start localhost scratch --wait 1", 0, "Permission denied."},
        {"stop localhost snfs1", 0, "Permission denied"},
        {"stop localhost snfs1 --wait 5", 0, "Permission denied"},
        {"failover localhost snfs1", 0, "Permission denied."},
        {"activate localhost snfs1 --on beta", 0, "Insufficient privileges."},
        // Last: beta activates, but never says so.
        {"activate localhost snfs1 --on beta", 1, "[Win32 error 10060]: Connection timed out"},
    };
    for (const auto &row : rows) {
        const std::string name = row.args + (row.admin ? " (admin)" : " (no rights)");
        const auto start = std::chrono::steady_clock::now();
        const run_result r = run_here(words(row.args), row.admin);
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
        std::string command;
        std::string usage;
        std::string options;
    } rows[] = {
        {"ls", "ls [PATH] [--json] [--csv]", "--json --csv -h"},
        {"tree", "tree [PATH] [--depth N] [--json]", "--depth --json -h"},
        {"connections", "connections [--json]", "--json -h"},
        {"connect", "connect HOST", "-h"},
        {"disconnect", "disconnect HOST", "-h"},
        {"start", "start HOST FSNAME [--on H] [--wait S]", "--on --wait -h"},
        {"stop", "stop HOST FSNAME [--on H] [--wait S]", "--on --wait -h"},
        {"failover", "failover HOST FSNAME", "-h"},
        {"activate", "activate HOST FSNAME [--on H]", "--on -h"},
        {"debug", "debug HOST FSNAME [--set FLAG]... [--clear FLAG]... [--json]",
         "--set --clear --json -h"},
        {"quota set",
         "quota set HOST FSNAME user|group|data|files NAME|PATH [--hard SIZE] [--soft SIZE] "
         "[--grace MINUTES]",
         "--hard --soft --grace -h"},
        {"quota delete", "quota delete HOST FSNAME user|group|data|files NAME|PATH", "-h"},
        {"quota",
         "quota set HOST FSNAME user|group|data|files NAME|PATH [--hard SIZE] [--soft SIZE] "
         "[--grace MINUTES] kxadmin [--root DIR] quota delete HOST FSNAME user|group|data|files "
         "NAME|PATH",
         "--hard --soft --grace -h"},
        {"help", "help [COMMAND]", "-h"},
    };
    for (const auto &row : rows) {
        const std::string &name = row.command;
        const run_result help = run_main(concat({"help"}, words(row.command)));
        const run_result flag = run_main(concat(words(row.command), {"--help"}));
        EXPECT_EQ(help.status, 0) << name;
        EXPECT_EQ(help.err, "") << name;
        EXPECT_EQ(flag.out, help.out) << name;
        EXPECT_EQ(folded(help.out.substr(0, help.out.find("\n\n"))),
                  "Usage: kxadmin [--root DIR] " + row.usage)
            << name;
        const std::vector<std::string> options = words(row.options);
        EXPECT_EQ(help_options(help.out), std::set<std::string>(options.begin(), options.end()))
            << name;
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
        std::string args;
        std::string reason;
    } rows[] = {
        {"--bogus", "unknown option --bogus (see kxadmin --help)"},
        {"frobnicate", "unknown command 'frobnicate' (see kxadmin --help)"},
        {"--json ls", "--json belongs after 'ls' (see kxadmin help ls)"},
        {"--root", "option --root needs a value (see kxadmin --help)"},
        {"ls a b", "too many arguments for 'ls': b (see kxadmin help ls)"},
        {"ls --json --csv", "--json and --csv cannot be given together (see kxadmin help ls)"},
        {"ls x --csv --json", "--json and --csv cannot be given together (see kxadmin help ls)"},
        {"ls --bogus=1", "unknown option --bogus=1 (see kxadmin help ls)"},
        {"tree --depth x", "bad number for --depth: x (see kxadmin help tree)"},
        {"connections --on x", "'connections' has no option --on (see kxadmin help connections)"},
        {"connect", "missing HOST for 'connect' (see kxadmin help connect)"},
        {"disconnect a b", "too many arguments for 'disconnect': b (see kxadmin help disconnect)"},
        {"start h fs --depth 1", "'start' has no option --depth (see kxadmin help start)"},
        {"stop h fs --wait -1", "bad number for --wait: -1 (see kxadmin help stop)"},
        {"failover h fs --on x", "'failover' has no option --on (see kxadmin help failover)"},
        {"activate h", "missing FSNAME for 'activate' (see kxadmin help activate)"},
        {"debug h fs --set", "option --set needs a value (see kxadmin help debug)"},
        {"quota", "'quota' needs set or delete (see kxadmin help quota)"},
        {"quota list h", "unknown command 'quota list' (see kxadmin help quota)"},
        {"quota set h fs user x --json",
         "'quota set' has no option --json (see kxadmin help quota set)"},
        {"quota delete h fs user x --hard 1G",
         "'quota delete' has no option --hard (see kxadmin help quota delete)"},
        {"quota delete h fs user",
         "missing NAME|PATH for 'quota delete' (see kxadmin help quota delete)"},
        {"help quota list", "unknown command 'quota list' (see kxadmin --help)"},
    };
    for (const auto &row : rows) {
        const std::string &name = row.args;
        const run_result r = run_main(words(row.args));
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

// How a path part reads, and whether the tree prints the node it names that way.
TEST(KxadminPath, NamesakeSuffixesReadBackAsPrinted) {
    const struct {
        const char *text;
        const char *name;
        int occurrence;
        bool printed; // kxadmin_path_name gives `text` back
    } cases[] = {
        {"fs", "fs", 1, true},
        {"fs#2", "fs", 2, true},
        {"a#b", "a#b", 1, true},
        {"#3x", "#3x", 1, false},
        {"#2", "#2", 1, false},
        {"fs#0", "fs#0", 1, true},
        {"fs#02", "fs#02", 1, false},
        {"fs#", "fs#", 1, false},
        {"fs#1000000", "fs", 1000000, false},
        {"fs#1000001", "fs#1000001", 1, false},
        {"fs#99999999999999999999", "fs#99999999999999999999", 1, false},
        {"a#2#1", "a#2", 1, true},
        {"a#2#3", "a#2", 3, true},
        {"x#-1", "x#-1", 1, false},
    };
    for (const auto &c : cases) {
        const std::vector<kxadmin_path_part> parts = kxadmin_split_path(c.text);
        ASSERT_EQ(parts.size(), 1u) << c.text;
        EXPECT_EQ(parts[0].name, c.name) << c.text;
        EXPECT_EQ(parts[0].occurrence, c.occurrence) << c.text;
        EXPECT_EQ(parts[0].text, c.text) << c.text;
        if (c.printed) {
            EXPECT_EQ(kxadmin_path_name(c.name, c.occurrence), c.text) << c.text;
        }
    }
    const std::vector<kxadmin_path_part> parts =
        kxadmin_split_path("/localhost//File Systems/fs#2/");
    ASSERT_EQ(parts.size(), 3u);
    EXPECT_EQ(parts[1].name, "File Systems");
    EXPECT_TRUE(kxadmin_split_path("/").empty());
}

TEST(KxadminPath, TableHonoursRightAlignment) {
    EXPECT_EQ(kxadmin_format_table({{"Name", "Size"}, {"a", "10"}, {"bbbbbb", "7"}}, {false, true}),
              "Name    Size\na         10\nbbbbbb     7\n");
}

} // namespace
