#include "clustersim/frame.h"

#include "libfsmcomm/wire.h"

#include <algorithm>
#include <cstring>

bool frame_has_magic(const uint8_t *header) {
    return std::memcmp(header, frame_magic_bytes, sizeof frame_magic_bytes) == 0;
}

size_t frame_length(const uint8_t *header) {
    return get_be24(header + 5);
}

void frame_set_length(uint8_t *header, size_t length) {
    put_be24(header + 5, uint32_t(length));
}

std::vector<uint8_t> frame_reply(const std::vector<uint8_t> &request, size_t size) {
    std::vector<uint8_t> reply(size, 0);
    std::memcpy(reply.data(), request.data(), frame_header_size);
    frame_set_length(reply.data(), size);
    reply[11] = 0;
    put_be16(&reply[14], 0);
    return reply;
}

size_t put_cut(uint8_t *at, const std::string &text, size_t width) {
    size_t n = std::min(text.size(), width - 1);
    std::memcpy(at, text.data(), n);
    at[n] = 0;
    return n + 1;
}
