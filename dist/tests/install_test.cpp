// `cmake --install` into a scratch prefix, then the installed files as an administrator meets
// them: the programs start without a display, the desktop entry validates and names installed
// files, the manual pages render without warnings, the simulator finds its installed scenario,
// and the shell completion completes what the program accepts.

#include "clustersim/cluster.h"
#include "libvtadmin/vtadmin_fsm.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

struct run_result {
    int status = -1;
    std::string out, err;
};

std::string file_text(const fs::path &path) {
    std::ifstream in(path);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::vector<std::string> words_of(const std::string &text) {
    std::istringstream in(text);
    std::vector<std::string> words;
    for (std::string word; in >> word;)
        words.push_back(word);
    return words;
}

class Installed : public ::testing::Test {
protected:
    // Every test program process installs once, into a prefix of its own.
    static void SetUpTestSuite() {
        char pattern[] = "/tmp/kxinstall-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        scratch_ = pattern;
        prefix_ = scratch_ / "usr";
        const run_result r =
            run({KX_CMAKE_COMMAND, "--install", KX_BUILD_DIR, "--prefix", prefix_.string()});
        ASSERT_EQ(r.status, 0) << r.out << r.err;
    }
    static void TearDownTestSuite() {
        std::error_code ignored;
        fs::remove_all(scratch_, ignored);
    }

    // Runs `args` (under `timeout 60`, so that nothing can hang the test); output through files.
    static run_result run(std::vector<std::string> args) {
        args.insert(args.begin(), {"timeout", "60"});
        const fs::path out = scratch_ / "out.txt", err = scratch_ / "err.txt";
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0644);
        posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0644);
        std::vector<char *> argv;
        for (std::string &arg : args)
            argv.push_back(arg.data());
        argv.push_back(nullptr);
        pid_t pid = 0;
        const int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        run_result result;
        if (spawned != 0) {
            result.err = strerror(spawned);
            return result;
        }
        int status = 0;
        waitpid(pid, &status, 0);
        result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        result.out = file_text(out);
        result.err = file_text(err);
        return result;
    }

    static std::string program(const std::string &name) {
        return (prefix_ / "bin" / name).string();
    }

    // The rendered manual page of `name`, as `man` shows it at 80 columns.
    static run_result manual(const std::string &name) {
        const fs::path page = prefix_ / "share/man/man1" / (name + ".1.gz");
        return run({"env", "LC_ALL=C.UTF-8", "MANWIDTH=80", "MANPAGER=cat", "man", "--warnings",
                    "-l", page.string()});
    }

    // What the bash completion offers for the command line `line` (cursor at its end, a
    // trailing blank starts a new word); `kxadmin` is the installed program.
    static std::set<std::string> complete(const std::string &line) {
        std::vector<std::string> words = words_of(line);
        if (line.empty() || line.back() == ' ')
            words.push_back("");
        const fs::path script = prefix_ / "share/bash-completion/completions/kxadmin";
        std::vector<std::string> args = {
            "bash",
            "-c",
            ". \"$1\" && shift && COMP_WORDS=(\"$@\") && COMP_CWORD=$((${#COMP_WORDS[@]} - 1)) && "
            "_kxadmin && printf '%s\\n' \"${COMPREPLY[@]}\"",
            "bash",
            script.string(),
            program("kxadmin")};
        args.insert(args.end(), words.begin() + 1, words.end());
        const run_result r = run(args);
        EXPECT_EQ(r.status, 0) << line << ": " << r.err;
        EXPECT_EQ(r.err, "") << line;
        std::set<std::string> offered;
        for (const std::string &word : words_of(r.out))
            offered.insert(word);
        return offered;
    }

    static std::set<std::string> debug_keywords() {
        std::set<std::string> keywords;
        for (const VTA_DEBUG_FLAG *row = VTAdmin_DebugFlags; row->keyword != nullptr; ++row)
            keywords.insert(row->keyword);
        return keywords;
    }

    // The command words of `kxadmin --help` (the first word of each line under "Commands:").
    static std::set<std::string> help_commands() {
        const run_result help = run({program("kxadmin"), "--help"});
        std::istringstream in(help.out);
        std::set<std::string> commands;
        bool in_commands = false;
        for (std::string line; std::getline(in, line);) {
            if (line == "Commands:") {
                in_commands = true;
            } else if (in_commands && line.empty()) {
                break;
            } else if (in_commands && line.size() > 2 && line[2] != ' ') {
                commands.insert(words_of(line)[0]);
            }
        }
        return commands;
    }

    // The option labels of a help text ("--on H", "-h, --help"): the entries under "Options:".
    static std::vector<std::string> help_options(const std::string &help) {
        std::istringstream in(help.substr(help.find("\nOptions:\n") + 10));
        std::vector<std::string> labels;
        for (std::string line; std::getline(in, line) && !line.empty();)
            if (line.size() > 2 && line[2] != ' ')
                labels.push_back(line.substr(2, line.find("  ", 2) - 2));
        return labels;
    }

    static fs::path scratch_, prefix_;
};

fs::path Installed::scratch_, Installed::prefix_;

