#include "libutil/number_text.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

namespace {

const char bad_multiplier[] = "Invalid unit multiplier (k/K/m/M/g/G allowed)";

// ---- parse_number ----

TEST(ParseNumber, SignsAndLeadingBlanks) {
    const char *text = "  -12";
    const char *end = nullptr;
    EXPECT_EQ(parse_number(text, &end, 10), UINT64_MAX - 11); // two's complement of 12
    EXPECT_EQ(end, text + 5);
    EXPECT_EQ(parse_number("\t+7x", &end, 10), 7u);
    EXPECT_EQ(*end, 'x');
}

TEST(ParseNumber, BaseSelection) {
    const char *end = nullptr;
    EXPECT_EQ(parse_number("0x1FFF", &end, 0), 8191u);
    EXPECT_EQ(parse_number("0X1fff", &end, 16), 8191u);
    EXPECT_EQ(parse_number("1fff", &end, 16), 8191u);
    EXPECT_EQ(parse_number("010", &end, 0), 8u);
    EXPECT_EQ(parse_number("010", &end, 10), 10u);
    EXPECT_EQ(parse_number("0x10", &end, 10), 0u);
    EXPECT_EQ(*end, 'x');
    EXPECT_EQ(parse_number("089", &end, 0), 0u); // 8 is not an octal digit
    EXPECT_EQ(*end, '8');
    EXPECT_EQ(parse_number("zZ", &end, 36), 35u * 36 + 35);
    EXPECT_EQ(parse_number("1012", &end, 2), 5u);
    EXPECT_EQ(*end, '2');
}

TEST(ParseNumber, NoDigitsLeavesEndAtTheStartOfTheText) {
    const char *end = nullptr;
    for (const char *text : {"", "   ", "  -", "abc", "0x", "  0xg"}) {
        EXPECT_EQ(parse_number(text, &end, 0), 0u) << '"' << text << '"';
        EXPECT_EQ(end, text) << '"' << text << '"';
    }
}

TEST(ParseNumber, OverflowConsumesAllDigitsAndGivesAllOnesWithRangeError) {
    const char *end = nullptr;
    errno = 0;
    EXPECT_EQ(parse_number("18446744073709551615", &end, 10), UINT64_MAX);
    EXPECT_EQ(errno, 0);

    const char *text = "18446744073709551616 rest";
    EXPECT_EQ(parse_number(text, &end, 10), UINT64_MAX);
    EXPECT_EQ(errno, 34);
    EXPECT_EQ(end, text + 20);

    errno = 0;
    EXPECT_EQ(parse_number("-0x10000000000000000", &end, 0), UINT64_MAX);
    EXPECT_EQ(errno, ERANGE);
    EXPECT_EQ(*end, '\0');
}

// ---- parse_decimal ----

TEST(ParseDecimal, MovesCursorPastDigitsOnly) {
    const char *cursor = "  42,7";
    uint64_t value = 0;
    ASSERT_TRUE(parse_decimal(&cursor, &value));
    EXPECT_EQ(value, 42u);
    EXPECT_STREQ(cursor, ",7");

    cursor = "012";
    ASSERT_TRUE(parse_decimal(&cursor, &value));
    EXPECT_EQ(value, 12u); // always decimal, no octal
}

TEST(ParseDecimal, NoDigitsLeavesCursorAndValueAlone) {
    const char *start = "x12";
    const char *cursor = start;
    uint64_t value = 99;
    EXPECT_FALSE(parse_decimal(&cursor, &value));
    EXPECT_EQ(cursor, start);
    EXPECT_EQ(value, 99u);
}

// ---- parse_size ----

TEST(ParseSize, MultipliersInBothCases) {
    struct {
        const char *text;
        uint64_t value;
    } cases[] = {
        {"10", 10},       {"3k", 3072},       {"3K", 3072},          {"2m", 2097152},
        {"4M", 4194304},  {"1g", 1073741824}, {"10G", 10737418240u}, {"0x1FFF", 8191},
        {"0x10k", 16384}, {"010", 8},         {"012K", 10240},       {"0", 0},
    };
    for (const auto &c : cases) {
        const char *cursor = c.text;
        uint64_t value = 1;
        const char *error = nullptr;
        ASSERT_TRUE(parse_size(&cursor, &value, &error)) << c.text;
        EXPECT_EQ(value, c.value) << c.text;
        EXPECT_EQ(*cursor, '\0') << c.text;
        EXPECT_EQ(error, nullptr) << c.text;
    }
}

TEST(ParseSize, CursorStopsAfterTheNumberOrItsMultiplier) {
    const char *cursor = "1024M,rest";
    uint64_t value = 0;
    ASSERT_TRUE(parse_size(&cursor, &value, nullptr));
    EXPECT_EQ(value, 1073741824u);
    EXPECT_STREQ(cursor, ",rest");

    for (const char *text : {"12 x", "12\tx", "12,x"}) {
        cursor = text;
        ASSERT_TRUE(parse_size(&cursor, &value, nullptr)) << text;
        EXPECT_EQ(value, 12u);
        EXPECT_EQ(cursor, text + 2);
    }

    cursor = "5kq"; // only the character right after the digits is checked
    ASSERT_TRUE(parse_size(&cursor, &value, nullptr));
    EXPECT_EQ(value, 5120u);
    EXPECT_STREQ(cursor, "q");
}

TEST(ParseSize, UnknownMultiplierFailsWithItsText) {
    for (const char *text : {"5q", "1t", "7.5", "0x1FFFz"}) {
        const char *cursor = text;
        uint64_t value = 77;
        const char *error = nullptr;
        EXPECT_FALSE(parse_size(&cursor, &value, &error)) << text;
        ASSERT_NE(error, nullptr) << text;
        EXPECT_STREQ(error, bad_multiplier);
        EXPECT_EQ(cursor, text);
        EXPECT_EQ(value, 77u);
    }
}

TEST(ParseSize, NoDigitsFailsWithoutErrorText) {
    for (const char *text : {"", "k", " M", "-"}) {
        const char *cursor = text;
        uint64_t value = 5;
        const char *error = nullptr;
        EXPECT_FALSE(parse_size(&cursor, &value, &error)) << text;
        EXPECT_EQ(cursor, text);
        EXPECT_EQ(value, 5u);
        EXPECT_EQ(error, nullptr);
    }
}

TEST(ParseSize, NegativeSizeIsTwosComplement) {
    const char *cursor = "-1k";
    uint64_t value = 0;
    ASSERT_TRUE(parse_size(&cursor, &value, nullptr));
    EXPECT_EQ(value, UINT64_MAX << 10);
}

} // namespace
