#include "libutil/settings.h"

#include "libutil/install_paths.h"
#include "libutil/logging.h"
#include "libutil/tests/bounded_child.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

namespace {

class Settings : public testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/settings_test_XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        file_ = dir_ + "/vt.conf";
        setenv("KXFSCONF", dir_.c_str(), 1);
        install_paths_reset_for_tests();
    }
    void TearDown() override {
        settings_close(settings_);
        for (const char *name : {"KXFSCONF", "KX_SETTINGS_TEST_LIMIT"})
            unsetenv(name);
        install_paths_reset_for_tests();
        fs::remove_all(dir_);
    }

    // Writes the file and gives it a modification time of its own, so that a rewrite within
    // the file system's time-stamp resolution is still seen as a change.
    void write_file(const std::string &text, time_t seconds, const std::string &path = "") {
        const std::string target = path.empty() ? file_ : path;
        std::ofstream(target, std::ios::binary | std::ios::trunc) << text;
        struct timespec times[2] = {{seconds, 0}, {seconds, 0}};
        ASSERT_EQ(utimensat(AT_FDCWD, target.c_str(), times, 0), 0);
    }
    // An open and close of the file, which reads it again when it changed.
    void reread() { settings_close(settings_open(file_.c_str(), false)); }

    // "NAME=value" for each of the blank-separated names ("NAME=-" for none), blank-separated.
    static std::string values(settings *s, const std::string &names) {
        std::istringstream in(names);
        std::string text;
        for (std::string name; in >> name;) {
            const char *value = settings_get(s, name.c_str());
            text += (text.empty() ? "" : " ") + name + "=" + (value != nullptr ? value : "-");
        }
        return text;
    }

    std::string dir_;
    std::string file_;
    settings *settings_ = nullptr;
};

TEST_F(Settings, ReferencesExpandToValuesLoadedEarlier) {
    write_file("A=x\nB=${A}/y\nC=${D}-${A}${A}\nD=late\nE=${NOPE}end\nF=pre${A\nG=${}${B}\n"
               "# limits\nEMPTY\n=orphan\nSIZE=2M\nSIZE=second\n",
               1000);
    settings_ = settings_open(file_.c_str(), false);
    ASSERT_NE(settings_, nullptr);
    // D comes later: nothing; an unclosed reference is kept as it is; the first of a name counts.
    EXPECT_EQ(values(settings_, "B C E F G H EMPTY SIZE orphan"),
              "B=x/y C=-xx E=end F=pre${A G=x/y H=- EMPTY= SIZE=2M orphan=-");
    EXPECT_EQ(settings_get(settings_, ""), nullptr);
    EXPECT_EQ(settings_get(settings_, nullptr), nullptr);
}

TEST_F(Settings, EnvironmentWinsOnlyWhenOverridingOrWithoutObject) {
    write_file("KX_SETTINGS_TEST_LIMIT=file\n", 1000);
    setenv("KX_SETTINGS_TEST_LIMIT", "env", 1);
    settings *plain = settings_open(file_.c_str(), false);
    settings_ = settings_open(file_.c_str(), true);
    ASSERT_NE(plain, settings_);
    const std::string name = "KX_SETTINGS_TEST_LIMIT";
    EXPECT_EQ(values(plain, name), name + "=file");
    EXPECT_EQ(values(settings_, name), name + "=env");
    EXPECT_EQ(values(nullptr, name), name + "=env");
    unsetenv(name.c_str());
    EXPECT_EQ(values(settings_, name), name + "=file");
    EXPECT_EQ(values(nullptr, name), name + "=-");
    settings_close(plain);
}

TEST_F(Settings, RelativeNamesComeFromTheConfigurationDirectory) {
    write_file("WHERE=config\n", 1000);
    settings_ = settings_open("vt.conf", false);
    EXPECT_EQ(values(settings_, "WHERE"), "WHERE=config");
    settings *elsewhere = settings_open("./vt.conf.not-here", false);
    ASSERT_NE(elsewhere, nullptr); // a missing file gives an empty object
    EXPECT_EQ(values(elsewhere, "WHERE"), "WHERE=-");
    settings_close(elsewhere);
}

TEST_F(Settings, ReopeningReadsAChangedFileAndKeepsHandedOutValuesAlive) {
    write_file("A=old\nB=unused\n", 1000);
    settings_ = settings_open(file_.c_str(), false);
    const char *old_value = settings_get(settings_, "A");
    ASSERT_STREQ(old_value, "old");
    write_file("A=new\n", 2000);
    settings *again = settings_open(file_.c_str(), false);
    EXPECT_EQ(again, settings_);
    EXPECT_EQ(values(settings_, "A B"), "A=new B=-");
    EXPECT_STREQ(old_value, "old"); // retired, not freed
    settings_close(again);          // one open left: still usable
    EXPECT_EQ(values(settings_, "A"), "A=new");
}

// A version of the file is its size, time stamp and identity: the same size and time stamp
// are taken as unchanged, another size is a new version.
TEST_F(Settings, SameFileVersionIsNotReadAgain) {
    write_file("A=1111\n", 1000);
    settings_ = settings_open(file_.c_str(), false);
    std::fstream(file_, std::ios::in | std::ios::out | std::ios::binary) << "A=2222\n";
    struct timespec times[2] = {{1000, 0}, {1000, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, file_.c_str(), times, 0), 0);
    reread();
    EXPECT_EQ(values(settings_, "A"), "A=1111");
    write_file("A=33\n", 1000);
    reread();
    EXPECT_EQ(values(settings_, "A"), "A=33");
}

