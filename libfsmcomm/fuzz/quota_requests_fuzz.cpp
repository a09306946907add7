// Quota replies as received (only the received bytes are there) and quota requests built from
// any name and numbers: a decoded text or name is always terminated within its room, a reply
// too short for its state word reads as quotas off, and a built request never writes a name
// byte past 302 nor limits into a request that carries none.
#include "libfsmcomm/quota_requests.h"
#include "libfsmcomm/wire.h"
#include "libutil/fuzz/fuzz_check.h"

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::vector<uint8_t> reply(data, data + size);

    uint32_t state = 0xFFFFFFFF;
    const size_t text_size = size > 0 ? 1 + data[0] % 64 : 1;
    char text[64];
    memset(text, 'x', sizeof text);
    fsm_quota_state_decode(reply.data(), reply.size(), &state, text, text_size);
    FUZZ_CHECK(strnlen(text, text_size) < text_size);
    if (size < FSM_QUOTA_STATE_AT + 4)
        FUZZ_CHECK(state == 0);

    fsm_quota_reply decoded;
    memset(&decoded, 'x', sizeof decoded);
    fsm_quota_op_decode(reply.data(), reply.size(), &decoded);
    FUZZ_CHECK(strnlen(decoded.name, sizeof decoded.name) < sizeof decoded.name);
    if (size < FSM_QUOTA_RESULT_AT + 4)
        FUZZ_CHECK(decoded.result == 0);

    // The same bytes as the parts of a request: code and flags, numbers, then the name.
    uint8_t head[29] = {};
    memcpy(head, data, size < sizeof head ? size : sizeof head);
    const std::string name(reinterpret_cast<const char *>(data) + (size < 29 ? size : 29),
                           size < 29 ? 0 : size - 29);
    const uint32_t code = fsm_quota_walk_code(get_be32(head), head[28]);
    FUZZ_CHECK((code & FSM_QUOTA_CODE_MASK) == (get_be32(head) & FSM_QUOTA_CODE_MASK));
    uint8_t message[FSM_QUOTA_REPLY_CAPACITY];
    memset(message, 0xEE, sizeof message);
    fsm_quota_op_build(message, code, name.c_str(), get_be64(head + 4), get_be64(head + 12),
                       get_be32(head + 20));
    FUZZ_CHECK(get_be32(message + FSM_QUOTA_CODE_AT) == code);
    FUZZ_CHECK(message[FSM_QUOTA_OP_SEND_LENGTH - 1] == 0);
    FUZZ_CHECK(strncmp(reinterpret_cast<const char *>(message + FSM_QUOTA_NAME_AT), name.c_str(),
                       FSM_QUOTA_NAME_SIZE - 1) == 0);
    if (!fsm_quota_is_set(code))
        for (size_t at = FSM_QUOTA_GRACE_AT; at < FSM_QUOTA_NAME_AT; ++at)
            FUZZ_CHECK(message[at] == 0);
    return 0;
}
