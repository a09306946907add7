// The kxadmin program run as a child process against a simulator child process, both on a
// private install root; its failures, command line, path syntax and layout in this process.

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

// The blank-separated words of `text`.
std::vector<std::string> words(const std::string &text) {
    std::istringstream in(text);
    std::vector<std::string> result;
    for (std::string word; in >> word;)
        result.push_back(word);
    return result;
}

std::vector<std::string> concat(std::vector<std::string> a, const std::vector<std::string> &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// The JSON row whose `key` is `value` and whose "Type" is `type`; null when there is none.
nlohmann::json row_of(const nlohmann::json &rows, const char *key, const std::string &value,
                      const std::string &type) {
    for (const auto &row : rows)
        if (row[key] == value && row["Type"] == type)
            return row;
    return nullptr;
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
    command += " >" + quote(root + "/out.txt") + " 2>" + quote(root + "/err.txt");
    run_result result;
    const int status = system(command.c_str());
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.out = slurp(root + "/out.txt");
    result.err = slurp(root + "/err.txt");
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
        EXPECT_EQ(r.status, 0) << args.at(0) << ": " << r.err;
        return r;
    }
    // The output of `args --json`, which must succeed.
    static nlohmann::json json(const std::vector<std::string> &args) {
        return nlohmann::json::parse(ok(concat(args, {"--json"})).out);
    }

    static std::string root_;
    static pid_t sim_pid_;
};

std::string Kxadmin::root_;
pid_t Kxadmin::sim_pid_ = 0;

const char *const kUsersAndGroups = "localhost/File Systems/snfs1/Quotas/Users & Groups";
const char *const kDirectories = "localhost/File Systems/snfs1/Quotas/Directories";

// Columns line up under their header, namesakes are numbered, --json rows are keyed by the
// header and trees nest their children.
TEST_F(Kxadmin, ListsTreesAndJsonRows) {
    const std::vector<std::string> lines = ok({"ls", "localhost/File Systems"}).lines();
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[0].rfind("Name ", 0), 0u) << lines[0];
    for (size_t i = 1; i < lines.size(); ++i)
        EXPECT_EQ(lines[i].find("127.0.0."), lines[0].find("Host")) << lines[i];
    EXPECT_EQ(
        ok({"tree", "--depth", "2"}).lines(),
        (std::vector<std::string>{"Connections", "  localhost", "    Disks", "    File Systems"}));
    const std::string out = ok({"tree", "localhost/File Systems", "--depth", "1"}).out;
    EXPECT_NE(out.find("\n  snfs1\n"), std::string::npos) << out;
    EXPECT_NE(out.find("\n  snfs1#2\n"), std::string::npos) << out;
    EXPECT_NE(ok({"ls", "localhost/File Systems/snfs1#2"}).out.find("Standby"), std::string::npos);
    // Figures end where their header ends.
    EXPECT_EQ(ok({"ls", kUsersAndGroups})
                  .lines()
                  .at(1)
                  .rfind("alice  User           1G        900M   100M", 0),
              0u);

    const nlohmann::json rows = json({"ls", "localhost/File Systems/snfs1/Clients"});
    ASSERT_TRUE(rows.is_array() && !rows.empty()) << rows;
    EXPECT_EQ(rows[0].size(), 2u) << rows[0];
    EXPECT_EQ(rows[0]["Type"], "File System Manager (FSM)");
    const nlohmann::json tree = json({"tree", "localhost", "--depth", "1"});
    EXPECT_EQ(tree["type"], "Computer");
    EXPECT_EQ(tree["children"][1]["name"], "File Systems");
}

