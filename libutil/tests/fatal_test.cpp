#include "libutil/fatal.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>

namespace {

// The text is cut to the buffer, its full length returned; no format leaves the buffer alone.
TEST(BoundedFormat, TerminatesInsideTheBufferAndReportsFullLength) {
    char buf[8];
    memset(buf, 'x', sizeof buf);
    EXPECT_EQ(bounded_format(buf, sizeof buf, "%s-%d", "abcdef", 42), 9u);
    EXPECT_STREQ(buf, "abcdef-");
    const char *no_format = nullptr;
    EXPECT_EQ(bounded_format(buf, sizeof buf, no_format), SIZE_MAX);
    EXPECT_STREQ(buf, "abcdef-");
}

TEST(FatalAssertDeathTest, AbortReportsExpressionModuleSourceAndLine) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            set_module_name("kxntadmin");
            fatal_assert("ASSERT failed ", "q->d.nfds < q->d.maxfds", 1, "libfsmcomm/pollset", 77);
        },
        "ERROR: syslog called before library initialized: level 1, text 'PANIC: kxntadmin ASSERT "
        "failed \"q->d.nfds < q->d.maxfds\" file libfsmcomm/pollset, line 77'\n"
        "PANIC: kxntadmin ASSERT failed \"q->d.nfds < q->d.maxfds\" file libfsmcomm/pollset, "
        "line 77\n");
}

// The module name is "libutil" until a program sets its own.
TEST(FatalAssertDeathTest, ZeroAbortFlagExitsWithStatusOne) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(fatal_assert("ASSERT failed ", "x", 0, "src", 1), testing::ExitedWithCode(1),
                "PANIC: libutil ASSERT failed \"x\" file src, line 1");
}

TEST(FatalAssertDeathTest, MacroPassesTheExpressionText) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    int nfds = 3;
    EXPECT_DEATH(KX_ASSERT(nfds < 2, "unit"), "ASSERT failed \"nfds < 2\" file unit, line");
}

} // namespace