// A file that appears fills the object, one deleted empties it; one that cannot be read (a NUL
// byte) keeps what was read before.
TEST_F(Settings, FileChangesOfEveryKindReachTheOpenObject) {
    settings_ = settings_open(file_.c_str(), false);
    EXPECT_EQ(values(settings_, "A"), "A=-");
    write_file("A=here\n", 1000);
    reread();
    const char *value = settings_get(settings_, "A");
    EXPECT_STREQ(value, "here");
    fs::remove(file_);
    reread();
    EXPECT_EQ(values(settings_, "A"), "A=-");
    EXPECT_STREQ(value, "here");
    write_file("A=kept\n", 2000);
    reread();
    write_file(std::string("A=x\0", 4), 3000);
    reread();
    EXPECT_EQ(values(settings_, "A"), "A=kept");
}

// 583 bytes of lines that each double the one before would expand to 2^54 bytes: every value
// stops at the line limit, and the cut is reported. Run in a child with little memory, where
// an unbounded expansion fails instead of filling the machine.
TEST_F(Settings, ExpansionStopsAtTheLineLimitAndIsReported) {
    const std::string names = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
    std::string text = "A=12345678\n";
    for (size_t i = 1; i < names.size(); ++i)
        text += std::string(1, names[i]) + "=${" + names[i - 1] + "}${" + names[i - 1] + "}\n";
    ASSERT_LE(text.size(), 654u);
    write_file(text, 1000);
    static int reports;
    reports = 0;
    const int outcome = run_bounded_child(
        [&] {
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
            // (The sanitizers reserve far more address space than this for themselves.)
            struct rlimit little = {512u << 20, 512u << 20};
            setrlimit(RLIMIT_AS, &little);
#endif
            message_hook = [](int, const char *report) {
                if (std::string(report).find("longer than 1023 bytes") != std::string::npos)
                    ++reports;
            };
            settings *s = settings_open(file_.c_str(), false);
            const char *last = settings_get(s, "z");
            const char *seventh = settings_get(s, "H");
            if (last == nullptr || seventh == nullptr)
                return 1;
            if (strlen(last) != SETTINGS_VALUE_MAX || strlen(seventh) != 1023)
                return 2;
            if (std::string(seventh).find("123456781234") != 0)
                return 3;
            return reports == 45 ? 0 : 4;
        },
        10000);
    EXPECT_EQ(outcome, 0);
}

// A FIFO or a device as the settings file gives no entries at once (a read would block or
// never end). Run in a child that is killed if it blocks.
TEST_F(Settings, FifoOrDeviceAsSettingsFileGivesNoEntries) {
    for (bool fifo : {true, false}) {
        fs::remove(file_);
        if (fifo)
            ASSERT_EQ(mkfifo(file_.c_str(), 0600), 0);
        else
            fs::create_symlink("/dev/zero", file_);
        const int outcome = run_bounded_child(
            [&] {
                settings *s = settings_open(file_.c_str(), false);
                return s != nullptr && settings_get(s, "A") == nullptr ? 0 : 1;
            },
            5000);
        EXPECT_EQ(outcome, 0) << (fifo ? "fifo" : "device");
    }
}

TEST(SettingsText, ParsesLikeAFileOfTheSameBytes) {
    const std::string text = "A=x\r\nB=${A}/y\nA=second\n#note\n=nokey\nC\n";
    const std::vector<std::pair<std::string, std::string>> expected = {
        {"A", "x"}, {"B", "x/y"}, {"A", "second"}, {"C", ""}};
    EXPECT_EQ(settings_parse_text(text.data(), text.size()), expected);
    const std::string nul("A=x\0y\n", 6);
    EXPECT_TRUE(settings_parse_text(nul.data(), nul.size()).empty());
}

// Threads open, read and close the same settings file while it changes; values handed out
// stay readable until their close. Meant for the thread sanitizer run.
TEST_F(Settings, ThreadsShareOneObjectWhileTheFileChanges) {
    write_file("V=first\n", 1000);
    std::vector<std::thread> readers;
    std::atomic<int> bad{0};
    for (int t = 0; t < 4; ++t)
        readers.emplace_back([&] {
            for (int round = 0; round < 200; ++round) {
                settings *s = settings_open(file_.c_str(), false);
                const char *value = settings_get(s, "V");
                if (value == nullptr ||
                    (strcmp(value, "first") != 0 && strcmp(value, "second") != 0))
                    ++bad;
                settings_close(s);
            }
        });
    // Each version replaces the file in one step, as the configuration store writes it.
    const std::string next = dir_ + "/next.conf";
    for (int round = 0; round < 50; ++round) {
        write_file(round % 2 ? "V=first\n" : "V=second\n", 2000 + round, next);
        ASSERT_EQ(rename(next.c_str(), file_.c_str()), 0);
    }
    for (std::thread &t : readers)
        t.join();
    EXPECT_EQ(bad.load(), 0);
}

} // namespace
