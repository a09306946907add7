// FSM connection and status requests: locating an FSM through its host's name server,
// connecting and registering as an administration tap, the two liveness checks, and the
// file-system, stripe-group, debug-flag and quality-of-service requests. Replies are decoded by
// functions over byte buffers (the *_decode functions) so they can be tested without a network.
#pragma once

#include "libfsmcomm/fsmcomm.h"

#include <cstddef>
#include <cstdint>

constexpr int FSM_REPLY_CAPACITY = 4096;

// FSM request types of this module (header byte 9, class 2). The client list (10, 22) is in
// client_list.h; the quota requests (12, 13) in quota_requests.h.
enum fsm_request_type {
    FSM_REQ_STATUS = 2,
    FSM_REQ_SG_STATUS_OLD = 3,
    FSM_REQ_DEBUG = 6,
    FSM_REQ_ADMIN_TAP = 7,
    FSM_REQ_QOS = 11,
    FSM_REQ_SG_STATUS = 18
};

// Capability flag of fsm_status: the FSM answers the current stripe-group form (type 18).
constexpr uint16_t FSM_CAP_SG_STATUS_CURRENT = 0x1000;
// Error of a debug-flag set that the FSM answered with other flags.
constexpr int FSM_DEBUG_NOT_SET = 40;

struct fsm_status {
    uint16_t capability_flags;
    uint16_t word1;
    uint16_t stripe_groups;
    uint16_t word3;
    uint32_t block_size;
    uint16_t word5, word6, word7, word8;
    uint32_t word9;
    uint64_t counter1, counter2, counter3;
    uint64_t total_blocks;
    uint64_t free_blocks;
};

struct sg_status {
    uint32_t flags; // bit 0 enabled, 2 metadata, 3 journal, 8 realtime, 10 exclusive
    uint32_t word;
    uint64_t total_blocks;
    uint64_t reserved_blocks; // 0 from the older form
    uint64_t free_blocks;
    uint64_t counter1, counter2, counter3;
    uint32_t disks;
    uint32_t access; // bit 0 read, bit 1 write
    uint16_t multipath;
    uint32_t breadth;
    uint32_t affinity_count;
    uint32_t word2;
    char name[256];
};

struct qos_status {
    uint32_t limit_iops;
    uint32_t current_iops;
    uint32_t reserved_iops;
    uint32_t hint_iops;
    uint32_t clients_iops;
    uint32_t limit_mbps;
    uint32_t words[4];
};

// ---- Reply decoders (`reply_length`: bytes received, never read beyond) ----

void fsm_status_decode(const uint8_t *reply, fsm_status *status);
// `type` is the request type used: FSM_REQ_SG_STATUS or FSM_REQ_SG_STATUS_OLD.
void sg_status_decode(const uint8_t *reply, size_t reply_length, int type, sg_status *status);
void qos_status_decode(const uint8_t *reply, qos_status *status);

// ---- Requests ----

// Locates the FSM of `fs_name` through the name server on `host`, connects to it and registers
// the connection. Returns the socket with the FSM's capability word in `tap_value`, or
// invalid_socket with the reason in `text`; closes whatever it opened on failure.
kx_socket fsm_connect(const char *host, const char *fs_name, char *text, size_t text_size,
                      uint32_t *tap_value);

// Registers the connection as an administration tap; the reply's capability word goes to
// `tap_value`. 0, or -1 with `error_out`.
int fsm_admin_tap(kx_socket socket, int *error_out, uint32_t *tap_value);

// Liveness of a name-server connection: 0 when alive (a name server that does not know the
// request is alive too), else the error value with a text.
int ns_ping(kx_socket socket, char *text, size_t text_size);

// Liveness of an FSM connection: 0, or the error value of a failed status request.
int fsm_alive(kx_socket socket);

int fsm_stat(kx_socket socket, fsm_status *status, int *error_out);

// Stripe group `sg_number`; the current form when `capability_flags` (from fsm_stat) has
// FSM_CAP_SG_STATUS_CURRENT, else the older one.
int fsm_sg_stat(kx_socket socket, int sg_number, uint16_t capability_flags, sg_status *status,
                int *error_out);

// `operation` 0 reads the debug flags, 1 sets them to `flags`. The FSM's flags go to
// `current_flags`; its text (cut within `text_size`) to `text`. A set answered with other flags
// fails with FSM_DEBUG_NOT_SET.
int fsm_debug(kx_socket socket, int operation, uint32_t flags, uint32_t *current_flags, char *text,
              size_t text_size, int *error_out);

int fsm_qos_stat(kx_socket socket, int sg_number, qos_status *status, int *error_out);
