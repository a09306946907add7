// Byte-order helper for the wire formats the simulator speaks: every multi-byte field goes
// through these, so the layouts are written as offsets and widths, not as shifts. Internal
// linkage, so that they never meet the console's helpers of the same names.
#pragma once

#include <cstdint>

static inline void put_be16(uint8_t *p, uint16_t v) {
    p[0] = uint8_t(v >> 8);
    p[1] = uint8_t(v);
}

static inline void put_be32(uint8_t *p, uint32_t v) {
    put_be16(p, uint16_t(v >> 16));
    put_be16(p + 2, uint16_t(v));
}

static inline void put_be64(uint8_t *p, uint64_t v) {
    put_be32(p, uint32_t(v >> 32));
    put_be32(p + 4, uint32_t(v));
}

static inline uint16_t get_be16(const uint8_t *p) {
    return uint16_t(p[0] << 8 | p[1]);
}

static inline uint32_t get_be32(const uint8_t *p) {
    return uint32_t(get_be16(p)) << 16 | get_be16(p + 2);
}

static inline uint64_t get_be64(const uint8_t *p) {
    return uint64_t(get_be32(p)) << 32 | get_be32(p + 4);
}
