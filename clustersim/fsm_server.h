// File System Manager of one simulated file system: framed requests (class 2) on a connection
// that registers as an administration tap first; reads and changes the file system's record.
#pragma once

#include "clustersim/world.h"

#include <cstddef>
#include <cstdint>
#include <vector>

// FSM request types (byte 9 of the message header).
enum fsm_request_type : uint8_t {
    FSM_STATUS = 2,
    FSM_SG_STATUS_OLD = 3,
    FSM_DEBUG = 6,
    FSM_ADMIN_TAP = 7,
    FSM_WHO_V1 = 10,
    FSM_QOS = 11,
    FSM_QUOTA_STATE = 12,
    FSM_QUOTA_OP = 13,
    FSM_SG_STATUS = 18,
    FSM_WHO = 22,
};

// Result words of quota operations.
constexpr uint32_t quota_result_done = 0;
constexpr uint32_t quota_result_no_entry = 2;   // end of a walk / no such name space
constexpr uint32_t quota_result_no_support = 5; // no directory quotas on this file system
constexpr uint32_t quota_result_busy = 6;       // the name space is busy
constexpr uint32_t quota_result_no_name = 22;   // no such user or group

// Serves one accepted connection of manager `manager_index` of file system `fs_index` while
// that manager is active, until the peer closes, a fault closes it or the world stops.
// The fault filter matches the request type.
void fsm_serve(sim_world &world, int fs_index, int manager_index, int socket);

// ---- One request, without a socket (the connection loop uses these; so do tests and fuzzing)

// Requests are read into at least this many bytes (zero-filled), so that every field a
// request type reads lies inside.
constexpr size_t fsm_request_room = 320;

// The length of the request whose first 24 bytes are `header`: 24 to 65536, or 0 when it is no
// framed message and the connection ends.
size_t fsm_request_length(const uint8_t *header);

// The reply of manager `manager_index` of file system `fs_index` to `request` (padded to
// fsm_request_room), under the world's lock, whatever the manager's state. `tapped` is the
// connection's state: false until it registered as an administration tap (which it sets).
std::vector<uint8_t> fsm_reply(sim_world &world, int fs_index, int manager_index,
                               const std::vector<uint8_t> &request, bool *tapped);
