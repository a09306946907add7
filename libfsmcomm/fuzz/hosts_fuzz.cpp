// Hosts text and a name (the first byte gives the name's length, the name follows, the rest is
// the text): an IPv4-only lookup finds a part of what a lookup of any family finds, in the
// same order, and only IPv4 addresses; neither finds more than its capacity.
#include "libfsmcomm/hosts_file.h"
#include "libutil/fuzz/fuzz_check.h"

#include <cstdint>
#include <string>
#include <sys/socket.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0)
        return 0;
    const size_t name_length = data[0] % 16 < size - 1 ? data[0] % 16 : size - 1;
    const std::string name(reinterpret_cast<const char *>(data + 1), name_length);
    const char *text = reinterpret_cast<const char *>(data + 1 + name_length);
    const size_t length = size - 1 - name_length;
    constexpr int kCapacity = 64;
    host_addr any[kCapacity], ipv4[kCapacity];
    const int found_any = hosts_text_lookup(text, length, name.c_str(), AF_UNSPEC, any, kCapacity);
    const int found_ipv4 = hosts_text_lookup(text, length, name.c_str(), AF_INET, ipv4, kCapacity);
    FUZZ_CHECK(found_any >= 0 && found_any <= kCapacity);
    FUZZ_CHECK(found_ipv4 >= 0 && found_ipv4 <= found_any);
    if (found_any == kCapacity)
        return 0; // the lookup of any family stopped at the capacity: later IPv4 lines are cut
    int at = 0;
    for (int i = 0; i < found_ipv4; ++i) {
        FUZZ_CHECK(host_addr_is_ipv4(&ipv4[i]));
        while (at < found_any && !host_addr_equal(&any[at], &ipv4[i]))
            ++at;
        FUZZ_CHECK(at < found_any);
        ++at;
    }
    return 0;
}
