#include "libvtadmin/vtadmin_fsm.h"

#include "libfsmcomm/client_list.h"
#include "libfsmcomm/fsm_requests.h"
#include "libutil/fatal.h"
#include "libvtadmin/vtadmin_memory.h"
#include "libvtadmin/vtadmin_trace.h"
#include "libvtadmin/vtadminlib.h"

#include <cinttypes>
#include <cstdlib>
#include <cstring>

namespace {

uint32_t bit(uint32_t word, uint32_t mask) {
    return (word & mask) ? 1 : 0;
}

uint32_t multipath_method(uint32_t wire) {
    switch (wire) {
    case 0:
        return VTA_MULTIPATH_ROTATE;
    case 1:
        return VTA_MULTIPATH_STATIC;
    case 2:
        return VTA_MULTIPATH_STICKY;
    case 3:
        return VTA_MULTIPATH_BALANCE;
    case 4:
        return VTA_MULTIPATH_CYCLE;
    default:
        return VTA_MULTIPATH_UNKNOWN;
    }
}

// The shape of every status query: the handle check, the request under the slot mutex, and
// the error exit line when either fails.
template <typename Request>
bool fsm_query(int handle, const char *call, Request request) {
    if (!vtadmin_fsm_handle_ok(handle, call))
        return false;
    if (vtadmin_on_slot(handle, request) == 0)
        return true;
    vta_exit_error(-1, call);
    return false;
}

void copy_status(const fsm_status &from, VTA_FSM_STATUS *to) {
    const uint32_t caps = from.capability_flags;
    to->flag_a = bit(caps, 0x1);
    to->flag_b = bit(caps, 0x2);
    to->flag_c = bit(caps, 0x4);
    to->flag_d = bit(caps, 0x8);
    to->flag_e = bit(caps, 0x40);
    to->flag_f = bit(caps, 0x80);
    to->word1 = from.word1;
    to->stripe_groups = from.stripe_groups;
    to->word3 = from.word3;
    to->flag_g = bit(caps, 0x800);
    to->word9 = from.word9;
    to->block_size = from.block_size;
    to->counter1 = from.counter1;
    to->total_blocks = from.total_blocks;
    to->free_blocks = from.free_blocks;
}

void copy_stripe_group(const sg_status &from, int sg_number, VTA_SG_STATUS *to) {
    bounded_format(to->name, sizeof to->name, "%.255s", from.name);
    to->ordinal = static_cast<uint32_t>(sg_number) + 1;
    to->index = static_cast<uint32_t>(sg_number);
    to->enabled = bit(from.flags, 0x1);
    to->metadata = bit(from.flags, 0x4);
    to->journal = bit(from.flags, 0x8);
    to->realtime = bit(from.flags, 0x100);
    to->exclusive = bit(from.flags, 0x400);
    to->multipath = multipath_method(from.multipath);
    to->disks = from.disks;
    to->breadth = from.breadth;
    to->counter_word = static_cast<uint32_t>(from.counter1);
    to->affinity_count = from.affinity_count;
    to->constant = 1;
    to->access = from.access & (VTA_SG_READABLE | VTA_SG_WRITABLE);
    to->total_blocks = from.total_blocks;
    to->free_blocks = from.free_blocks;
    to->reserved_blocks = from.reserved_blocks;
}

void copy_client(const client_entry &from, VTA_CLIENT *to) {
    to->ordinal = from.index;
    to->flags = from.flags;
    to->type = from.type;
    to->cpu_count = from.cpu_count;
    to->expiry_time = from.expiry_time;
    to->uptime = from.uptime;
    to->hashed_id = from.hashed_id;
    // The FSM reports the two addresses the other way round from how the console shows them.
    to->ip_address = from.local_address;
    to->local_address = from.ip_address;
    to->id_address = from.id_address;
    to->io_test_rate = from.io_test_rate;
    to->io_test_last = from.io_test_last;
    std::memcpy(to->build_text, from.build_text, sizeof to->build_text);
    to->build_text[sizeof to->build_text - 1] = '\0';
    to->reconnect_time = from.reconnect_time;
    to->reconnect_count = from.reconnect_count;
}

} // namespace

// ---- Debug-flag table ----

