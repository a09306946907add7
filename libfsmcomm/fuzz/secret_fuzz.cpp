// The secret file: only the first line counts, and of it only the first 64 characters.
#include "libfsmcomm/auth.h"
#include "libutil/fuzz/fuzz_check.h"

#include <cstdint>
#include <cstring>
#include <string>

namespace {

bool same(const uint32_t a[AUTH_KEY_WORDS], const uint32_t b[AUTH_KEY_WORDS]) {
    return memcmp(a, b, AUTH_KEY_WORDS * sizeof a[0]) == 0;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string text(reinterpret_cast<const char *>(data), size);
    uint32_t key[AUTH_KEY_WORDS];
    const bool read = auth_key_from_secret_text(text.data(), text.size(), key);
    FUZZ_CHECK(read == !text.empty());
    if (!read)
        return 0;
    // What follows the first line, or the 64th character, changes nothing.
    const size_t line_end = text.find('\n');
    const size_t counted =
        std::min<size_t>(line_end == std::string::npos ? size : line_end + 1, 64);
    uint32_t other[AUTH_KEY_WORDS];
    const std::string changed = text.substr(0, counted) + (counted < 64 ? "\nZ9" : "Z9");
    FUZZ_CHECK(auth_key_from_secret_text(changed.data(), changed.size(), other));
    FUZZ_CHECK(same(key, other));
    return 0;
}
