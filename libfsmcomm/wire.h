// Byte-order helpers for wire fields: big-endian 16/24/32/64-bit and little-endian 32/64-bit
// values read from and written to byte buffers, and a reader for replies that arrived short.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

inline uint16_t get_be16(const uint8_t *p) {
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

inline uint32_t get_be24(const uint8_t *p) {
    return (static_cast<uint32_t>(p[0]) << 16) | (static_cast<uint32_t>(p[1]) << 8) | p[2];
}

inline uint32_t get_be32(const uint8_t *p) {
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | p[3];
}

inline uint64_t get_be64(const uint8_t *p) {
    return (static_cast<uint64_t>(get_be32(p)) << 32) | get_be32(p + 4);
}

inline uint32_t get_le32(const uint8_t *p) {
    return p[0] | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}

inline uint64_t get_le64(const uint8_t *p) {
    uint64_t value = 0;
    for (int i = 7; i >= 0; --i)
        value = (value << 8) | p[i];
    return value;
}

inline void put_be16(uint8_t *p, uint16_t value) {
    p[0] = static_cast<uint8_t>(value >> 8);
    p[1] = static_cast<uint8_t>(value);
}

inline void put_be24(uint8_t *p, uint32_t value) {
    p[0] = static_cast<uint8_t>(value >> 16);
    p[1] = static_cast<uint8_t>(value >> 8);
    p[2] = static_cast<uint8_t>(value);
}

inline void put_be32(uint8_t *p, uint32_t value) {
    p[0] = static_cast<uint8_t>(value >> 24);
    p[1] = static_cast<uint8_t>(value >> 16);
    p[2] = static_cast<uint8_t>(value >> 8);
    p[3] = static_cast<uint8_t>(value);
}

inline void put_be64(uint8_t *p, uint64_t value) {
    put_be32(p, static_cast<uint32_t>(value >> 32));
    put_be32(p + 4, static_cast<uint32_t>(value));
}

inline void put_le32(uint8_t *p, uint32_t value) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<uint8_t>(value >> (8 * i));
}

inline void put_le64(uint8_t *p, uint64_t value) {
    for (int i = 0; i < 8; ++i)
        p[i] = static_cast<uint8_t>(value >> (8 * i));
}

// Reads the fields of a reply of which only `length` bytes are valid; a field that does not
// lie wholly within them reads as 0.
struct reply_reader {
    const uint8_t *bytes;
    size_t length;

    bool holds(size_t offset, size_t width) const {
        return offset <= length && width <= length - offset;
    }
    uint16_t be16(size_t offset) const { return holds(offset, 2) ? get_be16(bytes + offset) : 0; }
    uint32_t be32(size_t offset) const { return holds(offset, 4) ? get_be32(bytes + offset) : 0; }
    uint64_t be64(size_t offset) const { return holds(offset, 8) ? get_be64(bytes + offset) : 0; }
    void copy(size_t offset, void *out, size_t width) const {
        if (holds(offset, width))
            memcpy(out, bytes + offset, width);
        else
            memset(out, 0, width);
    }
    // The NUL-terminated text at `offset`, as far as it arrived, cut to `size` - 1 bytes and
    // always terminated (`size` > 0).
    void text(size_t offset, char *out, size_t size) const {
        const size_t available = offset < length ? length - offset : 0;
        const size_t limit = available < size - 1 ? available : size - 1;
        size_t n = 0;
        while (n < limit && bytes[offset + n] != 0)
            ++n;
        if (n > 0)
            memcpy(out, bytes + offset, n);
        out[n] = '\0';
    }
};
