// Shared wire types of the cluster protocols: socket handles, the 16-byte host address and the
// 24-byte message header that frames every request and reply.
#pragma once

#include <cstdint>

// A socket handle; `invalid_socket` marks "no socket".
using kx_socket = int;
constexpr kx_socket invalid_socket = -1;

// A network address in network byte order, always in IPv6 form. IPv4 a.b.c.d is held
// IPv4-mapped: bytes 0-9 zero, bytes 10-11 0xFF 0xFF, bytes 12-15 a, b, c, d.
struct host_addr {
    uint8_t bytes[16];
};
static_assert(sizeof(host_addr) == 16);

// 1 when the first five 16-bit words are 0 and the sixth is 0xFFFF.
inline int host_addr_is_ipv4(const host_addr *address) {
    const uint8_t *b = address->bytes;
    for (int i = 0; i < 10; ++i)
        if (b[i] != 0)
            return 0;
    return b[10] == 0xFF && b[11] == 0xFF;
}

// Sets the IPv4-mapped form of the four bytes `ipv4` (network byte order).
inline void host_addr_set_ipv4(host_addr *address, const uint8_t ipv4[4]) {
    for (int i = 0; i < 10; ++i)
        address->bytes[i] = 0;
    address->bytes[10] = 0xFF;
    address->bytes[11] = 0xFF;
    for (int i = 0; i < 4; ++i)
        address->bytes[12 + i] = ipv4[i];
}

inline int host_addr_equal(const host_addr *a, const host_addr *b) {
    for (int i = 0; i < 16; ++i)
        if (a->bytes[i] != b->bytes[i])
            return 0;
    return 1;
}

inline int host_addr_is_zero(const host_addr *address) {
    for (uint8_t byte : address->bytes)
        if (byte != 0)
            return 0;
    return 1;
}

// The five bytes that open every framed message.
constexpr uint8_t frame_magic[5] = {0xC0, 0xC1, 0xC2, 0xC3, 0xC4};

constexpr int MSG_HEADER_SIZE = 24;
constexpr uint32_t MSG_MAX_LENGTH = 0xFFFFFF; // the length field is 24 bits wide

// The first 24 bytes of every framed message. Multi-byte fields are raw wire bytes; read and
// write them with wire.h.
struct msg_header {
    uint8_t magic[5];      // frame_magic
    uint8_t length[3];     // total length, header included, big-endian
    uint8_t msg_class;     // 2 in FSM requests, 0 in port-mapper messages
    uint8_t type;          // FSM request type, 0 in port-mapper messages
    uint8_t reserved;      // 0
    uint8_t error_flag;    // reply: 0 success; 255 with error code 1 means "not supported"
    uint8_t argument[2];   // request argument, big-endian
    uint8_t error_code[2]; // reply error code, big-endian
    uint8_t sequence[8];   // sequence value, little-endian
};
static_assert(sizeof(msg_header) == MSG_HEADER_SIZE);

// The most entries a walk through a server's list takes before it gives up on a list that
// does not end (a server in a loop, or a hostile one): far above the largest lists of a real
// cluster (100,000 clients), low enough to end in minutes rather than never.
constexpr uint32_t LIST_WALK_MAX_ENTRIES = 1000000;

// LIST_WALK_MAX_ENTRIES, unless a test lowered it.
uint32_t list_walk_limit();
// Lowers the limit so that tests reach it quickly; 0 restores LIST_WALK_MAX_ENTRIES.
void list_walk_limit_set_for_tests(uint32_t limit);
