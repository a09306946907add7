// User and group quotas of a file system: whether quotas are enabled, walking the user and
// group quotas one entry at a time, setting a user's or a group's limits, and the limit check
// that every setting call shares. All calls take an FSM handle (vtadmin_fsm.h). The FSM counts
// in file-system blocks; records count in bytes, converted with the block size of
// VTAdmin_FSMStat.
#pragma once

#include "libfsmcomm/quota_requests.h"

#include <cstddef>
#include <cstdint>

// Quota types (VTA_QUOTA::type).
enum : uint32_t {
    VTA_QUOTA_USER = 1,
    VTA_QUOTA_GROUP = 2,
    VTA_QUOTA_DIR_SPACE = 3, // a directory's data amount
    VTA_QUOTA_DIR_FILES = 4, // a directory's file count
};

// One quota, exchanged with the library and kept by the tree's quota nodes. Amounts are bytes
// for types 1 to 3 and counts for type 4.
struct VTA_QUOTA {
    char name[256]; // user, group or name-space name; on input the start of a walk or the name
    uint32_t type;  // VTA_QUOTA_*
    uint64_t used;
    uint64_t hard;
    uint64_t soft;
    uint32_t grace;         // minutes allowed over the soft limit
    int32_t time_remaining; // seconds of grace left; negative once the grace has run out
};

// Flags of the walking calls, passed to the FSM as the high bits of the operation word.
constexpr int VTA_QUOTA_LIST_FLAG_1 = 1; // 0x80000000
constexpr int VTA_QUOTA_LIST_FLAG_2 = 2; // 0x40000000
constexpr int VTA_QUOTA_LIST_FLAG_4 = 4; // 0x20000000

// 1 enabled, 0 disabled, -1 failure (bad handle, failed exchange).
int VTAdmin_GetQuotasState(int fshandle);

// The entry after record->name (an empty name starts at the beginning), written into `record`.
// 0 with the next entry; 6 (VTA_EOF) at the end or when quotas are not enabled; 22 for an entry
// without a name (record->name becomes "????"); -1 for a bad handle or a failed status query;
// otherwise the FSM's result word, or the transport's error value of a failed exchange.
int VTAdmin_ListUserQuotasWithFlags(int fshandle, int flags, VTA_QUOTA *record);
int VTAdmin_ListGroupQuotasWithFlags(int fshandle, int flags, VTA_QUOTA *record);
// The same with flags 0.
int VTAdmin_ListUserQuotas(int fshandle, VTA_QUOTA *record);
int VTAdmin_ListGroupQuotas(int fshandle, VTA_QUOTA *record);

// Sets the limits and grace period of `record` for the user (group) `name`. The limits are
// rounded up to whole blocks and checked (VTAdmin_CheckQuotaLimits) before anything is sent.
// 0 with `record` holding the FSM's answer (rounded limits, usage, grace and time left);
// 1 without administrator rights; 2 when the user or group does not exist or quotas are not
// enabled; -1 for a bad handle, a failed status query or limits that fail the check;
// otherwise the FSM's result word, or the transport's error value of a failed exchange.
int VTAdmin_SetUserQuota(int fshandle, const char *name, VTA_QUOTA *record);
int VTAdmin_SetGroupQuota(int fshandle, const char *name, VTA_QUOTA *record);

// 0 when the limits may be set, else -1 with the reason in `msg`: both limits must be zero or
// both non-zero, the hard limit must not be below the soft limit, and a soft limit needs a
// non-zero time limit.
int VTAdmin_CheckQuotaLimits(uint64_t hard, uint64_t soft, uint32_t time_limit, char *msg,
                             size_t msg_size);

// ---- Internal to the library: shared with the directory-quota calls ----

// Inputs and outputs of one quota operation, in the FSM's units (blocks or counts).
struct vtadmin_quota_answer {
    char name[FSM_QUOTA_NAME_SIZE] = "";
    uint64_t hard = 0, soft = 0, used = 0;
    uint32_t grace = 0, time_remaining = 0;
    uint32_t state = 0, result = 0;
};

// Sends the operation under the slot mutex: 0, or -1 with the transport's error in `result`.
int vtadmin_quota_exchange(int handle, uint32_t code, vtadmin_quota_answer *answer);

// The record of an answer: `type`, and the amounts multiplied by `scale` (the block size, or 1
// for counts). The name is left to the caller.
void vtadmin_quota_fill(const vtadmin_quota_answer &answer, uint32_t type, uint64_t scale,
                        VTA_QUOTA *record);

// Whole blocks of `block` bytes that hold `bytes` (block above 0).
uint64_t vtadmin_blocks_rounded_up(uint64_t bytes, uint64_t block);
