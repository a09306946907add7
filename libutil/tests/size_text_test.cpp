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
        {"10", 1, 10},           {"0x1FFF", 1, 8191},
        {"010", 1, 8},           {"10G", 1, 10737418240LL},
        {"3k", 1, 3072},         {"2P", 1, 2LL << 50},
        {"1,000", 1, 1000},      {"-5", 1, -5},
        {"12 ", 1, 12},          {"12\r\n", 1, 12},
        {"019", 1, 25}, // a leading zero with 8 or 9 falls back to the hexadecimal reading
        {"0x10k", 1, 16 * 1024},
    };
    for (const auto &c : cases) {
        int64_t v = -1;
        EXPECT_EQ(size_parse(c.text, &v), c.ok) << c.text;
        EXPECT_EQ(v, c.value) << c.text;
    }
}

// Malformed texts give 0 and a value of 0; overflow wraps modulo 64 bits without complaint.
TEST(SizeParse, RejectsMalformedTextsAndWrapsLargeOnes) {
    for (const char *text : {"", "12 x", "k", "12x", "-", "0xg"}) {
        int64_t v = 99;
        EXPECT_EQ(size_parse(text, &v), 0) << '"' << text << '"';
        EXPECT_EQ(v, 0) << text;
    }
    int64_t v = 99;
    EXPECT_EQ(size_parse(nullptr, &v), 0);
    EXPECT_EQ(size_parse("16p16", &v), 1);
    EXPECT_EQ(size_parse("0xFFFFFFFFFFFFFFFF", &v), 1);
    EXPECT_EQ(v, -1);
}

// The largest exact suffix, or none; a buffer too short gives 0 and an empty text. Every text
// reads back as its value.
TEST(SizeFormat, UsesLargestExactSuffixAndReadsBack) {
    const struct {
        uint64_t value;
        size_t size;
        const char *text; // "" for a buffer too short
    } cases[] = {{0, 32, "0"},
                 {1024, 32, "1K"},
                 {1000, 32, "1000"},
                 {1536, 32, "1536"},
                 {10737418240ULL, 32, "10G"},
                 {3ULL << 50, 32, "3P"},
                 {1ULL << 60, 32, "1024P"},
                 {1000, 4, ""},
                 {1024, 3, "1K"},
                 {1024, 2, ""}};
    for (const auto &c : cases) {
        char buf[64] = "x";
        EXPECT_EQ(size_format(c.value, buf, c.size), *c.text != 0 ? 1 : 0) << c.value;
        EXPECT_STREQ(buf, c.text) << c.value;
        int64_t back = 0;
        EXPECT_TRUE(*c.text == 0 || (size_parse(buf, &back) == 1 && uint64_t(back) == c.value))
            << buf;
    }
}

TEST(MinutesFormat, PadsDaysHoursAndMinutes) {
    const struct {
        int minutes;
        size_t size;
        const char *text;
    } cases[] = {
        {1575, 64, "   1d- 2h-15m"},  {90, 64, "   0d- 1h-30m"},           {0, 64, "   0d- 0h- 0m"},
        {-1575, 64, "-  1d- 2h-15m"}, {1500 * 1440, 64, " 1500d- 0h- 0m"}, {1575, 6, "   1d"}};
    for (const auto &c : cases) {
        char buf[64];
        EXPECT_EQ(minutes_format(c.minutes, buf, c.size), 0) << c.minutes;
        EXPECT_STREQ(buf, c.text) << c.minutes;
    }
}

} // namespace