const VTA_DEBUG_FLAG VTAdmin_DebugFlags[VTA_DEBUG_FLAG_ROWS + 1] = {
    {0x1, "general", "General Information"},
    {0x2, "sockets", "Sockets"},
    {0x4, "messages", "Messages"},
    {0x8, "connect", "Connections"},
    {0x10, "vfs", "File system (VFS) requests"},
    {0x20, "vops", "File system file operations (VOPS)"},
    {0x40, "alloc", "Allocations"},
    {0x80, "inodes", "Inodes"},
    {0x100, "tokens", "Tokens"},
    {0x200, "dir", "Directories"},
    {0x400, "attrib", "Attributes"},
    {0x800, "bwm", "Bandwidth Management"},
    {0x1000, "quotas", "Quotas"},
    {0x2000, "atap", "Administrative Tap Management"},
    {0x4000, "io", "I/O"},
    {0x8000, "dmig", "Data Migration"},
    {0x10000, "btree", "B+Trees"},
    {0x20000, "trans", "Transactions"},
    {0x40000, "journal", "Journal Logging"},
    {0x80000, "memory", "Memory Management"},
    {0x100000, "rtio", "QOS Realtime IO"},
    {0x200000, "extapi", "External API"},
    {0x400000, "winsec", "Windows Security"},
    {0x800000, "tail", "Journal Tail Activity"},
    {0x40000000, "xattr", "Xattr manipulation"},
    {0x20000000, "metadump", "Metadump"},
    {0x1000000, "dumpstat", "Dump Statistics (Once Only)"},
    {0x2000000, "extbuf", "Extended Buffers"},
    {0x4000000, "extdir", "Extended Directories"},
    {0x8000000, "queues", "Queues"},
    {0x10000000, "extinode", "Extended Inodes"},
    {0x80000000, "debug", "Development debug"},
    {0xFFFFFFFF, "all", "All debug flags"},
    {0, "none", "No debug flags"},
    {0, nullptr, nullptr},
};

const VTA_DEBUG_FLAG *VTAdmin_DebugFlagLookup(uint32_t value) {
    const VTA_DEBUG_FLAG *row = VTAdmin_DebugFlags;
    while (row->value != 0 && row->value != value)
        ++row;
    return row;
}

const char *VTAdmin_DebugFlagName(uint32_t value) {
    const VTA_DEBUG_FLAG *row = VTAdmin_DebugFlagLookup(value);
    return row->value == value ? row->description : "<Unknown>";
}

// ---- Handle check ----

bool vtadmin_fsm_handle_ok(int handle, const char *call) {
    if (VTAdmin_CheckHandle(handle, VTA_CONN_FSM, nullptr, 0) == 0)
        return true;
    vta_exit_error(-1, call);
    return false;
}

// ---- Connections ----

int VTAdmin_FSMConnect(int, const VTA_FSM_ENTRY *entry, char *message) {
    static const char *const call = "VTAdmin_FSMConnect";
    char name[sizeof entry->name + 1];
    bounded_format(name, sizeof name, "%.256s", entry->name);
    vta_enter_args(call, "name='%s'\n", name);
    message[0] = '\0';

    int code = -1;
    char host[256];
    if (!VTAdmin_IsReady()) {
        bounded_format(message, VTA_MESSAGE_SIZE, "%s",
                       "VTAdmin connect - library is not initialized.\n");
    } else if (VTAdmin_AddrToString(&entry->address, host) == nullptr) {
        bounded_format(message, VTA_MESSAGE_SIZE, "%s",
                       "VTAdmin connect failed due to invalid IP address.\n");
        code = -VTA_EINVAL;
    } else {
        int handle = -1;
        const int result = VTAdmin_Connect(host, name, &handle, message, VTA_MESSAGE_SIZE, 0);
        if (result == 0) {
            vta_trace(" Exit: OK: %s fshandle=%d\n", call, handle);
            return handle;
        }
        code = result > 0 ? -result : result;
    }
    vta_error("VTAdmin_FSMConnect: %s\n", message);
    vta_trace(" Exit: ERROR %d: %s: %s\n", code, call, message);
    return code;
}

int VTAdmin_FSMDisconnect(int handle) {
    static const char *const call = "VTAdmin_FSMDisconnect";
    vta_enter_args(call, "handle=%d\n", handle);
    if (!vtadmin_fsm_handle_ok(handle, call))
        return -1;
    int count_found = 0;
    const int left = vorud_slot_release(handle, &count_found);
    vta_info("FSM Disconnect Handle: %d, Ref count: %d\n", handle, left);
    vta_exit_ok_args(call, "handle=%d\n", handle);
    return 0;
}

// ---- Queries ----

int VTAdmin_FSMStat(int handle, VTA_FSM_STATUS *status) {
    static const char *const call = "VTAdmin_FSMStat";
    vta_enter_args(call, "fshandle=%d\n", handle);
    fsm_status reply = {};
    int error = 0;
    if (!fsm_query(handle, call, [&](kx_socket s) { return fsm_stat(s, &reply, &error); }))
        return -1;
    copy_status(reply, status);
    vta_exit_ok_args(call, "fshandle=%d\n", handle);
    return 0;
}

