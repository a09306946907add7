#include "libvtadmin/vorud.h"

#include "libfsmcomm/fsm_requests.h"
#include "libfsmcomm/ns_requests.h"
#include "libutil/fatal.h"
#include "libvtadmin/vtadmin_trace.h"
#include "libvtadmin/vtadminlib.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <unistd.h>

namespace {

struct connection_slot {
    std::atomic<int> type{VTA_CONN_FREE}; // read without con_list_lock by the handle check
    kx_socket socket = invalid_socket;
    pthread_mutex_t mutex;
    bool mutex_created = false; // created the first time the slot is taken, kept for the process
    char host[256] = "";
    char fsm_name[256] = "";
    int ref_count = 0;
    uint32_t capability = 0;
};

connection_slot g_slots[VTA_MAX_CONNECTIONS];

void clear_slot(connection_slot &slot) {
    slot.type = VTA_CONN_FREE;
    slot.socket = invalid_socket;
    slot.host[0] = '\0';
    slot.fsm_name[0] = '\0';
    slot.ref_count = 0;
    slot.capability = 0;
}

void close_socket(connection_slot &slot) {
    if (slot.socket != invalid_socket)
        close(slot.socket);
    slot.socket = invalid_socket;
}

void set_message(char *message, size_t size, const char *text) {
    if (message != nullptr && size > 0)
        bounded_format(message, size, "%s", text);
}

class con_list_guard {
public:
    con_list_guard() { pthread_mutex_lock(vtadmin_con_list_lock()); }
    ~con_list_guard() { pthread_mutex_unlock(vtadmin_con_list_lock()); }
    con_list_guard(const con_list_guard &) = delete;
    con_list_guard &operator=(const con_list_guard &) = delete;
};

} // namespace

// ---- Table access ----

void vorud_slot_lock(int handle) {
    pthread_mutex_lock(&g_slots[handle].mutex);
}
void vorud_slot_unlock(int handle) {
    pthread_mutex_unlock(&g_slots[handle].mutex);
}
kx_socket vorud_slot_socket(int handle) {
    return g_slots[handle].socket;
}
uint32_t vorud_slot_capability(int handle) {
    return g_slots[handle].capability;
}
void vorud_slot_fsm_name(int handle, char *name, size_t size) {
    con_list_guard guard;
    bounded_format(name, size, "%s", g_slots[handle].fsm_name);
}

int vorud_slot_release(int handle, int *count_found) {
    con_list_guard guard;
    connection_slot &slot = g_slots[handle];
    *count_found = slot.ref_count;
    if (slot.ref_count < 1)
        slot.ref_count = 1;
    if (slot.ref_count < 2) {
        close_socket(slot);
        clear_slot(slot);
        return 0;
    }
    return --slot.ref_count;
}

void vorud_table_clear() {
    for (connection_slot &slot : g_slots)
        clear_slot(slot);
}

void vorud_table_close_all() {
    for (connection_slot &slot : g_slots) {
        if (slot.type == VTA_CONN_NS || slot.type == VTA_CONN_FSM) {
            close_socket(slot);
            clear_slot(slot);
        }
    }
}

// ---- Handle check and connect ----

int VTAdmin_CheckHandle(int handle, int expected_type, char *message, size_t message_size) {
    char reason[VTA_MESSAGE_SIZE];
    if (!VTAdmin_IsReady()) {
        bounded_format(reason, sizeof reason, "%s",
                       "The VT Admin library has not been initialized.");
    } else if (static_cast<unsigned>(handle) >= VTA_MAX_CONNECTIONS) {
        bounded_format(reason, sizeof reason, "Invalid connection handle: %d\n", handle);
    } else {
        const int type = g_slots[handle].type;
        if (expected_type == VTA_CONN_ANY || type == expected_type)
            return 0;
        bounded_format(reason, sizeof reason,
                       "Invalid connection type. Expected %d but type is %d.\n", expected_type,
                       type);
    }
    // Log lines bring their own line end; the not-initialised text has none.
    const size_t length = std::strlen(reason);
    vta_error(length > 0 && reason[length - 1] == '\n' ? "%s" : "%s\n", reason);
    set_message(message, message_size, reason);
    return -1;
}

