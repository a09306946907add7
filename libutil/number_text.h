// Number texts at a cursor: plain unsigned conversion, decimal counts and sizes with k/m/g.
#pragma once

#include <cstdint>

// strtoull-style conversion: leading white space, one "+" or "-", "0x"/"0X" for base 0 or 16,
// a leading "0" selects octal for base 0; digits 0-9 then letters as 10..35 below the base.
// A minus sign gives the two's complement. On overflow all digits are still consumed, errno
// becomes ERANGE (34) and the result is all ones. `end` (when given) receives the position
// after the last digit, or `text` itself when no digit was read. Base must be 0 or 2..36.
uint64_t parse_number(const char *text, const char **end, int base);

// Decimal number at *cursor. On success stores it, moves the cursor past the digits and
// returns true; with no digits returns false and leaves both alone.
bool parse_decimal(const char **cursor, uint64_t *out);

// Number at *cursor (decimal, 0x hexadecimal or 0 octal), then one optional multiplier letter:
// k/K (x 2^10), m/M (x 2^20), g/G (x 2^30); the cursor moves past the letter. Without a letter
// the number must be followed by the end of text, a tab, a blank or a comma. On success stores
// the value and returns true. Returns false with cursor and value untouched when there are no
// digits, and also when another character follows the number; then `error_text` (when given)
// points at "Invalid unit multiplier (k/K/m/M/g/G allowed)". The multiplier is a plain shift
// (modulo 2^64).
bool parse_size(const char **cursor, uint64_t *out, const char **error_text);