TEST_F(Installed, ProgramsAnswerHelpAndVersionWithoutADisplay) {
    const std::string version = KX_PROGRAM_VERSION_TEXT;
    struct row {
        const char *program, *option, *expected; // `expected`: the whole output, or its start
        bool whole;
    };
    const row rows[] = {
        {"kxadmin", "--version", "kxadmin ", true},
        {"kxadmin", "--help", "Usage: kxadmin [--root DIR] COMMAND", false},
        {"kxntadmin", "--version", "kxntadmin ", true},
        {"kxntadmin", "--help", "usage: kxntadmin [--select PATH]", false},
        {"kxntadmin", "-h", "usage: kxntadmin [--select PATH]", false},
        {"kxclustersim", "--version", "kxclustersim ", true},
        {"kxclustersim", "--help", "usage: kxclustersim --root DIR", false},
    };
    for (const row &r : rows) {
        const std::string name = std::string(r.program) + " " + r.option;
        const run_result result = run({"env", "-u", "DISPLAY", "-u", "WAYLAND_DISPLAY", "-u",
                                       "QT_QPA_PLATFORM", program(r.program), r.option});
        EXPECT_EQ(result.status, 0) << name << ": " << result.err;
        EXPECT_EQ(result.err, "") << name;
        if (r.whole)
            EXPECT_EQ(result.out, std::string(r.expected) + version + "\n") << name;
        else
            EXPECT_EQ(result.out.rfind(r.expected, 0), 0u) << name << ": " << result.out;
    }
}

TEST_F(Installed, BadCommandLinesExitWithTwoAndTheUsage) {
    struct row {
        std::string program;
        std::vector<std::string> arguments;
        std::string usage;
    };
    const row rows[] = {
        {"kxadmin", {"--bogus"}, "kxadmin: unknown option --bogus (see kxadmin --help)\n"},
        {"kxadmin", {}, "Usage: kxadmin [--root DIR] COMMAND"},
        {"kxntadmin", {"--bogus"}, "usage: kxntadmin [--select PATH]"},
        {"kxntadmin", {"--select"}, "usage: kxntadmin [--select PATH]"},
        {"kxclustersim", {"--bogus"}, "usage: kxclustersim --root DIR"},
        {"kxclustersim", {}, "usage: kxclustersim --root DIR"},
    };
    for (const row &r : rows) {
        // The console starts its toolkit before it reads its own options.
        std::vector<std::string> args = {"env", "QT_QPA_PLATFORM=offscreen", program(r.program)};
        args.insert(args.end(), r.arguments.begin(), r.arguments.end());
        const std::string name = r.program + (r.arguments.empty() ? "" : " " + r.arguments[0]);
        const run_result result = run(args);
        EXPECT_EQ(result.status, 2) << name;
        EXPECT_EQ(result.out, "") << name;
        // The toolkit may add remarks of its own.
        EXPECT_NE(result.err.find(r.usage), std::string::npos) << name << ": " << result.err;
    }
}

TEST_F(Installed, DesktopEntryValidatesAndNamesTheInstalledProgramAndIcon) {
    const fs::path entry = prefix_ / "share/applications/kxntadmin.desktop";
    const run_result r = run({"desktop-file-validate", entry.string()});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out + r.err, "") << "desktop-file-validate has remarks";

    std::istringstream in(file_text(entry));
    std::string exec, icon;
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("Exec=", 0) == 0)
            exec = words_of(line.substr(5))[0];
        if (line.rfind("Icon=", 0) == 0)
            icon = line.substr(5);
    }
    EXPECT_TRUE(fs::is_regular_file(prefix_ / "bin" / exec)) << "Exec=" << exec;
    EXPECT_TRUE(
        fs::is_regular_file(prefix_ / "share/icons/hicolor/scalable/apps" / (icon + ".svg")))
        << "Icon=" << icon;
}

TEST_F(Installed, ManualPagesRenderWithoutWarningsAndHaveEverySection) {
    const std::string footer = "kxntadmin " KX_PROGRAM_VERSION_TEXT;
    const std::vector<std::string> sections = {"NAME",        "SYNOPSIS", "DESCRIPTION",
                                               "OPTIONS",     "FILES",    "ENVIRONMENT",
                                               "EXIT STATUS", "EXAMPLES", "SEE ALSO"};
    for (const char *name : {"kxntadmin", "kxadmin", "kxclustersim"}) {
        const run_result r = manual(name);
        EXPECT_EQ(r.status, 0) << name;
        EXPECT_EQ(r.err, "") << name << ": man reports problems";
        for (const std::string &section : sections)
            EXPECT_NE(r.out.find("\n" + section + "\n"), std::string::npos)
                << name << ": no section " << section;
        EXPECT_NE(r.out.find(footer), std::string::npos) << name << ": no version in the footer";
    }
}

