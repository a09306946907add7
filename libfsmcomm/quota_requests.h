// FSM quota requests: whether quotas are enabled (type 12) and the quota operation (type 13)
// that walks and sets user, group and directory quotas. Requests are built and replies decoded
// by functions over byte buffers (so they can be tested and fuzzed without a network); the two
// exchanges send them through the transport. Limits and usage are in file-system blocks.
#pragma once

#include "libfsmcomm/fsmcomm.h"

#include <cstddef>
#include <cstdint>

constexpr int FSM_REQ_QUOTA_STATE = 12;
constexpr int FSM_REQ_QUOTA_OP = 13;
constexpr int FSM_QUOTA_STATE_SEND_LENGTH = 32;
constexpr int FSM_QUOTA_OP_SEND_LENGTH = 304;
constexpr int FSM_QUOTA_REPLY_CAPACITY = 4096;
constexpr size_t FSM_QUOTA_NAME_SIZE = 256; // the name field, NUL included

// Operation codes: bits 0-28 of the operation word.
enum fsm_quota_operation : uint32_t {
    FSM_QUOTA_SET_USER = 2,
    FSM_QUOTA_SET_GROUP = 3,
    FSM_QUOTA_NEXT_USER = 4, // the entry after the given name
    FSM_QUOTA_NEXT_GROUP = 5,
    FSM_QUOTA_SET_DIR_SPACE = 7,
    FSM_QUOTA_NEXT_DIR_SPACE = 8,
    FSM_QUOTA_SET_DIR_FILES = 10,
    FSM_QUOTA_NEXT_DIR_FILES = 11,
};
constexpr uint32_t FSM_QUOTA_CODE_MASK = 0x1FFFFFFF;

// State word of both replies: quotas are enabled. Any other value means they are off.
constexpr uint32_t FSM_QUOTA_ENABLED = 1;

// Result words of the quota operation; other values are error numbers.
constexpr uint32_t FSM_QUOTA_DONE = 0;
constexpr uint32_t FSM_QUOTA_NO_ENTRY = 2;      // end of a walk, or no such name space
constexpr uint32_t FSM_QUOTA_NO_DIR_QUOTAS = 5; // directory operations: none on this FSM
constexpr uint32_t FSM_QUOTA_BUSY = 6;          // the directory's name space is busy
constexpr uint32_t FSM_QUOTA_NO_SUCH_NAME = 22; // no such user or group

// Offsets of the request and the reply.
constexpr size_t FSM_QUOTA_CODE_AT = 24;   // request: operation word
constexpr size_t FSM_QUOTA_STATE_AT = 24;  // replies: state word
constexpr size_t FSM_QUOTA_GRACE_AT = 28;  // both
constexpr size_t FSM_QUOTA_HARD_AT = 32;   // both
constexpr size_t FSM_QUOTA_SOFT_AT = 40;   // both
constexpr size_t FSM_QUOTA_NAME_AT = 48;   // request
constexpr size_t FSM_QUOTA_USED_AT = 48;   // reply
constexpr size_t FSM_QUOTA_RESULT_AT = 56; // reply
constexpr size_t FSM_QUOTA_REMAIN_AT = 60; // reply
constexpr size_t FSM_QUOTA_REPLY_NAME_AT = 64;
constexpr size_t FSM_QUOTA_STATE_TEXT_AT = 32;

// The operation word of a user or group walk: `operation` plus 0x80000000 for bit 0 of the
// caller's `flags`, 0x40000000 for bit 1 and 0x20000000 for bit 2.
uint32_t fsm_quota_walk_code(uint32_t operation, int flags);

// 1 for the operations that carry limits and a grace period (2, 3, 7, 10), whatever the flag
// bits of `code`.
int fsm_quota_is_set(uint32_t code);

// A decoded quota-operation reply; numbers in host order, the name always terminated.
struct fsm_quota_reply {
    uint32_t state; // FSM_QUOTA_ENABLED, else nothing below is meaningful
    uint32_t grace;
    uint64_t hard, soft, used;
    uint32_t result;
    uint32_t time_remaining;
    char name[FSM_QUOTA_NAME_SIZE];
};

// ---- Byte buffers (no sockets) ----
// `reply` is a whole reply, header included, of which the first `length` bytes arrived; a
// field that does not lie wholly within them reads as 0 (a text keeps the part that arrived).

// Writes the quota state request into the first FSM_QUOTA_STATE_SEND_LENGTH bytes of
// `message`: the header of type 12 (bytes 0-7 are left for the transport) and the two
// arguments at 24 and 28.
void fsm_quota_state_build(uint8_t *message, uint32_t argument_1, uint32_t argument_2);

// The state word at 24 and the text at 32, cut within `text_size` (at least 1).
void fsm_quota_state_decode(const uint8_t *reply, size_t length, uint32_t *state, char *text,
                            size_t text_size);

// Writes the quota operation request into the first FSM_QUOTA_OP_SEND_LENGTH bytes of
// `message`: header of type 13, `code` at 24, `name` at 48 (cut to 255 bytes, so byte 303 is
// always 0) and, for set operations only, `grace` at 28, `hard` at 32 and `soft` at 40.
// Everything else is 0.
void fsm_quota_op_build(uint8_t *message, uint32_t code, const char *name, uint64_t hard,
                        uint64_t soft, uint32_t grace);

void fsm_quota_op_decode(const uint8_t *reply, size_t length, fsm_quota_reply *out);

// ---- Exchanges ----

// Asks whether quotas are enabled. 0 with `state` and `text` (cut within `text_size`), or -1
// with the transport's error value in `error_out`.
int fsm_quota_state(kx_socket socket, uint32_t argument_1, uint32_t argument_2, uint32_t *state,
                    char *text, size_t text_size, int *error_out);

// Sends one quota operation. `name` (FSM_QUOTA_NAME_SIZE bytes) is sent and, `hard`, `soft`
// and `grace` are sent for set operations. Returns 0 when a reply arrived: `state` is stored;
// only when it is FSM_QUOTA_ENABLED are the other outputs (the name included) replaced by the
// reply's. -1 on a transport failure, with its error value in `result`.
int fsm_quota_op(kx_socket socket, uint32_t code, char *name, uint64_t *hard, uint64_t *soft,
                 uint32_t *grace, uint32_t *time_remaining, uint64_t *used, uint32_t *state,
                 uint32_t *result);
