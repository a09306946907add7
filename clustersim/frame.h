// Reply building shared by the simulated name server and FSMs: the message frame of FSM requests
// and framed name-server commands (a 24-byte header led by five magic bytes and the 24-bit
// big-endian total length), and fixed-width text fields.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
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

// Copies `text` to `at`, cut to `width` - 1 characters and terminated; returns the bytes used.
size_t put_cut(uint8_t *at, const std::string &text, size_t width);
