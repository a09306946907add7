#include "libutil/number_text.h"

#include "libutil/fatal.h"

#include <cctype>
#include <cerrno>

namespace {

// Value of a digit character in bases up to 36, or 36 for anything else.
unsigned digit_value(char c) {
    if (c >= '0' && c <= '9')
        return static_cast<unsigned>(c - '0');
    if (c >= 'a' && c <= 'z')
        return static_cast<unsigned>(c - 'a') + 10;
    if (c >= 'A' && c <= 'Z')
        return static_cast<unsigned>(c - 'A') + 10;
    return 36;
}

} // namespace

uint64_t parse_number(const char *text, const char **end, int base) {
    KX_ASSERT(text != nullptr && (base == 0 || (base >= 2 && base <= 36)), "libutil");
    const char *p = text;
    while (isspace(static_cast<unsigned char>(*p)))
        ++p;
    bool negative = false;
    if (*p == '+' || *p == '-')
        negative = *p++ == '-';
    if ((base == 0 || base == 16) && p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
        base = 16;
        p += 2;
    } else if (base == 0) {
        base = p[0] == '0' ? 8 : 10;
    }

    const char *digits = p;
    uint64_t value = 0;
    bool overflow = false;
    for (unsigned d; (d = digit_value(*p)) < static_cast<unsigned>(base); ++p) {
        if (overflow)
            continue;
        overflow = __builtin_mul_overflow(value, static_cast<uint64_t>(base), &value) ||
                   __builtin_add_overflow(value, static_cast<uint64_t>(d), &value);
    }
    if (end)
        *end = p == digits ? text : p;
    if (overflow) {
        errno = ERANGE;
        return UINT64_MAX;
    }
    return negative ? 0 - value : value;
}

bool parse_decimal(const char **cursor, uint64_t *out) {
    const char *end;
    uint64_t value = parse_number(*cursor, &end, 10);
    if (end == *cursor)
        return false;
    *out = value;
    *cursor = end;
    return true;
}

bool parse_size(const char **cursor, uint64_t *out, const char **error_text) {
    const char *end;
    uint64_t value = parse_number(*cursor, &end, 0);
    if (end == *cursor)
        return false;
    switch (*end) {
    case 'k':
    case 'K':
        value <<= 10;
        ++end;
        break;
    case 'm':
    case 'M':
        value <<= 20;
        ++end;
        break;
    case 'g':
    case 'G':
        value <<= 30;
        ++end;
        break;
    case '\0':
    case '\t':
    case ' ':
    case ',':
        break;
    default:
        if (error_text)
            *error_text = "Invalid unit multiplier (k/K/m/M/g/G allowed)";
        return false;
    }
    *out = value;
    *cursor = end;
    return true;
}