TEST_F(Kxadmin, ConnectionsAreTheConsolesRecentList) {
    ok({"connect", "beta"});
    EXPECT_EQ(ok({"connections"}).out, "beta\nlocalhost\n");
    const std::string file = slurp(root_ + "/config/cfg.kxntadmin");
    EXPECT_NE(file.find("RecentConn0=beta"), std::string::npos) << file;
    EXPECT_NE(file.find("RecentConn1=localhost"), std::string::npos) << file;
    // A host the file cannot hold is refused before anything is written.
    const run_result r = run({"connect", "a\nb"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "kxadmin: Invalid host name: it contains a line break\n");
    EXPECT_EQ(slurp(root_ + "/config/cfg.kxntadmin"), file);
    ok({"disconnect", "beta"});
    EXPECT_EQ(ok({"connections", "--json"}).out, "[\n  \"localhost\"\n]\n");
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
TEST_F(Kxadmin, DamagedRecentConnectionsFileIsReportedAndTheCommandsGoOn) {
    const std::string file = root_ + "/config/cfg.kxntadmin";
    std::ofstream(file, std::ios::binary | std::ios::trunc) << std::string("RecentConn0=x\0", 14);
    EXPECT_NE(ok({"connections"}).err.find("could not be read (Invalid character in file.)"),
              std::string::npos);
    EXPECT_EQ(ok({"connect", "beta"}).err, "");
    EXPECT_EQ(ok({"connections"}).out, "beta\n");
    std::filesystem::remove(file + ".damaged");
}

// ---- Debug flags ----

// The word that the 32 rows of a Debug folder show, each with a true/false "Set".
uint32_t shown_word(const nlohmann::json &rows) {
    EXPECT_EQ(rows.size(), 32u) << rows;
    uint32_t word = 0;
    for (const auto &row : rows)
        for (const VTA_DEBUG_FLAG *flag = VTAdmin_DebugFlags; flag->description != nullptr; ++flag)
            if (row["Debug Name"] == flag->description && row["Set"] == true)
                word |= flag->value;
    return word;
}

// Browsing needs no write access to the configuration directory; saving a connection does.
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

TEST_F(Kxadmin, DebugAppliesSetsAndClearsInOrderAndSavesThem) {
    const struct {
        std::string changes;
        uint32_t word;
    } steps[] = {
        {"--clear all", 0},
        {"--set quotas --set Journal", 0x41000},
        {"--set 0x80000000 --clear QUOTAS", 0x80040000},
        {"--set all --clear 0x1 --clear none", 0xFFFFFFFE},
        {"", 0xFFFFFFFE},
    };
    for (const auto &step : steps) {
        EXPECT_EQ(shown_word(json(concat({"debug", "localhost", "snfs1"}, words(step.changes)))),
                  step.word)
            << step.changes;
        // A new process reads the word back from the FSM.
        EXPECT_EQ(shown_word(json({"ls", "localhost/File Systems/snfs1/Debug"})), step.word)
            << step.changes;
    }
    for (const std::string flag : {"gen", "0x100000000"}) {
        const run_result r = run({"debug", "localhost", "snfs1", "--set", "none", "--clear", flag});
        EXPECT_EQ(r.status, 2) << flag;
        EXPECT_NE(r.err.find("unknown debug flag '" + flag + "'"), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("general, sockets"), std::string::npos) << r.err;
    }
    EXPECT_EQ(shown_word(json({"ls", "localhost/File Systems/snfs1/Debug"})), 0xFFFFFFFE)
        << "nothing saved";
}

TEST_F(Kxadmin, DebugFolderShowsCheckBoxesInTheSetColumn) {
    ok({"debug", "localhost", "snfs1", "--set", "none", "--set", "sockets"});
    const std::vector<std::string> lines = ok({"ls", "localhost/File Systems/snfs1/Debug"}).lines();
    ASSERT_EQ(lines.size(), 33u);
    EXPECT_EQ(lines[0], "Set  Debug Name");
    EXPECT_EQ(lines[1], "[ ]  Administrative Tap Management");
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "[x]  Sockets"), 1);
    const std::string csv = ok({"ls", "localhost/File Systems/snfs1/Debug", "--csv"}).out;
    EXPECT_EQ(csv.rfind("Set,Debug Name\r\nfalse,Administrative Tap Management\r\n", 0), 0u) << csv;
    EXPECT_NE(csv.find("\r\ntrue,Sockets\r\n"), std::string::npos) << csv;
}

// ---- Quotas ----

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

