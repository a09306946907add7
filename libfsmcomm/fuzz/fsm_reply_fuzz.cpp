// FSM status, stripe-group and QoS replies (the first byte picks one, the rest is the reply as
// received, in a buffer of the reply capacity): a stripe group's name is always terminated,
// and nothing is read past the received bytes that the decoder was told of.
#include "libfsmcomm/fsm_requests.h"
#include "libutil/fuzz/fuzz_check.h"

#include <cstdint>
#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1)
        return 0;
    const size_t length = size - 1 < FSM_REPLY_CAPACITY ? size - 1 : FSM_REPLY_CAPACITY;
    std::vector<uint8_t> reply(FSM_REPLY_CAPACITY, 0);
    memcpy(reply.data(), data + 1, length);
    switch (data[0] % 4) {
    case 0: {
        fsm_status status;
        fsm_status_decode(reply.data(), &status);
        break;
    }
    case 1:
    case 2: {
        // Only the received bytes, so that a read past them is seen by the sanitizers.
        std::vector<uint8_t> received(data + 1, data + 1 + length);
        sg_status status;
        sg_status_decode(received.data(), received.size(),
                         data[0] % 4 == 1 ? FSM_REQ_SG_STATUS : FSM_REQ_SG_STATUS_OLD, &status);
        FUZZ_CHECK(strnlen(status.name, sizeof status.name) < sizeof status.name);
        break;
    }
    default: {
        qos_status status;
        qos_status_decode(reply.data(), &status);
        break;
    }
    }
    return 0;
}
