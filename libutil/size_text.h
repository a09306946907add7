// Size texts ("10G", "0x1FFF", "1,024") and the days-hours-minutes text of a duration.
#pragma once

#include <cstddef>
#include <cstdint>

// Parses a size text: optional sign, 0x (hex) / 0 (octal) / decimal, k m g t p multipliers
// (powers of two), commas ignored. Arithmetic wraps modulo 2^64.
// Returns 1 and the value, or 0 and 0 for an invalid text.
int size_parse(const char *text, int64_t *value);

// Shortest exact text: "0", "<n>P/T/G/M/K" for exact multiples, else plain decimal.
// Returns 1, or 0 with an empty buffer when the text does not fit in size - 1 characters.
int size_format(uint64_t value, char *buffer, size_t size);

// "%s%3dd-%2dh-%2dm": sign ("-" or a blank), days, hours, minutes. Returns 0.
int minutes_format(int64_t minutes, char *buffer, size_t size);
