#include "libutil/size_text.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct ParseCase {
    const char *text;
    int ok;
    int64_t value;
};

TEST(SizeParse, AcceptsEveryNotation) {
    const ParseCase cases[] = {
        {"10", 1, 10},
        {"0x1FFF", 1, 8191},
        {"0X1fff", 1, 8191},
        {"010", 1, 8},
        {"0", 1, 0},
        {"10G", 1, 10737418240LL},
        {"1024M", 1, 1073741824LL},
        {"3k", 1, 3072},
        {"1t", 1, 1LL << 40},
        {"2P", 1, 2LL << 50},
        {"1,000", 1, 1000},
        {"-5", 1, -5},
        {"12 ", 1, 12},
        {"  7", 1, 7},
        {"12\r\n", 1, 12},
        {"019", 1, 25}, // a leading zero with 8 or 9 falls back to the hexadecimal reading
        {"0x10k", 1, 16 * 1024},
    };
    for (const auto &c : cases) {
        int64_t v = -1;
        EXPECT_EQ(size_parse(c.text, &v), c.ok) << c.text;
        EXPECT_EQ(v, c.value) << c.text;
    }
}

TEST(SizeParse, RejectsMalformedTexts) {
    for (const char *text : {"", "12 x", "1e", "k", "abc", "12x", "-", " ", "0xg"}) {
        int64_t v = 99;
        EXPECT_EQ(size_parse(text, &v), 0) << '"' << text << '"';
        EXPECT_EQ(v, 0) << text;
    }
    int64_t v = 99;
    EXPECT_EQ(size_parse(nullptr, &v), 0);
}

TEST(SizeParse, WrapsModulo64Bits) {
    int64_t v = 0;
    EXPECT_EQ(size_parse("16p16", &v), 1); // (16 << 50) * 10 + ... wraps silently
    EXPECT_EQ(size_parse("0xFFFFFFFFFFFFFFFF", &v), 1);
    EXPECT_EQ(v, -1);
}

std::string fmt(uint64_t value, size_t size = 32) {
    char buf[64];
    int ok = size_format(value, buf, size);
    return std::to_string(ok) + ":" + buf;
}

TEST(SizeFormat, UsesLargestExactSuffix) {
    EXPECT_EQ(fmt(0), "1:0");
    EXPECT_EQ(fmt(1024), "1:1K");
    EXPECT_EQ(fmt(1048576), "1:1M");
    EXPECT_EQ(fmt(1000), "1:1000");
    EXPECT_EQ(fmt(1536), "1:1536");
    EXPECT_EQ(fmt(3072), "1:3K");
    EXPECT_EQ(fmt(10737418240ULL), "1:10G");
    EXPECT_EQ(fmt(1ULL << 40), "1:1T");
    EXPECT_EQ(fmt(3ULL << 50), "1:3P");
    EXPECT_EQ(fmt(1ULL << 60), "1:1024P");
}

TEST(SizeFormat, ShortBufferGivesEmptyText) {
    EXPECT_EQ(fmt(1000, 4), "0:");
    EXPECT_EQ(fmt(1000, 5), "1:1000");
    EXPECT_EQ(fmt(1024, 3), "1:1K");
    EXPECT_EQ(fmt(1024, 2), "0:");
}

TEST(SizeFormat, RoundTripsThroughParse) {
    for (uint64_t v : {1ULL, 1023ULL, 4096ULL, 5ULL << 30, 123456789ULL, 7ULL << 50}) {
        char buf[32];
        ASSERT_EQ(size_format(v, buf, sizeof buf), 1);
        int64_t back = 0;
        ASSERT_EQ(size_parse(buf, &back), 1) << buf;
        EXPECT_EQ(static_cast<uint64_t>(back), v) << buf;
    }
}

TEST(MinutesFormat, PadsDaysHoursAndMinutes) {
    char buf[64];
    EXPECT_EQ(minutes_format(1575, buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "   1d- 2h-15m");
    minutes_format(90, buf, sizeof buf);
    EXPECT_STREQ(buf, "   0d- 1h-30m");
    minutes_format(0, buf, sizeof buf);
    EXPECT_STREQ(buf, "   0d- 0h- 0m");
    minutes_format(-1575, buf, sizeof buf);
    EXPECT_STREQ(buf, "-  1d- 2h-15m");
    minutes_format(1500 * 1440, buf, sizeof buf);
    EXPECT_STREQ(buf, " 1500d- 0h- 0m");
    minutes_format(1575, buf, 6);
    EXPECT_STREQ(buf, "   1d");
}

} // namespace