// Refused settings change nothing: kxadmin's own checks, and one refusal of the library.
TEST_F(Kxadmin, QuotaSetRefusesWhatCannotBeSet) {
    const std::string mnt = std::filesystem::canonical(root_ + "/mnt").string();
    const struct {
        std::vector<std::string> args; // after "quota set localhost"
        int status;
        std::string err;
    } rows[] = {
        {words("snfs1 user irene --hard 12x"), 1, "Hard Limit is not a valid number"},
        {words("snfs1 user irene --soft -5"), 1, "Soft Limit is not a valid number"},
        {words("snfs1 user irene --grace 4294967296"), 1, "Time value is too large"},
        {{"snfs1", "user", ""}, 1, "Please enter a User Name"},
        {{"snfs1", "group", std::string(256, 'n')}, 1, "Group Name is too long"},
        {{"snfs1", "data", ""}, 1, "Please specify a directory"},
        {{"snfs1", "data", std::string(512, 'd')}, 1, "Directory path is too long"},
        {words("snfs1 user irene --hard 1G"), 1,
         "Quota hard and soft limits must both be either zero or non-zero, HL = 1073741824, "
         "SL = 0."},
        {words("nosuchfs user alice"), 1, "no active file system 'nosuchfs' on 'localhost'"},
        {words("archive user alice"), 1, "Quotas are not enabled."},
        {words("snfs1 data missing --hard 1G --soft 1G --grace 5"), 1,
         "Error opening directory '" + mnt + "/snfs1/missing': No such file or directory"},
        {words("snfs1 owner alice"), 2,
         "usage: quota set|delete HOST FSNAME user|group|data|files NAME|PATH (see kxadmin "
         "--help)"},
    };
    for (const auto &row : rows) {
        const run_result r = run(concat({"quota", "set", "localhost"}, row.args));
        EXPECT_EQ(r.status, row.status) << row.err;
        EXPECT_EQ(r.err, "kxadmin: " + row.err + "\n");
        EXPECT_EQ(r.out, "") << row.err;
    }
    EXPECT_TRUE(row_of(json({"ls", kUsersAndGroups}), "Name", "irene", "User").is_null());
}

// Each action through one host's name server, checked in what the other host lists; the last
// test of the suite (it leaves the standby active).
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
        {"failover localhost snfs1", "beta", "127.0.0.2:Active"},
    };
    for (const auto &step : steps) {
        const auto start = std::chrono::steady_clock::now();
        ok(words(step.args));
        const double took =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        EXPECT_LT(took, 3.5) << step.args << ": waits end once the managers are down or running";
        EXPECT_EQ(listed(step.seen_from, "snfs1"), step.snfs1) << step.args;
    }
    EXPECT_EQ(listed("localhost", "archive"), "127.0.0.2:Active") << "never touched";
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
    static run_result run_here(const std::vector<std::string> &args, int admin = 1) {
        VTAObj_RecentResetForTests(); // loaded once per process, as each program run does
        VTAdmin_Init();
        vtadmin_set_admin_for_tests(admin); // kept by the program's own VTAdmin_Init
        return run_main(concat({"--root", root_}, args));
    }

    static std::string root_;
    static sim_cluster *cluster_;
};

std::string KxadminFailures::root_;
sim_cluster *KxadminFailures::cluster_ = nullptr;

// Every control command that fails ends with status 1 and one line "kxadmin: <reason>": the
// program's own reasons, and one of the library's per command and kind of failure.
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
        {"stop localhost lonely", 1,
         "FSM not found (incorrect name or not a backchannel IP address)"},
        {"activate localhost snfs1", 1, "Internal use only"},
        {"start localhost scratch", 0, "Insufficient privileges"},
        {"stop localhost snfs1 --wait 5", 0, "Permission denied"},
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
    EXPECT_EQ(cluster_snapshot(cluster_).filesystems[3].managers[0].state, SIM_DOWN) << "scratch";
}

