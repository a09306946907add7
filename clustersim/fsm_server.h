// File System Manager of one simulated file system: framed requests (class 2) on a connection
// that registers as an administration tap first; reads and changes the file system's record.
#pragma once

#include "clustersim/world.h"

#include <cstdint>

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
