// `cmake --install` into a scratch prefix, then the installed files as an administrator meets
// them: the programs start without a display, the desktop entry validates and names installed
// files, the manual pages render without warnings, the simulator finds its installed scenario,
// and the shell completion completes what the program accepts.

#include "clustersim/cluster.h"
#include "libvtadmin/vtadmin_fsm.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>
#include <sys/wait.h>

namespace fs = std::filesystem;

namespace {

using Words = std::vector<std::string>;
using WordSet = std::set<std::string>;

struct run_result {
    int status = -1;
    std::string out, err;
};

std::string file_text(const fs::path &path) {
    std::ifstream in(path);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

Words words_of(const std::string &text) {
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
            run({KX_CMAKE_COMMAND, "--install", KX_BUILD_DIR, "--prefix", prefix_});
        ASSERT_EQ(r.status, 0) << r.out << r.err;
    }
    static void TearDownTestSuite() {
        std::error_code ignored;
        fs::remove_all(scratch_, ignored);
    }

    // Runs `args` under `timeout 60`, so that nothing can hang the test; output through files.
    static run_result run(const Words &args) {
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
    static std::string installed(const std::string &path) { return prefix_ / path; }

    // The rendered manual page of `name`, as `man` shows it at 80 columns.
    static run_result manual(const std::string &name) {
        return run({"env", "LC_ALL=C.UTF-8", "MANWIDTH=80", "MANPAGER=cat", "man", "--warnings",
                    "-l", installed("share/man/man1/" + name + ".1.gz")});
    }

    // What the bash completion offers for the command line `line` (cursor at its end, a
    // trailing blank starts a new word); `kxadmin` is the installed program.
    static WordSet complete(const std::string &line) {
        Words words = words_of(line);
        if (line.back() == ' ')
            words.push_back("");
        words[0] = installed("bin/kxadmin");
        words.insert(words.begin(),
                     {"bash", "-c",
                      ". \"$1\" && shift && COMP_WORDS=(\"$@\") && "
                      "COMP_CWORD=$((${#COMP_WORDS[@]} - 1)) && _kxadmin && "
                      "printf '%s\\n' \"${COMPREPLY[@]}\"",
                      "bash", installed("share/bash-completion/completions/kxadmin")});
        const run_result r = run(words);
        EXPECT_EQ(r.status, 0) << line << ": " << r.err;
        EXPECT_EQ(r.err, "") << line;
        const Words offered = words_of(r.out);
        return {offered.begin(), offered.end()};
    }

    // The labels of the entries under `heading` of a help text: the lines indented by two
    // blanks, up to two blanks in a row ("--on H", "-h, --help", "ls [PATH] [--json] ...").
    static Words help_entries(const std::string &help, const std::string &heading) {
        std::istringstream in(help.substr(help.find("\n" + heading + "\n") + heading.size() + 2));
        Words labels;
        for (std::string line; std::getline(in, line) && !line.empty();)
            if (line.size() > 2 && line[2] != ' ')
                labels.push_back(line.substr(2, line.find("  ", 2) - 2));
        return labels;
    }

    static fs::path scratch_, prefix_;
};

fs::path Installed::scratch_, Installed::prefix_;

// Help and version reach standard output with status 0, without a display; a bad option gives
// status 2 and the usage on standard error (where the toolkit may add remarks of its own).
// kxadmin's help and refusals are its own test's; its help is read by the completion tests.
// `text` is the whole output of a --version, else the start of the help or a part of the
// error output.
TEST_F(Installed, ProgramsAnswerTheirCommandLines) {
    const std::string version = KX_PROGRAM_VERSION_TEXT "\n";
    const struct {
        const char *program, *option;
        int status;
        std::string text;
    } rows[] = {
        {"kxadmin", "--version", 0, "kxadmin " + version},
        {"kxntadmin", "--version", 0, "kxntadmin " + version},
        {"kxntadmin", "--help", 0, "usage: kxntadmin [--select PATH]"},
        {"kxclustersim", "--version", 0, "kxclustersim " + version},
        {"kxclustersim", "--help", 0, "usage: kxclustersim --root DIR"},
        {"kxntadmin", "--bogus", 2, "usage: kxntadmin [--select PATH]"},
        {"kxclustersim", "--bogus", 2, "usage: kxclustersim --root DIR"},
    };
    for (const auto &r : rows) {
        const std::string name = std::string(r.program) + " " + r.option;
        // The console starts its toolkit before it reads its own options, so a bad command
        // line needs a platform to get that far.
        Words args = {"env", "-u", "DISPLAY", "-u", "WAYLAND_DISPLAY", "-u", "QT_QPA_PLATFORM"};
        if (r.status != 0)
            args.push_back("QT_QPA_PLATFORM=offscreen");
        args.insert(args.end(), {installed(std::string("bin/") + r.program), r.option});
        const run_result result = run(args);
        EXPECT_EQ(result.status, r.status) << name << ": " << result.err;
        if (r.status != 0) {
            EXPECT_EQ(result.out, "") << name;
            EXPECT_NE(result.err.find(r.text), std::string::npos) << name << ": " << result.err;
        } else {
            EXPECT_EQ(result.err, "") << name;
            const bool whole = std::string(r.option) == "--version";
            EXPECT_EQ(whole ? result.out : result.out.substr(0, r.text.size()), r.text) << name;
        }
    }
}

TEST_F(Installed, DesktopEntryAndManualPagesAreValidAndNameTheInstalledFiles) {
    const std::string entry = installed("share/applications/kxntadmin.desktop");
    const run_result r = run({"desktop-file-validate", entry});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out + r.err, "") << "desktop-file-validate has remarks";
    std::istringstream in(file_text(entry));
    std::string exec, icon;
    for (std::string line; std::getline(in, line);) {
        if (line.starts_with("Exec="))
            exec = words_of(line.substr(5))[0];
        if (line.starts_with("Icon="))
            icon = line.substr(5);
    }
    EXPECT_TRUE(fs::is_regular_file(installed("bin/" + exec))) << "Exec=" << exec;
    EXPECT_TRUE(
        fs::is_regular_file(installed("share/icons/hicolor/scalable/apps/" + icon + ".svg")))
        << "Icon=" << icon;

    for (const char *name : {"kxntadmin", "kxadmin", "kxclustersim"}) {
        const run_result page = manual(name);
        EXPECT_EQ(page.status, 0) << name;
        EXPECT_EQ(page.err, "") << name << ": man reports problems";
        for (const char *section : {"NAME", "SYNOPSIS", "DESCRIPTION", "OPTIONS", "FILES",
                                    "ENVIRONMENT", "EXIT STATUS", "EXAMPLES", "SEE ALSO"})
            EXPECT_NE(page.out.find("\n" + std::string(section) + "\n"), std::string::npos)
                << name << ": no section " << section;
        EXPECT_NE(page.out.find("kxntadmin " KX_PROGRAM_VERSION_TEXT), std::string::npos)
            << name << ": no version in the footer";
    }
}

TEST_F(Installed, SimulatorRunsItsInstalledDefaultScenario) {
    const fs::path root = scratch_ / "sim-root";
    pid_t pid = 0;
    std::string ready;
    char text[512] = "";
    ASSERT_EQ(cluster_spawn(installed("bin/kxclustersim").c_str(), root.c_str(), nullptr, {}, &pid,
                            &ready, text, sizeof text),
              0)
        << text;
    EXPECT_EQ(cluster_child_stop(pid, 5000), 0);
    EXPECT_NE(ready.find(" ns=127.0.0.1:"), std::string::npos) << ready;
    EXPECT_NE(ready.find(",127.0.0.2:"), std::string::npos) << "beta of the default scenario";

    // A copy away from the install has no default scenario, and says how to give one.
    const fs::path stray = scratch_ / "stray/bin/kxclustersim";
    fs::create_directories(stray.parent_path());
    fs::copy_file(installed("bin/kxclustersim"), stray);
    const run_result r = run({stray, "--root", root});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("cannot read scenario file " + (scratch_ / "stray/share").string()),
              std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("--scenario FILE"), std::string::npos) << r.err;
}