namespace {

// Writes a disk string into the field `to` and clears the rest of it: a record is then written
// once, field by field, with no clearing pass first.
template <size_t N>
void put_disk_string(char (&to)[N], disk_string from) {
    static_assert(N > DISK_STRING_KEPT, "a disk string always fits with its terminator");
    memcpy(to, from.chars, from.length);
    memset(to + from.length, 0, N - from.length);
}

// Decodes a name-server disk straight into the caller's record `index`. Every field is written
// (the record has no padding), so fresh memory needs no clearing first.
void put_disk(void *records, int index, const disk_fields &from) {
    static_assert(sizeof(VTA_DISK) == 6 * 256 + 8 + 8 * 4, "VTA_DISK has no padding");
    VTA_DISK &to = static_cast<VTA_DISK *>(records)[index];
    put_disk_string(to.label, from.label);
    put_disk_string(to.block_device, from.block_device);
    put_disk_string(to.raw_device, from.raw_device);
    put_disk_string(to.inquiry, from.inquiry);
    put_disk_string(to.controller, from.controller);
    put_disk_string(to.serial, from.serial);
    to.size = from.size;
    to.word_a = from.word_a;
    to.word_f = from.word_f;
    to.word_b = from.word_b;
    to.word_d = from.word_d;
    to.word_c = from.word_c;
    to.hba_id = from.hba_id;
    to.lun_id = from.lun_id;
    to.state = from.state;
}

int connect_failed(int code, int *handle, char *message) {
    *handle = -1;
    if (message != nullptr && message[0] != '\0')
        vta_error("** ERROR ** %s\n", message);
    return code;
}

} // namespace

int VTAdmin_Connect(const char *host, const char *fsm_name, int *handle, char *message,
                    size_t message_size, int no_lock) {
    char scratch[VTA_MESSAGE_SIZE];
    if (message == nullptr || message_size == 0) {
        message = scratch;
        message_size = sizeof scratch;
    }
    message[0] = '\0';
    if (fsm_name != nullptr && fsm_name[0] == '\0')
        fsm_name = nullptr;
    if (!VTAdmin_IsReady()) {
        set_message(message, message_size, "VT Admin Connect: Library not ready.");
        return connect_failed(VTA_EINVAL, handle, message);
    }

    // Slots keep at most 255 characters of each name; compare in that form.
    char wanted_host[256];
    char wanted_fsm[256];
    bounded_format(wanted_host, sizeof wanted_host, "%s", host ? host : "");
    bounded_format(wanted_fsm, sizeof wanted_fsm, "%s", fsm_name ? fsm_name : "");

    pthread_mutex_lock(vtadmin_con_list_lock());
    int index = -1;
    for (int i = 0; i < VTA_MAX_CONNECTIONS && index < 0; ++i) {
        const connection_slot &slot = g_slots[i];
        if (slot.type != VTA_CONN_FREE && std::strcmp(slot.host, wanted_host) == 0 &&
            std::strcmp(slot.fsm_name, wanted_fsm) == 0)
            index = i;
    }

    bool locked_here = false;
    if (index < 0) {
        for (int i = 0; i < VTA_MAX_CONNECTIONS && index < 0; ++i)
            if (g_slots[i].type == VTA_CONN_FREE)
                index = i;
        if (index < 0) {
            pthread_mutex_unlock(vtadmin_con_list_lock());
            set_message(message, message_size, "VT Admin Connect: Too many open connections.");
            return connect_failed(VTA_ETOOMANY, handle, message);
        }
        connection_slot &slot = g_slots[index];
        clear_slot(slot);
        if (!slot.mutex_created) {
            const int error = pthread_mutex_init(&slot.mutex, nullptr);
            if (error != 0) {
                pthread_mutex_unlock(vtadmin_con_list_lock());
                set_message(message, message_size, "VT Admin Connect: Couldn't initialize mutex");
                return connect_failed(error, handle, message);
            }
            slot.mutex_created = true;
        }
        pthread_mutex_lock(&slot.mutex);
        locked_here = true;
        slot.socket = invalid_socket;
        bounded_format(slot.host, sizeof slot.host, "%s", wanted_host);
        bounded_format(slot.fsm_name, sizeof slot.fsm_name, "%s", wanted_fsm);
        slot.type = fsm_name ? VTA_CONN_FSM : VTA_CONN_NS;
        slot.ref_count = 1;
    } else {
        connection_slot &slot = g_slots[index];
        if (!no_lock) {
            pthread_mutex_lock(&slot.mutex);
            locked_here = true;
        }
        ++slot.ref_count;
        if (slot.socket != invalid_socket) {
            char reason[VTA_MESSAGE_SIZE] = "";
            const int error = slot.type == VTA_CONN_FSM
                                  ? fsm_alive(slot.socket)
                                  : ns_ping(slot.socket, reason, sizeof reason);
            if (error != 0) {
                bounded_format(message, message_size,
                               "VtAdmin Connect: Error %d pinging %s%s%s on fd %d", error,
                               slot.host, slot.type == VTA_CONN_FSM ? " FSM=" : "",
                               slot.type == VTA_CONN_FSM ? slot.fsm_name : "", slot.socket);
                vta_error("%s\n", message);
                close_socket(slot);
            }
        }
    }

    connection_slot &slot = g_slots[index];
    if (slot.socket == invalid_socket) {
        char reason[VTA_MESSAGE_SIZE] = "";
        kx_socket socket;
        if (slot.type == VTA_CONN_FSM) {
            uint32_t tap = 0;
            socket = fsm_connect(slot.host, slot.fsm_name, reason, sizeof reason, &tap);
            if (socket != invalid_socket)
                slot.capability = tap;
        } else {
            socket = ns_connect(slot.host[0] ? slot.host : nullptr, reason, sizeof reason);
        }
        if (socket == invalid_socket) {
            const bool fsm = slot.type == VTA_CONN_FSM;
            if (fsm)
                bounded_format(message, message_size,
                               "VtAdmin Connect: (Re)connect failed to MDC '%s' at '%s' - %s",
                               slot.fsm_name, slot.host, reason);
            else
                bounded_format(message, message_size,
                               "VtAdmin Connect: (Re)connect failed to VORUD at '%s' - %s",
                               slot.host, reason);
            if (--slot.ref_count <= 0) {
                if (locked_here)
                    pthread_mutex_unlock(&slot.mutex);
                locked_here = false;
                clear_slot(slot);
            }
            if (locked_here)
                pthread_mutex_unlock(&slot.mutex);
            pthread_mutex_unlock(vtadmin_con_list_lock());
            return connect_failed(VTA_ECONNECT, handle, message);
        }
        slot.socket = socket;
        message[0] = '\0'; // a ping failure healed by the reconnect is not the caller's concern
    }
    if (locked_here)
        pthread_mutex_unlock(&slot.mutex);
    pthread_mutex_unlock(vtadmin_con_list_lock());
    *handle = index;
    return 0;
}

