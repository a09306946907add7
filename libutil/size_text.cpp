#include "libutil/size_text.h"

#include "libutil/fatal.h"

#include <cctype>
#include <cstring>

namespace {

int multiplier_shift(char c) {
    switch (c) {
    case 'k':
    case 'K':
        return 10;
    case 'm':
    case 'M':
        return 20;
    case 'g':
    case 'G':
        return 30;
    case 't':
    case 'T':
        return 40;
    case 'p':
    case 'P':
        return 50;
    default:
        return -1;
    }
}

int hex_value(char c) {
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

} // namespace

int size_parse(const char *text, int64_t *value) {
    *value = 0;
    if (text == nullptr || *text == '\0')
        return 0;

    const unsigned char *p = reinterpret_cast<const unsigned char *>(text);
    while (isspace(*p))
        ++p;
    bool negative = false;
    if (*p == '-') {
        negative = true;
        ++p;
    }

    bool hex = false, prefixed = false, octal_valid = false, any_digit = false;
    if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
        hex = prefixed = true;
        p += 2;
    } else if (p[0] == '0') {
        prefixed = octal_valid = any_digit = true;
        ++p;
    }

    // The three readings accumulate side by side; the prefix decides which one counts.
    uint64_t oct = 0, dec = 0, hexv = 0;
    for (;; ++p) {
        unsigned char c = *p;
        if (c == '\0' || c == '\r' || c == '\n')
            break;
        if (c == ',')
            continue;
        if (isdigit(c)) {
            unsigned d = c - '0';
            if (d >= 8)
                octal_valid = false;
            oct = oct * 8 + d;
            dec = dec * 10 + d;
            hexv = hexv * 16 + d;
            any_digit = true;
            continue;
        }
        if (hex_value(c) >= 0) {
            if (!hex)
                return 0;
            unsigned d = static_cast<unsigned>(hex_value(c));
            hexv = hexv * 16 + d;
            any_digit = true;
            continue;
        }
        int shift = multiplier_shift(static_cast<char>(c));
        if (shift >= 0) {
            if (!any_digit)
                return 0;
            oct <<= shift;
            dec <<= shift;
            hexv <<= shift;
            continue;
        }
        // Any other character ends the number; from there on only whitespace may follow.
        // (The ending character itself must be whitespace too, so "12x" is not 12.)
        while (*p != '\0' && isspace(*p))
            ++p;
        if (*p != '\0')
            return 0;
        break;
    }
    if (!any_digit)
        return 0;

    uint64_t result = octal_valid ? oct : (!prefixed ? dec : hexv);
    if (negative)
        result = 0 - result;
    *value = static_cast<int64_t>(result);
    return 1;
}

int size_format(uint64_t value, char *buffer, size_t size) {
    static const struct {
        int shift;
        char suffix;
    } units[] = {{50, 'P'}, {40, 'T'}, {30, 'G'}, {20, 'M'}, {10, 'K'}};

    if (buffer == nullptr || size == 0)
        return 0;
    char text[32];
    if (value == 0) {
        strcpy(text, "0");
    } else {
        bounded_format(text, sizeof text, "%llu", static_cast<unsigned long long>(value));
        for (const auto &u : units) {
            uint64_t unit = uint64_t{1} << u.shift;
            if (value % unit == 0) {
                bounded_format(text, sizeof text, "%llu%c",
                               static_cast<unsigned long long>(value / unit), u.suffix);
                break;
            }
        }
    }
    if (strlen(text) > size - 1) {
        buffer[0] = '\0';
        return 0;
    }
    strcpy(buffer, text);
    return 1;
}

int minutes_format(int64_t minutes, char *buffer, size_t size) {
    const char *sign = minutes < 0 ? "-" : " ";
    uint64_t m = minutes < 0 ? 0 - static_cast<uint64_t>(minutes) : static_cast<uint64_t>(minutes);
    bounded_format(buffer, size, "%s%3dd-%2dh-%2dm", sign, static_cast<int>(m / 1440),
                   static_cast<int>(m % 1440 / 60), static_cast<int>(m % 60));
    return 0;
}