TEST_F(Installed, CompletionOffersCommandsArgumentsAndRecentHosts) {
    // The install root whose recent connections the host completion reads.
    const fs::path root = scratch_ / "completion-root";
    fs::create_directories(root / "config");
    std::ofstream(root / "config/cfg.kxntadmin") << "RecentConn0=localhost\r\nRecentConn1=beta\r\n";
    const std::string with_root = "kxadmin --root " + root.string() + " ";
    const std::pair<std::string, WordSet> rows[] = {
        {"kxadmin co", {"connections", "connect"}},
        {"kxadmin quota ", {"set", "delete"}},
        {"kxadmin quota set h fs ", {"user", "group", "data", "files"}},
        {"kxadmin debug h fs --clear no", {"none"}},
        {"kxadmin --root /r fa", {"failover"}},
        {"kxadmin help quota ", {"set", "delete"}},
        {with_root + "start ", {"localhost", "beta"}},
        {with_root + "activate h fs --on l", {"localhost"}},
        {"kxadmin ls a b", {}},
    };
    for (const auto &[line, offered] : rows)
        EXPECT_EQ(complete(line), offered) << line;
}

// The commands, options and debug flag keywords the program takes, its completion and its
// manual page agree.
TEST_F(Installed, CompletionAndManualKnowEveryCommandOptionAndDebugFlag) {
    const std::string help = run({installed("bin/kxadmin"), "--help"}).out;
    WordSet commands;
    for (const std::string &label : help_entries(help, "Commands:"))
        commands.insert(words_of(label)[0]);
    EXPECT_EQ(commands.size(), 12u);
    EXPECT_EQ(complete("kxadmin "), commands);
    // Each command's completion offers the long options of its help, and those the program
    // takes anywhere.
    WordSet leaves = commands;
    leaves.erase("quota");
    leaves.insert({"quota set", "quota delete"});
    for (const std::string &command : leaves) {
        Words args = words_of(command);
        args.insert(args.begin(), {installed("bin/kxadmin"), "help"});
        WordSet options = {"--root", "--version"};
        for (const std::string &label : help_entries(run(args).out, "Options:"))
            if (label.find("--") != std::string::npos)
                options.insert(words_of(label.substr(label.find("--")))[0]);
        EXPECT_EQ(complete("kxadmin " + command + " --"), options) << command;
    }
    WordSet keywords;
    for (const VTA_DEBUG_FLAG *row = VTAdmin_DebugFlags; row->keyword != nullptr; ++row)
        keywords.insert(row->keyword);
    EXPECT_EQ(complete("kxadmin debug h fs --set "), keywords);

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
    const Words listed = words_of(list);
    for (const std::string &keyword : keywords)
        EXPECT_NE(std::find(listed.begin(), listed.end(), keyword), listed.end())
            << "debug flag " << keyword << " not in the manual";
}

} // namespace