int _VTAdmin_NSConnect(const char *host, char *message, int no_lock) {
    static const char *const call = "_VTAdmin_NSConnect";
    vta_enter_args(call, "Hostname='%s'\n", host ? host : "");
    int handle = -1;
    const int code = VTAdmin_Connect(host, nullptr, &handle, message, VTA_MESSAGE_SIZE, no_lock);
    if (code == 0) {
        vta_exit_ok_args(call, "nshandle=%d\n", handle);
        return handle;
    }
    vta_error_message(-code, call, message);
    return -code;
}

int VTAdmin_NSConnect(const char *host, char *message) {
    return _VTAdmin_NSConnect(host, message, 0);
}

int VTAdmin_NSConnectNoLock(const char *host, char *message) {
    return _VTAdmin_NSConnect(host, message, 1);
}

int VTAdmin_NSDisconnect(int handle) {
    static const char *const call = "VTAdmin_NSDisconnect";
    vta_enter_args(call, "nshandle=%d\n", handle);
    char message[VTA_MESSAGE_SIZE];
    if (VTAdmin_CheckHandle(handle, VTA_CONN_NS, message, sizeof message) != 0) {
        vta_error("*** ERROR %d ***: %s\n", -1, message);
        return -1;
    }
    int count_found = 0;
    vorud_slot_release(handle, &count_found);
    if (count_found < 1)
        vta_error("VTAdmin_NSDisconnect bad ref count (%d).\n", count_found);
    vta_exit_ok(call);
    return 0;
}

