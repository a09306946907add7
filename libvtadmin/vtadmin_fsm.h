// FSM connections and status queries: FSM handles live in the connection table of vorud.h as
// slots of type 2 keyed by (host, FSM name); every query checks its handle and runs its
// exchange under the slot mutex. Records are copies the caller owns.
#pragma once

#include "libfsmcomm/fsmcomm.h"
#include "libvtadmin/vorud.h"

#include <cstdint>

// File-system status (VTAdmin_FSMStat).
struct VTA_FSM_STATUS {
    uint32_t flag_a; // capability bit 0x1, as 0 or 1 (likewise the other flags)
    uint32_t flag_b; // 0x2
    uint32_t flag_c; // 0x4
    uint32_t flag_d; // 0x8
    uint32_t flag_e; // 0x40
    uint32_t flag_f; // 0x80
    uint32_t word1;
    uint32_t stripe_groups;
    uint32_t word3;
    uint32_t flag_g; // 0x800
    uint32_t word9;
    uint32_t block_size; // bytes per file-system block
    uint64_t counter1;
    uint64_t total_blocks;
    uint64_t free_blocks;
};

// Multi-path methods of VTA_SG_STATUS.multipath.
enum vta_multipath {
    VTA_MULTIPATH_UNKNOWN = 0,
    VTA_MULTIPATH_ROTATE = 1,
    VTA_MULTIPATH_STICKY = 2,
    VTA_MULTIPATH_STATIC = 3,
    VTA_MULTIPATH_BALANCE = 4,
    VTA_MULTIPATH_CYCLE = 5
};

// Device access bits of VTA_SG_STATUS.access.
constexpr uint32_t VTA_SG_READABLE = 0x1;
constexpr uint32_t VTA_SG_WRITABLE = 0x2;

// One stripe group (VTAdmin_StripeGroupStat).
struct VTA_SG_STATUS {
    char name[256];
    uint32_t ordinal; // stripe-group number + 1
    uint32_t index;   // stripe-group number as asked
    uint32_t enabled;
    uint32_t metadata;
    uint32_t journal;
    uint32_t realtime;
    uint32_t exclusive;
    uint32_t multipath; // vta_multipath
    uint32_t disks;
    uint32_t breadth;
    uint32_t counter_word; // low 32 bits of the group's first counter
    uint32_t affinity_count;
    uint32_t constant; // always 1
    uint32_t access;   // VTA_SG_READABLE | VTA_SG_WRITABLE
    uint64_t total_blocks;
    uint64_t free_blocks;
    uint64_t reserved_blocks;
};

// Quality-of-service figures of one stripe group (VTAdmin_QosStat).
struct VTA_QOS_STATUS {
    uint32_t limit_iops;
    uint32_t limit_mbps;
    uint32_t reserved_iops;
    uint32_t current_iops;
    uint32_t clients_iops;
    uint32_t hint_iops;
};

// Client record flag bits.
constexpr uint32_t VTA_CLIENT_DLAN_SERVER = 1u << 17;
constexpr uint32_t VTA_CLIENT_DLAN_CLIENT = 1u << 18;
constexpr uint32_t VTA_CLIENT_GATEWAY_LICENCE = 1u << 25;

// One process connected to an FSM (VTAdmin_GetClientList).
struct VTA_CLIENT {
    uint32_t ordinal;
    uint32_t flags; // VTA_CLIENT_*
    uint32_t type;
    uint32_t cpu_count;
    uint32_t expiry_time; // Unix seconds, 0 none
    uint32_t uptime;      // seconds
    uint64_t hashed_id;
    host_addr ip_address;
    host_addr local_address;
    host_addr id_address;
    uint32_t io_test_rate;
    uint64_t io_test_last;
    char build_text[1024];
    uint64_t reconnect_time; // Unix seconds
    uint32_t reconnect_count;
};

// Result of VTAdmin_GetClientList when the allocation fails.
constexpr int VTA_CLIENT_LIST_NO_MEMORY = -20;
// Result of VTAdmin_GetClientList for an FSM without clients.
constexpr int VTA_CLIENT_LIST_EMPTY = -2;

// One row of the FSM debug-flag table.
struct VTA_DEBUG_FLAG {
    uint32_t value; // the bit; "all" and "none" are no single bit
    const char *keyword;
    const char *description;
};

constexpr int VTA_DEBUG_FLAG_ROWS = 34;
// The FSM's debug flags: one row per bit, not in bit order ("xattr" and "metadump" stand before
// "dumpstat"), then "all" (0xFFFFFFFF) and "none" (0), then an end entry whose keyword and
// description are null.
extern const VTA_DEBUG_FLAG VTAdmin_DebugFlags[VTA_DEBUG_FLAG_ROWS + 1];
// Walks the rows from the top until one holds `value`, stopping at the first row whose value is
// 0 ("none"); returns the row found or that stopping row.
const VTA_DEBUG_FLAG *VTAdmin_DebugFlagLookup(uint32_t value);
// Description of the row holding `value`, or "<Unknown>" when the lookup finds none.
const char *VTAdmin_DebugFlagName(uint32_t value);

// Connects to the FSM of `entry` on the entry's host (the name-server handle is not used).
// Returns the handle (0..19), or a negative code with the reason in `message`
// (VTA_MESSAGE_SIZE bytes): -1 library not ready, -22 unusable address, or the negated code of
// VTAdmin_Connect.
int VTAdmin_FSMConnect(int nshandle, const VTA_FSM_ENTRY *entry, char *message);
// Releases one reference to the handle; the last closes the connection. 0 or -1.
int VTAdmin_FSMDisconnect(int handle);

// The queries return 0, or -1 for any failure (bad handle included; the reason is logged).
int VTAdmin_FSMStat(int handle, VTA_FSM_STATUS *status);
// Clears `record` first, also when the call fails.
int VTAdmin_StripeGroupStat(int handle, int sg_number, VTA_SG_STATUS *record);
int VTAdmin_QosStat(int handle, int sg_number, VTA_QOS_STATUS *record);
int VTAdmin_FSMGetDebug(int handle, uint32_t *mask);
// Fails when the FSM answers with flags other than `*mask`; `*mask` is not changed.
int VTAdmin_FSMSetDebug(int handle, const uint32_t *mask);

// The FSM's clients: the count (above 0) with `*list` allocated here, or -1 (bad handle),
// VTA_CLIENT_LIST_EMPTY, VTA_CLIENT_LIST_NO_MEMORY or the negated request error, with `*list`
// null.
int VTAdmin_GetClientList(int handle, VTA_CLIENT **list);
void VTAdmin_FreeClientList(VTA_CLIENT *list);

// ---- Internal to the library ----

// The handle check of every call on an FSM handle: true for a type-2 slot, else false after
// the exit line " Exit: ERROR -1: <call>".
bool vtadmin_fsm_handle_ok(int handle, const char *call);

// Runs `request(socket)` on the slot's socket under the slot mutex and returns its result.
template <typename Request>
int vtadmin_on_slot(int handle, Request request) {
    vorud_slot_lock(handle);
    const int result = request(vorud_slot_socket(handle));
    vorud_slot_unlock(handle);
    return result;
}
