// The message header and the port-mapper agent's records, as received: every decoder stays
// within its bytes and gives values in range (a reply never stores more than its buffer or
// its length); a frame written is read back.
#include "libfsmcomm/client_list.h"
#include "libfsmcomm/transport.h"
#include "libfsmcomm/wire.h"
#include "libutil/fuzz/fuzz_check.h"

#include <cstdint>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    uint8_t header[MSG_HEADER_SIZE + AGENT_RECORD_SIZE] = {};
    memcpy(header, data, size < sizeof header ? size : sizeof header);
    const uint32_t length = msg_header_length(header);
    FUZZ_CHECK(length <= MSG_MAX_LENGTH);
    if (msg_reply_not_supported(header))
        FUZZ_CHECK(msg_reply_error_flag(header) != 0);

    const size_t capacity = size > 0 ? data[0] * 32u : 0;
    const size_t stored = fsm_reply_stored_length(header, capacity);
    FUZZ_CHECK(stored <= capacity && stored <= length);

    const uint8_t *record = header + MSG_HEADER_SIZE;
    const int port = agent_reply_port(record);
    FUZZ_CHECK(port >= 0 && port <= 65535);
    FUZZ_CHECK(port == 0 || !agent_greeting_valid(record)); // a reply is no greeting

    msg_header_frame(header, length);
    FUZZ_CHECK(msg_header_has_magic(header) && msg_header_length(header) == length);
    return 0;
}