int VTAdmin_NSGetConnInfo(int handle, VTA_CONN_INFO *info) {
    std::memset(info, 0, sizeof *info);
    if (VTAdmin_CheckHandle(handle, VTA_CONN_ANY, nullptr, 0) != 0)
        return -1;
    con_list_guard guard;
    const connection_slot &slot = g_slots[handle];
    const int type = slot.type;
    info->type = (type >= -1 && type <= VTA_CONN_FSM) ? type : 0;
    bounded_format(info->host, sizeof info->host, "%s", slot.host);
    bounded_format(info->name, sizeof info->name, "%s", slot.host);
    info->ref_count = slot.ref_count;
    info->capability = slot.capability;
    return 0;
}

// ---- Discovery ----

int VTAdmin_NSListFsm(int handle, int ordinal, VTA_FSM_ENTRY *entry, char *message) {
    static const char *const call = "VTAdmin_NSListFsm";
    vta_enter_args(call, "nshandle=%d ordinal=%d\n", handle, ordinal);
    if (VTAdmin_CheckHandle(handle, VTA_CONN_NS, message, VTA_MESSAGE_SIZE) != 0) {
        vta_error_message(-1, call, message);
        return -1;
    }
    pm_message reply = {};
    vorud_slot_lock(handle);
    const int result = ns_list_fsm(vorud_slot_socket(handle), ordinal, &reply, message);
    vorud_slot_unlock(handle);

    if (result < 0) {
        vta_error("VTAdmin List Fsm: %s (%d)\n", message, result);
        vta_error_message(result, call, message);
        return result;
    }
    if (result > 0) {
        vta_error_message(VTA_EOF, call, message);
        return VTA_EOF;
    }
    const uint16_t type = pm_get16(&reply, PM_ENTRY_TYPE);
    if (type != PM_ENTRY_FSM) {
        // Code 3 here means "not an FSM entry"; callers skip it and go on.
        vta_info("VTAdmin List Fsm: Not FSM type (%d)\n", type);
        vta_error_message(VTA_EEXIST, call, message);
        return VTA_EEXIST;
    }
    const uint16_t state = pm_get16(&reply, PM_STATE);
    entry->ordinal = static_cast<uint32_t>(ordinal);
    entry->state = (state & PM_STATE_ACTIVE) ? VTA_FSM_ACTIVE : VTA_FSM_STANDBY;
    entry->priority = state & PM_STATE_PRIORITY;
    entry->address = pm_address(&reply);
    entry->port = pm_get16(&reply, PM_PORT);
    entry->pid = pm_get32(&reply, PM_PID);
    std::memcpy(entry->name, pm_name(&reply), sizeof entry->name);
    vta_exit_ok_args(call, "Found ordinal=%d fsmname='%.256s'\n", ordinal, entry->name);
    return 0;
}

int VTAdmin_NSFsmSearch(int handle, const char *name, VTA_FSM_SEARCH *result, char *message) {
    static const char *const call = "VTAdmin_NSFsmSearch";
    vta_enter_args(call, "nshandle=%d name'%s'\n", handle, name ? name : "");
    if (VTAdmin_CheckHandle(handle, VTA_CONN_NS, message, VTA_MESSAGE_SIZE) != 0) {
        vta_error("%s: Error %d: %s\n", call, -1, message);
        return -1;
    }
    pm_message reply = {};
    vorud_slot_lock(handle);
    const int found = ns_find_fsm(vorud_slot_socket(handle), name, &reply);
    vorud_slot_unlock(handle);

    std::memset(result, 0, sizeof *result);
    if (found < 0) {
        bounded_format(message, VTA_MESSAGE_SIZE,
                       "The name server's list of file systems does not end (stopped after %d "
                       "entries).\n",
                       ns_list_walk_limit());
        vta_error("%s: %s", call, message);
        return -1;
    }
    if (!found) {
        bounded_format(message, VTA_MESSAGE_SIZE, "Name '%s' not found.\n", name ? name : "");
        vta_trace(" Exit: %s: %s\n", call, message);
        return VTA_ENOENT;
    }
    const uint16_t state = pm_get16(&reply, PM_STATE);
    result->entry_type = pm_get16(&reply, PM_ENTRY_TYPE);
    result->run_state = pm_get16(&reply, PM_RUN_STATE);
    result->word314 = pm_get16(&reply, PM_LOCAL_W314);
    result->active = (state & PM_STATE_ACTIVE) ? 1 : 0;
    result->word316 = pm_get32(&reply, PM_LOCAL_W316);
    result->priority = state & PM_STATE_PRIORITY;
    result->address = pm_address(&reply);
    result->port = pm_get16(&reply, PM_PORT);
    result->pid = pm_get32(&reply, PM_PID);
    bounded_format(result->name, sizeof result->name, "%.255s", pm_name(&reply));
    result->word320_322 = (static_cast<uint32_t>(pm_get16(&reply, PM_LOCAL_W322)) << 16) |
                          pm_get16(&reply, PM_LOCAL_W320);
    result->word324 = pm_get32(&reply, PM_LOCAL_W324);
    result->word328 = pm_get32(&reply, PM_LOCAL_W328);
    result->word332 = pm_get32(&reply, PM_LOCAL_W332);
    result->word336 = pm_get32(&reply, PM_LOCAL_W336);
    result->word340 = pm_get16(&reply, PM_LOCAL_W340);
    result->word344 = pm_get32(&reply, PM_LOCAL_W344);
    vta_exit_ok_args(call, "Found='%s'\n", result->name);
    return 0;
}

