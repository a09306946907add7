#include "libfsmcomm/quota_requests.h"

#include "libfsmcomm/client_list.h"
#include "libfsmcomm/transport.h"
#include "libfsmcomm/wire.h"

#include <cstring>

uint32_t fsm_quota_walk_code(uint32_t operation, int flags) {
    uint32_t code = operation;
    if (flags & 1)
        code |= 0x80000000u;
    if (flags & 2)
        code |= 0x40000000u;
    if (flags & 4)
        code |= 0x20000000u;
    return code;
}

int fsm_quota_is_set(uint32_t code) {
    switch (code & FSM_QUOTA_CODE_MASK) {
    case FSM_QUOTA_SET_USER:
    case FSM_QUOTA_SET_GROUP:
    case FSM_QUOTA_SET_DIR_SPACE:
    case FSM_QUOTA_SET_DIR_FILES:
        return 1;
    default:
        return 0;
    }
}

void fsm_quota_state_build(uint8_t *message, uint32_t argument_1, uint32_t argument_2) {
    memset(message, 0, FSM_QUOTA_STATE_SEND_LENGTH);
    fsm_msg_init(message, FSM_REQ_QUOTA_STATE, 0);
    put_be32(message + 24, argument_1);
    put_be32(message + 28, argument_2);
}

void fsm_quota_state_decode(const uint8_t *reply, size_t length, uint32_t *state, char *text,
                            size_t text_size) {
    const reply_reader r{reply, length};
    *state = r.be32(FSM_QUOTA_STATE_AT);
    r.text(FSM_QUOTA_STATE_TEXT_AT, text, text_size);
}

void fsm_quota_op_build(uint8_t *message, uint32_t code, const char *name, uint64_t hard,
                        uint64_t soft, uint32_t grace) {
    memset(message, 0, FSM_QUOTA_OP_SEND_LENGTH);
    fsm_msg_init(message, FSM_REQ_QUOTA_OP, 0);
    put_be32(message + FSM_QUOTA_CODE_AT, code);
    if (fsm_quota_is_set(code)) {
        put_be32(message + FSM_QUOTA_GRACE_AT, grace);
        put_be64(message + FSM_QUOTA_HARD_AT, hard);
        put_be64(message + FSM_QUOTA_SOFT_AT, soft);
    }
    if (name != nullptr)
        memcpy(message + FSM_QUOTA_NAME_AT, name, strnlen(name, FSM_QUOTA_NAME_SIZE - 1));
}

void fsm_quota_op_decode(const uint8_t *reply, size_t length, fsm_quota_reply *out) {
    const reply_reader r{reply, length};
    out->state = r.be32(FSM_QUOTA_STATE_AT);
    out->grace = r.be32(FSM_QUOTA_GRACE_AT);
    out->hard = r.be64(FSM_QUOTA_HARD_AT);
    out->soft = r.be64(FSM_QUOTA_SOFT_AT);
    out->used = r.be64(FSM_QUOTA_USED_AT);
    out->result = r.be32(FSM_QUOTA_RESULT_AT);
    out->time_remaining = r.be32(FSM_QUOTA_REMAIN_AT);
    r.text(FSM_QUOTA_REPLY_NAME_AT, out->name, sizeof out->name);
}

int fsm_quota_state(kx_socket socket, uint32_t argument_1, uint32_t argument_2, uint32_t *state,
                    char *text, size_t text_size, int *error_out) {
    uint8_t message[FSM_QUOTA_REPLY_CAPACITY];
    fsm_quota_state_build(message, argument_1, argument_2);
    // Timed like every other request: an FSM that never answers must not hang the console.
    if (fsm_send_and_wait(socket, message, FSM_QUOTA_STATE_SEND_LENGTH, sizeof message, error_out,
                          1) != 0)
        return -1;
    fsm_quota_state_decode(message, fsm_reply_stored_length(message, sizeof message), state, text,
                           text_size);
    return 0;
}

int fsm_quota_op(kx_socket socket, uint32_t code, char *name, uint64_t *hard, uint64_t *soft,
                 uint32_t *grace, uint32_t *time_remaining, uint64_t *used, uint32_t *state,
                 uint32_t *result) {
    uint8_t message[FSM_QUOTA_REPLY_CAPACITY];
    fsm_quota_op_build(message, code, name, *hard, *soft, *grace);
    int error = 0;
    if (fsm_send_and_wait(socket, message, FSM_QUOTA_OP_SEND_LENGTH, sizeof message, &error, 1) !=
        0) {
        *result = static_cast<uint32_t>(error);
        return -1;
    }
    fsm_quota_reply reply;
    fsm_quota_op_decode(message, fsm_reply_stored_length(message, sizeof message), &reply);
    *state = reply.state;
    if (reply.state != FSM_QUOTA_ENABLED)
        return 0;
    *hard = reply.hard;
    *soft = reply.soft;
    *grace = reply.grace;
    *time_remaining = reply.time_remaining;
    *used = reply.used;
    *result = reply.result;
    memcpy(name, reply.name, FSM_QUOTA_NAME_SIZE);
    return 0;
}
