#include "libutil/number_text.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

namespace {

const char bad_multiplier[] = "Invalid unit multiplier (k/K/m/M/g/G allowed)";

// ---- parse_number ----

// Value, how far the end moved and errno: signs (a minus gives the two's complement), blanks,
// base selection ("089" stops at the 8 in base 0), texts without digits (the end stays put), and
// overflow, which consumes every digit and gives all ones.
TEST(ParseNumber, ValueEndAndErrorForEachNotation) {
    const struct {
        const char *text;
        int base;
        uint64_t value;
        size_t end;
        int error;
    } cases[] = {{"  -12", 10, UINT64_MAX - 11, 5, 0},
                 {"\t+7x", 10, 7, 3, 0},
                 {"0x1FFF", 0, 8191, 6, 0},
                 {"010", 0, 8, 3, 0},
                 {"0x10", 10, 0, 1, 0},
                 {"089", 0, 0, 1, 0},
                 {"zZ", 36, 35 * 36 + 35, 2, 0},
                 {"", 0, 0, 0, 0},
                 {"  -", 0, 0, 0, 0},
                 {"0x", 0, 0, 0, 0},
                 {"18446744073709551615", 10, UINT64_MAX, 20, 0},
                 {"18446744073709551616 rest", 10, UINT64_MAX, 20, ERANGE},
                 {"-0x10000000000000000", 0, UINT64_MAX, 20, ERANGE}};
    for (const auto &c : cases) {
        const char *end = nullptr;
        errno = 0;
        EXPECT_EQ(parse_number(c.text, &end, c.base), c.value) << '"' << c.text << '"';
        EXPECT_EQ(end, c.text + c.end) << '"' << c.text << '"';
        EXPECT_EQ(errno, c.error) << '"' << c.text << '"';
    }
}

// ---- parse_decimal ----

// Always decimal ("012" is 12); without digits neither cursor nor value move.
TEST(ParseDecimal, MovesCursorPastDigitsOnlyAndLeavesItWithoutDigits) {
    const struct {
        const char *text;
        bool parsed;
        uint64_t value;
        size_t end;
    } cases[] = {{"  42,7", true, 42, 4}, {"012", true, 12, 3}, {"x12", false, 99, 0}};
    for (const auto &c : cases) {
        const char *cursor = c.text;
        uint64_t value = 99;
        EXPECT_EQ(parse_decimal(&cursor, &value), c.parsed) << c.text;
        EXPECT_EQ(value, c.value) << c.text;
        EXPECT_EQ(cursor, c.text + c.end) << c.text;
    }
}

// ---- parse_size ----

// Multipliers in both cases, bases, and where the cursor stops: after the number or its
// multiplier, where only the character right after the digits is checked. "-1k" is the two's
// complement of 1024.
TEST(ParseSize, ValueAndCursorOfAcceptedTexts) {
    const struct {
        const char *text;
        uint64_t value;
        size_t end;
    } cases[] = {{"10", 10, 2},
                 {"3k", 3072, 2},
                 {"4M", 4194304, 2},
                 {"10G", 10737418240u, 3},
                 {"0x1FFF", 8191, 6},
                 {"0x10k", 16384, 5},
                 {"012K", 10240, 4},
                 {"-1k", UINT64_MAX << 10, 3},
                 {"1024M,rest", 1073741824, 5},
                 {"12 x", 12, 2},
                 {"5kq", 5120, 2}};
    for (const auto &c : cases) {
        const char *cursor = c.text;
        uint64_t value = 1;
        const char *error = nullptr;
        ASSERT_TRUE(parse_size(&cursor, &value, &error)) << c.text;
        EXPECT_EQ(value, c.value) << c.text;
        EXPECT_EQ(cursor, c.text + c.end) << c.text;
        EXPECT_EQ(error, nullptr) << c.text;
    }
}

// An unknown multiplier fails with its text; no digits fails without one. Neither moves the
// cursor nor changes the value.
TEST(ParseSize, RefusedTextsLeaveCursorAndValue) {
    const struct {
        const char *text;
        const char *error;
    } cases[] = {{"5q", bad_multiplier}, {"1t", bad_multiplier}, {"0x1FFFz", bad_multiplier},
                 {"", nullptr},          {"k", nullptr},         {" M", nullptr}};
    for (const auto &c : cases) {
        const char *cursor = c.text;
        uint64_t value = 77;
        const char *error = nullptr;
        EXPECT_FALSE(parse_size(&cursor, &value, &error)) << c.text;
        EXPECT_STREQ(error, c.error) << c.text;
        EXPECT_EQ(cursor, c.text);
        EXPECT_EQ(value, 77u);
    }
}

} // namespace