int VTAdmin_NSFsmLocate(int handle, const char *fsm_name, int priority, VTA_FSM_ENTRY *entry) {
    static const char *const call = "VTAdmin_NSFsmLocate";
    const char *wanted = fsm_name ? fsm_name : "";
    vta_enter_args(call, "nshandle=%d fsmname='%s' priority=%d\n", handle, wanted, priority);
    if (VTAdmin_CheckHandle(handle, VTA_CONN_NS, nullptr, 0) != 0) {
        vta_error_code(-1, call);
        return -1;
    }
    int code = VTA_ENOENT;
    for (int ordinal = 0; ordinal < NS_LIST_INDEX_COUNT; ++ordinal) {
        char message[VTA_MESSAGE_SIZE] = "";
        const int result = VTAdmin_NSListFsm(handle, ordinal, entry, message);
        if (result == 0 && std::strncmp(entry->name, wanted, sizeof entry->name) == 0 &&
            ((priority >= 0 && static_cast<uint32_t>(priority) == entry->priority) ||
             (priority == -1 && entry->state == VTA_FSM_ACTIVE))) {
            vta_exit_ok_args(call, "found=%.256s\n", entry->name);
            return 0;
        }
        if (result == 0 || result == VTA_ENOENT || result == VTA_EEXIST)
            continue;
        if (result < 0) {
            vta_error("VTAdmin Locate: List Fsm %d error(%d): %s\n", ordinal + 1, result, message);
            code = result;
        }
        break;
    }
    vta_error_code(code, call);
    return code;
}

int VTAdmin_NSGetDisks(int handle, int first, int count, VTA_DISK *disks, int *ndisk,
                       uint32_t *checksum, char *message) {
    static const char *const call = "VTAdmin_NSGetDisks";
    vta_enter_args(call, "pmhandle=%d diskidx=%d count=%d\n", handle, first, count);
    int code = -1;
    if (VTAdmin_CheckHandle(handle, VTA_CONN_NS, message, VTA_MESSAGE_SIZE) != 0) {
        vta_error_message(code, call, message);
        return code;
    }
    if (ndisk == nullptr) {
        bounded_format(message, VTA_MESSAGE_SIZE, "%s", "VTAdmin_NSGetDisks: NULL ndisk value\n");
        vta_error_message(code, call, message);
        return code;
    }
    *ndisk = 0;
    // The request's index is 16 bits: a later page would start again from the front, and a
    // caller reading until the end would never get there.
    if (first > NS_DISK_INDEX_MAX) {
        bounded_format(message, VTA_MESSAGE_SIZE,
                       "VTAdmin_NSGetDisks: disk index %d lies beyond the name server's list "
                       "index (at most %d)\n",
                       first, NS_DISK_INDEX_MAX);
        vta_error_message(code, call, message);
        return code;
    }
    vorud_slot_lock(handle);
    const int result = ns_get_disks(vorud_slot_socket(handle), first, std::max(count, 0), put_disk,
                                    disks, checksum, message);
    vorud_slot_unlock(handle);

    if (result < 0) {
        code = result == -2 ? VTA_ERETRY : -1;
        vta_error_message(code, call, message);
        return code;
    }
    if (result == 0)
        return VTA_EOF;
    *ndisk = result;
    vtadmin_report_progress(first + result);
    vta_exit_ok_args(call, "pmhandle=%d ndisk=%d\n", handle, result);
    return 0;
}