// A manager whose status query fails ends the listing of "File Systems" with an error; the
// nodes listed before it can still be reached and shown.
TEST_F(KxadminFailures, FailedRefreshOnTheWayStillDescendsThroughTheListedNodes) {
    char text[256] = "";
    ASSERT_EQ(cluster_set_fault(cluster_, "fsm:archive", "error:1:5/2", text, sizeof text), 0)
        << text;
    run_result r = run_here({"ls", "localhost/File Systems/snfs1"});
    EXPECT_EQ(r.status, KXADMIN_FAILED);
    EXPECT_EQ(r.err, "kxadmin: Error retrieving FSM properties for 'File Systems' (code -1)\n");
    EXPECT_NE(r.out.find("127.0.0.1"), std::string::npos) << r.out;
    r = run_here({"ls", "localhost/File Systems/lonely"});
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

// A command's help, the same through `help COMMAND` and `COMMAND --help`: its usage (blanks
// and line ends folded) and exactly the options the command takes.
TEST(KxadminCommandLine, HelpAndVersion) {
    const struct {
        std::string command;
        std::string usage;
        std::string options;
    } rows[] = {
        {"ls", "ls [PATH] [--json] [--csv]", "--json --csv -h"},
        {"quota delete", "quota delete HOST FSNAME user|group|data|files NAME|PATH", "-h"},
    };
    for (const auto &row : rows) {
        const run_result help = run_main(concat({"help"}, words(row.command)));
        const run_result flag = run_main(concat(words(row.command), {"--help"}));
        EXPECT_EQ(help.status, 0) << row.command;
        EXPECT_EQ(flag.out, help.out) << row.command;
        EXPECT_EQ(
            std::regex_replace(help.out.substr(0, help.out.find("\n\n")), std::regex("\\s+"), " "),
            "Usage: kxadmin [--root DIR] " + row.usage)
            << row.command;
        const std::vector<std::string> options = words(row.options);
        EXPECT_EQ(help_options(help.out), std::set<std::string>(options.begin(), options.end()))
            << row.command;
    }
    const run_result help = run_main({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("#2"), std::string::npos);
    EXPECT_EQ(
        help_options(help.out),
        (std::set<std::string>{"--root", "--json", "--csv", "--depth", "--on", "--wait", "--set",
                               "--clear", "--hard", "--soft", "--grace", "-h", "--version"}));
    EXPECT_EQ(run_main({}).err, help.out) << "no command: the help, as an error";
    EXPECT_EQ(run_main({}).status, 2);
    // --version wins wherever it stands; --root may be given twice (the last counts).
    const char *const root = getenv("KXFSROOT");
    const std::string saved = root != nullptr ? root : "";
    EXPECT_EQ(run_main({"--root", "/a", "ls", "--root", "/b", "--version"}).out,
              "kxadmin " KX_PROGRAM_VERSION "\n");
    if (root != nullptr)
        setenv("KXFSROOT", saved.c_str(), 1);
    else
        unsetenv("KXFSROOT");
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
        {"ls x --csv --json", "--json and --csv cannot be given together (see kxadmin help ls)"},
        {"tree --depth x", "bad number for --depth: x (see kxadmin help tree)"},
        {"connections --on x", "'connections' has no option --on (see kxadmin help connections)"},
        {"activate h", "missing FSNAME for 'activate' (see kxadmin help activate)"},
        {"debug h fs --set", "option --set needs a value (see kxadmin help debug)"},
        {"quota", "'quota' needs set or delete (see kxadmin help quota)"},
        {"quota list h", "unknown command 'quota list' (see kxadmin help quota)"},
        {"quota delete h fs user x --hard 1G",
         "'quota delete' has no option --hard (see kxadmin help quota delete)"},
        {"help quota list", "unknown command 'quota list' (see kxadmin --help)"},
    };
    for (const auto &row : rows) {
        const run_result r = run_main(words(row.args));
        EXPECT_EQ(r.status, KXADMIN_USAGE) << row.args;
        EXPECT_EQ(r.out, "") << row.args;
        EXPECT_EQ(r.err, "kxadmin: " + row.reason + "\n") << row.args;
    }
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
        {"fs#2", "fs", 2, true},
        {"#2", "#2", 1, false},
        {"fs#02", "fs#02", 1, false},
        {"fs#1000000", "fs", 1000000, false},
        {"fs#1000001", "fs#1000001", 1, false},
        {"a#2#3", "a#2", 3, true},
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
    EXPECT_EQ(kxadmin_format_table({{"Name", "Size"}, {"a", "10"}, {"bbbbbb", "7"}}, {false, true}),
              "Name    Size\na         10\nbbbbbb     7\n");
}

} // namespace
