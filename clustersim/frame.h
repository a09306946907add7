// The simulator's side of the message frame that FSM requests and framed name-server commands
// share: a 24-byte header led by five magic bytes and the 24-bit big-endian total length.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

constexpr uint8_t frame_magic_bytes[5] = {0xC0, 0xC1, 0xC2, 0xC3, 0xC4};
constexpr size_t frame_header_size = 24;
constexpr size_t frame_max_request = 65536; // longer requests end the connection

// True when `header` starts with the frame magic.
bool frame_has_magic(const uint8_t *header);

// The total length that `header` announces.
size_t frame_length(const uint8_t *header);

// Writes the total length into `header`.
void frame_set_length(uint8_t *header, size_t length);

// A zeroed reply of `size` bytes with the request's header (class, type, sequence), its own
// length, and the error flag and code cleared.
std::vector<uint8_t> frame_reply(const std::vector<uint8_t> &request, size_t size);
