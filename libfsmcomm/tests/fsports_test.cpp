#include "libfsmcomm/fsports.h"
#include "libutil/fatal.h"
#include "libutil/logging.h"
#include "libutil/tests/bounded_child.h"
#include "support_peer.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

std::vector<std::pair<int, std::string>> g_messages;

class Fsports : public testing::Test {
protected:
    void SetUp() override {
        g_messages.clear();
        message_hook = [](int code, const char *text) { g_messages.emplace_back(code, text); };
    }
    void TearDown() override { message_hook = nullptr; }
    int read(const std::string &text) {
        root_.write_config("fsports", text);
        int altpmap = -1;
        read_fsports(&altpmap);
        return altpmap;
    }
    private_root root_;
    syslog_capture syslog_;
};

// The port found and every report (code 2 through the message hook). The directive ignores
// case, values take any base, the last valid "altpmap" wins, range lines only validate,
// comments and empty lines count as lines, and only the first 254 characters of a line count:
// the rest of a longer line is skipped with it (a commented-out line stays a comment).
TEST_F(Fsports, PortAndReportsForEachKindOfLine) {
    const auto invalid = [](const char *value, int line) {
        return std::make_pair(2, "fsports: Invalid value (" + std::string(value) +
                                     ") specified on line " + std::to_string(line) +
                                     " - ignored.\n");
    };
    const auto unsupported = [](const char *name, int line) {
        return std::make_pair(2, "fsports: Unsupported directive '" + std::string(name) +
                                     "' on line " + std::to_string(line) + "\n");
    };
    const struct {
        std::string text;
        int altpmap;
        std::vector<std::pair<int, std::string>> reports;
    } cases[] = {
        {"AltPmap 0x1500\n", 5376, {}},
        {"altpmap\t010\n", 8, {}},
        {"ALTPMAP 6000", 6000, {}},
        {"altpmap 6000\nminport 1024\nmaxport 65535\naltpmap 7000\naltpmap 0\n",
         7000,
         {invalid("0", 5)}},
        {"# altpmap 1234\n\n   \t\n#altpmap 99\nbogus 5\n", 0, {unsupported("bogus", 5)}},
        {"altpmap 70000\nmaxport\nportmap 5\naltpmap -4\naltpmap 5000\n",
         5000,
         {invalid("70000", 1),
          {2, "fsports: No value recognized on line 2 - ignored.\n"},
          unsupported("portmap", 3),
          invalid("-4", 4)}},
        {std::string(254, ' ') + "altpmap 4242\n", 0, {}},
        {"altpmap 1" + std::string(245, ' ') + "bogus 7\nx\n", 1, {unsupported("x", 2)}},
        {"#" + std::string(260, ' ') + "altpmap 99\n", 0, {}},
        {"altpmap 5\r\naltpmap 6\r\n", 6, {}},
    };
    int missing = -1;
    read_fsports(&missing);
    EXPECT_EQ(missing, 0) << "no file: silently no port";
    EXPECT_TRUE(g_messages.empty());
    for (const auto &c : cases) {
        g_messages.clear();
        EXPECT_EQ(read(c.text), c.altpmap) << c.text;
        EXPECT_EQ(g_messages, c.reports) << c.text;
    }
    EXPECT_TRUE(syslog_.lines.empty());
}

TEST_F(Fsports, WithoutAMessageHookReportsGoToTheSystemLogWithCode4) {
    message_hook = nullptr;
    EXPECT_EQ(read("altpmap 70000\n"), 0);
    EXPECT_EQ(syslog_.lines,
              (std::vector<std::pair<int, std::string>>{
                  {4, "fsports: Invalid value (70000) specified on line 1 - ignored.\n"}}));
}

// A FIFO in place of the file is reported, never read (a read would block); so is a file
// beyond the size limit.
TEST_F(Fsports, OnlyARegularFileOfLimitedSizeIsRead) {
    const std::string path = root_.config_dir() + "/fsports";
    const struct {
        const char *name;
        std::function<void()> make;
        std::string report;
        bool blocks;
    } cases[] = {
        {"fifo", [&] { mkfifo(path.c_str(), 0600); }, path + " is not a regular file", true},
        {"too large",
         [&] { root_.write_config("fsports", std::string(FSPORTS_FILE_MAX + 1, '#')); },
         path + " is larger than 65536 bytes", false},
    };
    for (const auto &c : cases) {
        unlink(path.c_str());
        c.make();
        const std::pair<int, std::string> report = {2, "fsports: " + c.report + " - ignored.\n"};
        const auto check = [&] {
            g_messages.clear();
            int altpmap = -1;
            read_fsports(&altpmap);
            return altpmap == 0 && g_messages == std::vector{report} ? 0 : 1;
        };
        // A blocking read would hang the test: the FIFO is read in a child that is killed.
        const int outcome = c.blocks ? run_bounded_child(check, 5000) : check();
        EXPECT_EQ(outcome, 0) << c.name;
    }
}

} // namespace