TEST_F(Installed, SimulatorRunsItsInstalledDefaultScenario) {
    const fs::path root = scratch_ / "sim-root";
    pid_t pid = 0;
    std::string ready;
    char text[512] = "";
    ASSERT_EQ(cluster_spawn(program("kxclustersim").c_str(), root.c_str(), nullptr, {}, &pid,
                            &ready, text, sizeof text),
              0)
        << text;
    EXPECT_EQ(cluster_child_stop(pid, 5000), 0);
    EXPECT_NE(ready.find(" ns=127.0.0.1:"), std::string::npos) << ready;
    EXPECT_NE(ready.find(",127.0.0.2:"), std::string::npos) << "beta of the default scenario";

    // A copy of the program away from the install has no default scenario, and says how to
    // give one.
    const fs::path stray = scratch_ / "stray";
    fs::create_directories(stray / "bin");
    fs::copy_file(program("kxclustersim"), stray / "bin/kxclustersim");
    const run_result r = run({(stray / "bin/kxclustersim").string(), "--root", root.string()});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("cannot read scenario file " + (stray / "share").string()),
              std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("--scenario FILE"), std::string::npos) << r.err;
}

TEST_F(Installed, CompletionOffersCommandsOptionsAndValues) {
    // The install root whose recent connections the host completion reads.
    const fs::path root = scratch_ / "completion-root";
    fs::create_directories(root / "config");
    std::ofstream(root / "config/cfg.kxntadmin") << "RecentConn0=localhost\r\nRecentConn1=beta\r\n";
    const std::string with_root = "kxadmin --root " + root.string() + " ";
    struct row {
        std::string line;
        std::set<std::string> offered;
    };
    const row rows[] = {
        {"kxadmin qu", {"quota"}},
        {"kxadmin co", {"connections", "connect"}},
        {"kxadmin quota ", {"set", "delete"}},
        {"kxadmin quota set h fs ", {"user", "group", "data", "files"}},
        {"kxadmin ls --", {"--root", "--help", "--version", "--json", "--csv"}},
        {"kxadmin stop h fs --", {"--root", "--help", "--version", "--on", "--wait"}},
        {"kxadmin debug h fs --clear no", {"none"}},
        {"kxadmin --root /r fa", {"failover"}},
        {"kxadmin quota set h fs user x --h", {"--help", "--hard"}},
        {"kxadmin quota delete h fs user x --", {"--root", "--help", "--version"}},
        {"kxadmin help q", {"quota"}},
        {"kxadmin help quota ", {"set", "delete"}},
        {with_root + "start ", {"localhost", "beta"}},
        {with_root + "quota delete b", {"beta"}},
        {with_root + "activate h fs --on l", {"localhost"}},
        {"kxadmin ls a b", {}},
    };
    for (const row &r : rows)
        EXPECT_EQ(complete(r.line), r.offered) << r.line;
}

// The keywords, commands and options the program takes, its completion and its manual page
// agree.
TEST_F(Installed, CompletionAndManualKnowEveryCommandOptionAndDebugFlag) {
    const std::set<std::string> commands = help_commands();
    EXPECT_EQ(commands.size(), 12u);
    EXPECT_EQ(complete("kxadmin "), commands);
    // Each command's completion offers the long options of its help, and those the program
    // takes anywhere.
    std::set<std::string> leaves = commands;
    leaves.erase("quota");
    leaves.insert({"quota set", "quota delete"});
    for (const std::string &command : leaves) {
        std::vector<std::string> args = {program("kxadmin"), "help"};
        for (const std::string &word : words_of(command))
            args.push_back(word);
        std::set<std::string> options = {"--root", "--version"};
        for (const std::string &label : help_options(run(args).out))
            if (label.rfind("--", 0) == 0)
                options.insert(words_of(label)[0]);
            else if (label.find(", --") != std::string::npos)
                options.insert(words_of(label.substr(label.find(", --") + 2))[0]);
        EXPECT_EQ(complete("kxadmin " + command + " --"), options) << command;
    }
    EXPECT_EQ(complete("kxadmin debug h fs --set "), debug_keywords());

    const std::string page = manual("kxadmin").out;
    for (const std::string &command : commands)
        EXPECT_NE(page.find("\n       " + command + " "), std::string::npos)
            << "command " << command << " not in the manual";
    // Every option of --help is a tag of the manual's OPTIONS section, with its value.
    const std::string options = page.substr(page.find("\nOPTIONS\n"));
    for (const std::string &label : help_options(run({program("kxadmin"), "--help"}).out)) {
        const size_t at = options.find("\n       " + label);
        ASSERT_NE(at, std::string::npos) << "option " << label << " not in the manual";
        const char after = options[at + 8 + label.size()];
        EXPECT_TRUE(after == ' ' || after == '\n') << "option " << label << " in the manual";
    }
    // The keyword list of the FLAG paragraph.
    const size_t begin = page.find("The keywords:");
    const size_t end = page.find("changes nothing", begin);
    ASSERT_NE(end, std::string::npos) << page;
    std::string list = page.substr(begin, end - begin);
    for (char &c : list)
        if (!isalnum(static_cast<unsigned char>(c)))
            c = ' ';
    const std::vector<std::string> listed = words_of(list);
    for (const std::string &keyword : debug_keywords())
        EXPECT_NE(std::find(listed.begin(), listed.end(), keyword), listed.end())
            << "debug flag " << keyword << " not in the manual";
}

} // namespace
