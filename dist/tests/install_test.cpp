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
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>
#include <string>
#include <sys/wait.h>
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
    return {std::istream_iterator<std::string>(in), std::istream_iterator<std::string>()};
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

    // Runs `args` under `timeout 60`, so that nothing can hang the test; output through files.
    static run_result run(const std::vector<std::string> &args) {
        std::string command = "timeout 60";
        for (const std::string &arg : args) {
            command += " '";
            for (char c : arg)
                command += c == '\'' ? std::string("'\\''") : std::string(1, c);
            command += "'";
        }
        const fs::path out = scratch_ / "out.txt", err = scratch_ / "err.txt";
        const int status = system((command + " >" + out.string() + " 2>" + err.string()).c_str());
        return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, file_text(out), file_text(err)};
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
        words[0] = program("kxadmin");
        words.insert(words.begin(),
                     {"bash", "-c",
                      ". \"$1\" && shift && COMP_WORDS=(\"$@\") && "
                      "COMP_CWORD=$((${#COMP_WORDS[@]} - 1)) && _kxadmin && "
                      "printf '%s\\n' \"${COMPREPLY[@]}\"",
                      "bash", (prefix_ / "share/bash-completion/completions/kxadmin").string()});
        const run_result r = run(words);
        EXPECT_EQ(r.status, 0) << line << ": " << r.err;
        EXPECT_EQ(r.err, "") << line;
        const std::vector<std::string> offered = words_of(r.out);
        return {offered.begin(), offered.end()};
    }

    static std::set<std::string> debug_keywords() {
        std::set<std::string> keywords;
        for (const VTA_DEBUG_FLAG *row = VTAdmin_DebugFlags; row->keyword != nullptr; ++row)
            keywords.insert(row->keyword);
        return keywords;
    }

    // The labels of the entries under `heading` of a help text: the lines indented by two
    // blanks, up to two blanks in a row ("--on H", "-h, --help", "ls [PATH] [--json] ...").
    static std::vector<std::string> help_entries(const std::string &help,
                                                 const std::string &heading) {
        std::istringstream in(help.substr(help.find("\n" + heading + "\n") + heading.size() + 2));
        std::vector<std::string> labels;
        for (std::string line; std::getline(in, line) && !line.empty();)
            if (line.size() > 2 && line[2] != ' ')
                labels.push_back(line.substr(2, line.find("  ", 2) - 2));
        return labels;
    }

    static fs::path scratch_, prefix_;
};

fs::path Installed::scratch_, Installed::prefix_;

// Help and version reach standard output with status 0, without a display; a bad command line
// gives status 2 and the usage on standard error (where the toolkit may add remarks of its
// own). `text` is the whole output of a --version, else the start of the help or a part of the
// error output.
TEST_F(Installed, ProgramsAnswerTheirCommandLines) {
    const std::string version = KX_PROGRAM_VERSION_TEXT "\n";
    const struct {
        const char *program, *arguments;
        int status;
        std::string text;
    } rows[] = {
        {"kxadmin", "--version", 0, "kxadmin " + version},
        {"kxadmin", "--help", 0, "Usage: kxadmin [--root DIR] COMMAND"},
        {"kxntadmin", "--version", 0, "kxntadmin " + version},
        {"kxntadmin", "--help", 0, "usage: kxntadmin [--select PATH]"},
        {"kxntadmin", "-h", 0, "usage: kxntadmin [--select PATH]"},
        {"kxclustersim", "--version", 0, "kxclustersim " + version},
        {"kxclustersim", "--help", 0, "usage: kxclustersim --root DIR"},
        {"kxadmin", "--bogus", 2, "kxadmin: unknown option --bogus (see kxadmin --help)\n"},
        {"kxadmin", "", 2, "Usage: kxadmin [--root DIR] COMMAND"},
        {"kxntadmin", "--bogus", 2, "usage: kxntadmin [--select PATH]"},
        {"kxntadmin", "--select", 2, "usage: kxntadmin [--select PATH]"},
        {"kxclustersim", "--bogus", 2, "usage: kxclustersim --root DIR"},
        {"kxclustersim", "", 2, "usage: kxclustersim --root DIR"},
    };
    for (const auto &r : rows) {
        const std::string name = std::string(r.program) + " " + r.arguments;
        // The console starts its toolkit before it reads its own options, so a bad command
        // line needs a platform to get that far.
        std::vector<std::string> args = {
            "env", "-u", "DISPLAY", "-u", "WAYLAND_DISPLAY", "-u", "QT_QPA_PLATFORM"};
        if (r.status != 0)
            args.push_back("QT_QPA_PLATFORM=offscreen");
        args.push_back(program(r.program));
        for (const std::string &word : words_of(r.arguments))
            args.push_back(word);
        const run_result result = run(args);
        EXPECT_EQ(result.status, r.status) << name << ": " << result.err;
        if (r.status != 0) {
            EXPECT_EQ(result.out, "") << name;
            EXPECT_NE(result.err.find(r.text), std::string::npos) << name << ": " << result.err;
        } else {
            EXPECT_EQ(result.err, "") << name;
            const bool whole = std::string(r.arguments) == "--version";
            EXPECT_EQ(whole ? result.out : result.out.substr(0, r.text.size()), r.text) << name;
        }
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
    const std::string help = run({program("kxadmin"), "--help"}).out;
    std::set<std::string> commands;
    for (const std::string &label : help_entries(help, "Commands:"))
        commands.insert(words_of(label)[0]);
    EXPECT_EQ(commands.size(), 12u);
    EXPECT_EQ(complete("kxadmin "), commands);
    // Each command's completion offers the long options of its help, and those the program
    // takes anywhere.
    std::set<std::string> leaves = commands;
    leaves.erase("quota");
    leaves.insert({"quota set", "quota delete"});
    for (const std::string &command : leaves) {
        std::vector<std::string> args = words_of(command);
        args.insert(args.begin(), {program("kxadmin"), "help"});
        std::set<std::string> options = {"--root", "--version"};
        for (const std::string &label : help_entries(run(args).out, "Options:"))
            if (label.find("--") != std::string::npos)
                options.insert(words_of(label.substr(label.find("--")))[0]);
        EXPECT_EQ(complete("kxadmin " + command + " --"), options) << command;
    }
    EXPECT_EQ(complete("kxadmin debug h fs --set "), debug_keywords());

    const std::string page = manual("kxadmin").out;
    for (const std::string &command : commands)
        EXPECT_NE(page.find("\n       " + command + " "), std::string::npos)
            << "command " << command << " not in the manual";
    // Every option of --help is a tag of the manual's OPTIONS section, with its value.
    const std::string options = page.substr(page.find("\nOPTIONS\n"));
    for (const std::string &label : help_entries(help, "Options:")) {
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
    std::replace_if(
        list.begin(), list.end(), [](unsigned char c) { return !isalnum(c); }, ' ');
    const std::vector<std::string> listed = words_of(list);
    for (const std::string &keyword : debug_keywords())
        EXPECT_NE(std::find(listed.begin(), listed.end(), keyword), listed.end())
            << "debug flag " << keyword << " not in the manual";
}

} // namespace
