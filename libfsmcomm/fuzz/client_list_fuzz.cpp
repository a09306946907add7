// Client-list replies of both versions, as received (only the received bytes are there): the
// build text is always terminated, fields past the received bytes read as 0, and a widened
// first-version entry carries its address IPv4-mapped, or none.
#include "libfsmcomm/client_list.h"
#include "libfsmcomm/wire.h"
#include "libutil/fuzz/fuzz_check.h"

#include <cstdint>
#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::vector<uint8_t> reply(data, data + size);
    const uint32_t index = size > 0 ? data[0] : 0;

    client_entry entry;
    client_entry_decode(reply.data(), reply.size(), index, &entry);
    FUZZ_CHECK(strnlen(entry.build_text, sizeof entry.build_text) < sizeof entry.build_text);
    FUZZ_CHECK(entry.index == index);
    if (reply.size() < 32)
        FUZZ_CHECK(entry.flags == 0);

    client_entry_v1 record;
    client_entry_v1_decode(reply.data(), reply.size(), index, &record);
    client_entry widened;
    client_entry_widen(&record, &widened);
    const uint8_t none[4] = {0, 0, 0, 0};
    if (memcmp(record.ipv4, none, 4) == 0)
        FUZZ_CHECK(host_addr_is_zero(&widened.local_address));
    else
        FUZZ_CHECK(host_addr_is_ipv4(&widened.local_address) &&
                   memcmp(widened.local_address.bytes + 12, record.ipv4, 4) == 0);
    return 0;
}
