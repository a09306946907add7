#include "libfsmcomm/fsports.h"
#include "libutil/fatal.h"
#include "libutil/logging.h"
#include "support_peer.h"

#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

namespace {

std::vector<std::pair<int, std::string>> g_messages;
std::vector<std::pair<int, std::string>> g_syslog;

void capture_message(int code, const char *text) {
    g_messages.emplace_back(code, text);
}

void capture_syslog(int code, const char *format, ...) {
    char text[512];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    g_syslog.emplace_back(code, text);
}

class Fsports : public testing::Test {
protected:
    void SetUp() override {
        g_messages.clear();
        g_syslog.clear();
        saved_syslog_ = syslog_hook;
        syslog_hook = capture_syslog;
        message_hook = capture_message;
    }
    void TearDown() override {
        syslog_hook = saved_syslog_;
        message_hook = nullptr;
    }
    int read(const std::string &text) {
        root_.write_config("fsports", text);
        int altpmap = -1;
        read_fsports(&altpmap);
        return altpmap;
    }
    private_root root_;
    syslog_hook_fn saved_syslog_ = nullptr;
};

TEST_F(Fsports, DirectiveIgnoresCaseAndValueTakesAnyBase) {
    EXPECT_EQ(read("AltPmap 0x1500\n"), 5376);
    EXPECT_EQ(read("altpmap\t010\n"), 8);
    EXPECT_EQ(read("ALTPMAP 6000"), 6000) << "last line without a line end";
    EXPECT_TRUE(g_messages.empty());
}

TEST_F(Fsports, LastValidAltpmapWinsAndRangeLinesOnlyValidate) {
    EXPECT_EQ(read("altpmap 6000\nminport 1024\nmaxport 65535\naltpmap 7000\naltpmap 0\n"), 7000);
    ASSERT_EQ(g_messages.size(), 1u);
    EXPECT_EQ(g_messages[0].second, "fsports: Invalid value (0) specified on line 5 - ignored.\n");
}

TEST_F(Fsports, CommentsAndEmptyLinesAreSkippedButCounted) {
    EXPECT_EQ(read("# altpmap 1234\n\n   \t\n#altpmap 99\nbogus 5\n"), 0);
    ASSERT_EQ(g_messages.size(), 1u);
    EXPECT_EQ(g_messages[0].second, "fsports: Unsupported directive 'bogus' on line 5\n");
}

TEST_F(Fsports, BadLinesAreReportedWithCode2AndSkipped) {
    EXPECT_EQ(read("altpmap 70000\nmaxport\nportmap 5\naltpmap -4\naltpmap 5000\n"), 5000);
    const std::vector<std::pair<int, std::string>> expected = {
        {2, "fsports: Invalid value (70000) specified on line 1 - ignored.\n"},
        {2, "fsports: No value recognized on line 2 - ignored.\n"},
        {2, "fsports: Unsupported directive 'portmap' on line 3\n"},
        {2, "fsports: Invalid value (-4) specified on line 4 - ignored.\n"},
    };
    EXPECT_EQ(g_messages, expected);
    EXPECT_TRUE(g_syslog.empty());
}

TEST_F(Fsports, WithoutAMessageHookReportsGoToTheSystemLogWithCode4) {
    message_hook = nullptr;
    EXPECT_EQ(read("altpmap 70000\n"), 0);
    ASSERT_EQ(g_syslog.size(), 1u);
    EXPECT_EQ(g_syslog[0].first, 4);
    EXPECT_EQ(g_syslog[0].second,
              "fsports: Invalid value (70000) specified on line 1 - ignored.\n");
}

TEST_F(Fsports, MissingFileIsSilent) {
    int altpmap = -1;
    read_fsports(&altpmap);
    EXPECT_EQ(altpmap, 0);
    EXPECT_TRUE(g_messages.empty());
    EXPECT_TRUE(g_syslog.empty());
}

TEST_F(Fsports, AtMost254CharactersAreReadPerLine) {
    // The rest of an overlong line is read as the next line.
    EXPECT_EQ(read(std::string(254, ' ') + "altpmap 4242\n"), 4242);
    EXPECT_TRUE(g_messages.empty());
    EXPECT_EQ(read("altpmap 1" + std::string(245, ' ') + "bogus 7\n"), 1);
    ASSERT_EQ(g_messages.size(), 1u);
    EXPECT_EQ(g_messages[0].second, "fsports: Unsupported directive 'bogus' on line 2\n");
}

} // namespace