int VTAdmin_StripeGroupStat(int handle, int sg_number, VTA_SG_STATUS *record) {
    static const char *const call = "VTAdmin_StripeGroupStat";
    std::memset(record, 0, sizeof *record);
    vta_enter_args(call, "fshandle=%d sgnum=%d\n", handle, sg_number);
    sg_status reply = {};
    if (!fsm_query(handle, call, [&](kx_socket s) {
            fsm_status status = {};
            int error = 0;
            if (fsm_stat(s, &status, &error) != 0)
                return -1;
            return fsm_sg_stat(s, sg_number, status.capability_flags, &reply, &error);
        }))
        return -1;
    copy_stripe_group(reply, sg_number, record);
    vta_exit_ok_args(call, "fshandle=%d\n", handle);
    return 0;
}

int VTAdmin_QosStat(int handle, int sg_number, VTA_QOS_STATUS *record) {
    static const char *const call = "VTAdmin_QosStat";
    vta_enter_args(call, "fshandle=%d sgnum=%d\n", handle, sg_number);
    qos_status reply = {};
    int error = 0;
    if (!fsm_query(handle, call,
                   [&](kx_socket s) { return fsm_qos_stat(s, sg_number, &reply, &error); }))
        return -1;
    record->limit_iops = reply.limit_iops;
    record->limit_mbps = reply.limit_mbps;
    record->reserved_iops = reply.reserved_iops;
    record->current_iops = reply.current_iops;
    record->clients_iops = reply.clients_iops;
    record->hint_iops = reply.hint_iops;
    vta_exit_ok_args(call, "fshandle=%d\n", handle);
    return 0;
}

int VTAdmin_FSMGetDebug(int handle, uint32_t *mask) {
    static const char *const call = "VTAdmin_FSMGetDebug";
    vta_enter_args(call, "fshandle=%d\n", handle);
    uint32_t flags = 0;
    char text[VTA_MESSAGE_SIZE];
    int error = 0;
    if (!fsm_query(handle, call, [&](kx_socket s) {
            return fsm_debug(s, 0, 0, &flags, text, sizeof text, &error);
        }))
        return -1;
    *mask = flags;
    vta_exit_ok_args(call, "fshandle=%d flags=0x%X\n", handle, flags);
    return 0;
}

int VTAdmin_FSMSetDebug(int handle, const uint32_t *mask) {
    static const char *const call = "VTAdmin_FSMSetDebug";
    vta_enter_args(call, "fshandle=%d flags=0x%X\n", handle, *mask);
    uint32_t answered = 0;
    char text[VTA_MESSAGE_SIZE];
    int error = 0;
    if (!fsm_query(handle, call, [&](kx_socket s) {
            return fsm_debug(s, 1, *mask, &answered, text, sizeof text, &error);
        }))
        return -1;
    vta_exit_ok_args(call, "fshandle=%d\n", handle);
    return 0;
}

// ---- Client list ----

int VTAdmin_GetClientList(int handle, VTA_CLIENT **list) {
    static const char *const call = "VTAdmin_GetClientList";
    vta_enter_args(call, "fshandle=%d\n", handle);
    *list = nullptr;
    if (!vtadmin_fsm_handle_ok(handle, call))
        return -1;

    client_entry *entries = nullptr;
    int count = 0;
    char text[VTA_MESSAGE_SIZE];
    const int error = vtadmin_on_slot(handle, [&](kx_socket s) {
        return fsm_who_reporting(
            s, static_cast<int>(vorud_slot_capability(handle) & 1), &entries, &count, text,
            sizeof text, [](void *, int taken) { vtadmin_report_progress(taken); }, nullptr);
    });
    if (error != 0 || count <= 0) {
        vta_error("VTAdmin_GetClientList: %s\n", text);
        free(entries);
        return error != 0 ? -error : VTA_CLIENT_LIST_EMPTY;
    }
    auto *records = static_cast<VTA_CLIENT *>(
        large_array_alloc(static_cast<size_t>(count) * sizeof(VTA_CLIENT)));
    if (records == nullptr) {
        vta_error("VTAdmin_GetClientList out of memory.\n");
        free(entries);
        vta_exit_error(VTA_CLIENT_LIST_NO_MEMORY, call);
        return VTA_CLIENT_LIST_NO_MEMORY;
    }
    for (int i = 0; i < count; ++i)
        copy_client(entries[i], &records[i]);
    free(entries);
    *list = records;
    vta_exit_ok_args(call, "fshandle=%d filled=%d\n", handle, count);
    return count;
}

void VTAdmin_FreeClientList(VTA_CLIENT *list) {
    static const char *const call = "VTAdmin_FreeClientList";
    vta_enter_args(call, "clientlist=0x%" PRIx64 "\n",
                   static_cast<uint64_t>(reinterpret_cast<uintptr_t>(list)));
    large_array_free(list);
    vta_exit_ok(call);
}
