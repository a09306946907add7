#include "libvtadmin/vtadmin_computer.h"

#include "libfsmcomm/ns_requests.h"
#include "libutil/fatal.h"
#include "libutil/size_text.h"
#include "libvtadmin/vtadmin_control.h"
#include "libvtadmin/vtadmin_debug.h"
#include "libvtadmin/vtadmin_fsm.h"
#include "libvtadmin/vtadmin_fsobjs.h"
#include "libvtadmin/vtadmin_quota_nodes.h"
#include "libvtadmin/vtadminlib.h"

#include <cinttypes>
#include <cstring>

namespace {

// VTA_Data of a file-system node: the name server's entry, then the FSM's status (filled only
// while the file system is active).
struct VTA_FS_DATA {
    VTA_FSM_ENTRY entry;
    VTA_FSM_STATUS status;
};
static_assert(sizeof(VTA_FS_DATA) <= VTA_DATA_SIZE);

VTA_COMPUTER_DATA *computer_data(VTAObj *computer) {
    return reinterpret_cast<VTA_COMPUTER_DATA *>(computer->VTA_Data);
}

VTA_FS_DATA *fs_data(VTAObj *node) {
    return reinterpret_cast<VTA_FS_DATA *>(node->VTA_Data);
}

bool is_fs_kind(uint32_t kind) {
    return kind == VTA_OBJ_FS_ACTIVE || kind == VTA_OBJ_FS_STANDBY || kind == VTA_OBJ_FS_DOWN;
}

VTAObj *find_fs_up(VTAObj *node) {
    for (; node != nullptr; node = node->VTA_Parent)
        if (is_fs_kind(node->VTA_Type))
            return node;
    return nullptr;
}

// The entry's name, terminated even when it fills all 256 bytes.
void entry_name(const VTA_FSM_ENTRY &entry, char *name, size_t size) {
    bounded_format(name, size, "%.*s", static_cast<int>(sizeof entry.name), entry.name);
}

void address_text(const host_addr &address, char *text) {
    if (VTAdmin_AddrToString(&address, text) == nullptr)
        text[0] = '\0';
}

uint32_t kind_of_state(uint32_t state) {
    if (state == VTA_FSM_ACTIVE)
        return VTA_OBJ_FS_ACTIVE;
    if (state == VTA_FSM_STANDBY)
        return VTA_OBJ_FS_STANDBY;
    return VTA_OBJ_FS_DOWN;
}

int32_t answer_allow(void *data, bool allowed) {
    auto *allow = static_cast<VTA_ALLOW_MENU *>(data);
    allow->VTA_Answer = allowed ? VTA_MENU_ALLOWED : VTA_MENU_NOT_ALLOWED;
    return VTA_OK;
}

// "Services (VORUD) may be stopped on '%s'" for an unreachable daemon, with the library's text.
void connect_failure_message(int code, const char *host, const char *lib_msg, char *msg,
                             size_t msg_size) {
    char text[VTA_NAME_SIZE + 64];
    if (code == VTA_ECONNECT)
        bounded_format(text, sizeof text, "Services (VORUD) may be stopped on '%s'", host);
    else
        bounded_format(text, sizeof text, "Error %d connecting to VORUD on '%s'", code, host);
    bounded_format(msg, msg_size, "%s\n\nERROR (%d): %s", lib_msg, code, text);
}

// ---- Computer ----

struct folder_item {
    const char *name;
    uint32_t kind;
    VTAObj_OpFunc op_func;
};

int32_t ensure_folder(VTATree *tree, VTAObj *computer, const folder_item &item) {
    VTAObj *child = nullptr;
    if (VTAObj_FindChild(computer, nullptr, item.name, &child) == VTA_OK) {
        VTAObj_Touch(child);
        if (child->VTA_Type != item.kind) {
            child->VTA_Type = item.kind;
            child->VTA_OpFunc = item.op_func;
            VTATree_Notify(tree, VTA_NOTE_UPDATED, child);
        }
        return VTA_OK;
    }
    child = VTAObj_Alloc(item.op_func);
    if (child == nullptr)
        return VTA_ERR_NO_MEMORY;
    VTAObj_SetName(child, item.name);
    child->VTA_Type = item.kind;
    child->VTA_IsFolder = 1;
    child->VTA_LoadOnDemand = 1;
    VTAObj_Touch(child);
    return VTAObj_Insert(tree, computer, child);
}

// ---- "File Systems" folder ----

// Finds the node of the entry: same name and same address (one name may be served by two FSMs).
VTAObj *find_fs_node(VTAObj *folder, const char *name, const VTA_FSM_ENTRY &entry) {
    VTAObj *found = nullptr;
    for (VTAObj *start = nullptr; VTAObj_FindChild(folder, start, name, &found) == VTA_OK;
         start = found->VTA_SibRight) {
        if (is_fs_kind(found->VTA_Type) &&
            memcmp(&fs_data(found)->entry.address, &entry.address, sizeof entry.address) == 0)
            return found;
        if (found->VTA_SibRight == nullptr)
            break;
    }
    return nullptr;
}

int32_t list_one_fs(VTATree *tree, VTAObj *folder, const VTA_FSM_ENTRY &entry, char *msg,
                    size_t msg_size) {
    char name[VTA_NAME_SIZE + 1];
    entry_name(entry, name, sizeof name);
    VTAObj *node = find_fs_node(folder, name, entry);
    const bool is_new = node == nullptr;
    if (is_new) {
        node = VTAObj_Alloc(VTAObj_FsOpFunc);
        if (node == nullptr) {
            bounded_format(msg, msg_size, "Out of memory allocating FS node (%s)", name);
            return VTA_ERR_NO_MEMORY;
        }
    }
    node->VTA_IsFolder = 1;
    node->VTA_LoadOnDemand = 1;
    VTAObj_SetName(node, name);
    node->VTA_Type = kind_of_state(entry.state);
    VTA_FS_DATA data{};
    data.entry = entry;
    VTAObj_SetData(node, &data, sizeof data);
    VTAObj_Touch(node);
    if (is_new) {
        const int32_t rc = VTAObj_Insert(tree, folder, node);
        if (rc != VTA_OK) {
            bounded_format(msg, msg_size, "Failed to insert FS node (%s)", name);
            if (node->VTA_Parent == nullptr)
                VTAObj_Free(&node);
            return rc;
        }
    }
    if (entry.state == VTA_FSM_ACTIVE) {
        int fsm = -1;
        int32_t rc = VTAObj_ConnectFsm(node, &fsm, nullptr, msg, msg_size);
        if (rc != VTA_OK)
            return rc;
        rc = VTAdmin_FSMStat(fsm, &fs_data(node)->status);
        VTAObj_DisconnectFsm(&fsm);
        if (rc != VTA_OK) {
            bounded_format(msg, msg_size, "Error retrieving FSM properties for '%s' (code %d)",
                           folder->VTA_Name, rc);
            return rc;
        }
    }
    VTATree_Notify(tree, VTA_NOTE_UPDATED, node);
    return VTA_OK;
}

int32_t list_file_systems(VTATree *tree, VTAObj *folder, char *msg, size_t msg_size) {
    VTAObj *computer = nullptr;
    VTA_COMPUTER_DATA *conn = nullptr;
    int32_t rc = VTAObj_ConnectComputer(folder, &computer, &conn, msg, msg_size);
    if (rc != VTA_OK)
        return rc;
    const int handle = static_cast<int>(conn->reserved);
    const int limit = ns_list_walk_limit();
    for (int ordinal = 0;; ++ordinal) {
        if (ordinal == limit) {
            bounded_format(msg, msg_size,
                           "Failed to list file systems: the name server's list does not end "
                           "(stopped after %d entries)",
                           limit);
            rc = VTA_ERR_INVALID;
            break;
        }
        VTA_FSM_ENTRY entry{};
        char lib_msg[VTA_MESSAGE_SIZE] = "";
        rc = VTAdmin_NSListFsm(handle, ordinal, &entry, lib_msg);
        if (rc == VTA_ENOENT || rc == VTA_EOF) {
            rc = VTA_OK;
            break;
        }
        if (rc != VTA_OK) {
            bounded_format(msg, msg_size, "Failed to list file system %d: %s (Err %d/%s)", ordinal,
                           lib_msg, rc, VTAdmin_StrError(rc));
            break;
        }
        rc = list_one_fs(tree, folder, entry, msg, msg_size);
        if (rc != VTA_OK)
            break;
    }
    VTAObj_DisconnectComputer(computer, nullptr, 0);
    return rc;
}

void fs_row(VTAObj *node, VTA_LV_ROW *row) {
    const VTA_FS_DATA *data = fs_data(node);
    char text[VTA_NAME_SIZE] = "";
    row->VTA_ColCount = 5;
    VTAObj_SetCell(row, 0, node->VTA_Name);
    address_text(data->entry.address, text);
    VTAObj_SetCell(row, 1, text);
    static const char *const kStates[] = {"Down", "Standby", "Active"};
    VTAObj_SetCell(row, 2, data->entry.state <= 2 ? kStates[data->entry.state] : "???");
    if (data->entry.state == VTA_FSM_ACTIVE) {
        VTAObj_FsSizeText(data->status.block_size, data->status.total_blocks, text, sizeof text);
        VTAObj_SetCell(row, 3, text);
        VTAObj_FsPercentFree(data->status.free_blocks, data->status.total_blocks, text,
                             sizeof text);
        VTAObj_SetCell(row, 4, text);
    } else {
        VTAObj_SetCell(row, 3, "-");
        VTAObj_SetCell(row, 4, "-");
    }
}

int32_t fs_rows(VTATree *tree, uint32_t op, VTAObj *folder, VTA_LV_ROW *row, char *msg,
                size_t msg_size) {
    if (folder == nullptr) {
        bounded_format(msg, msg_size, "Internal Error: No target on Op FS (GBN)");
        return VTA_ERR_INVALID;
    }
    if (op == VTA_OP_LV_ROW_GETBYNBR && row->VTA_RowNbr == 0) {
        static const char *const kHeader[] = {"Name", "Host", "State", "Size", "Free"};
        for (uint32_t i = 0; i < 5; ++i)
            VTAObj_SetCell(row, i, kHeader[i]);
        row->VTA_ColCount = 5;
        return VTA_OK;
    }
    if (op == VTA_OP_LV_ROW_GETBYNBR)
        row->VTA_Node = VTAObj_GetNthChild(tree, folder, row->VTA_RowNbr);
    if (row->VTA_Node == nullptr) {
        bounded_format(msg, msg_size, "No more file systems");
        return VTA_ERR_NOT_FOUND;
    }
    fs_row(row->VTA_Node, row);
    return VTA_OK;
}

// ---- File-system node ----

struct fs_item {
    const char *name;
    uint32_t kind;
    uint8_t folder, lazy;
    VTAObj_OpFunc op_func;
};

// Children of an active file system; "Host" and "State" follow for every state.
const fs_item kActiveItems[] = {
    {"Stripe Groups", VTA_OBJ_ALL_SG, 1, 1, VTAObj_AllSgOpFunc},
    {"Quotas", VTA_OBJ_ALL_QUOTAS, 1, 1, VTAObj_AllQuotasOpFunc},
    {"Quality of Service", VTA_OBJ_ALL_QOS, 1, 0, VTAObj_AllQosOpFunc},
    {"Clients", VTA_OBJ_ALL_CLIENTS, 1, 1, VTAObj_AllClientsOpFunc},
    {"Debug", VTA_OBJ_DEBUG, 1, 0, VTAObj_DebugOpFunc},
};

// Creates or updates one child; an existing child is announced only when something changed.
int32_t set_fs_item(VTATree *tree, VTAObj *fs, const fs_item &item, const char *value) {
    VTA_VALUE_DATA data{};
    if (value != nullptr)
        bounded_format(data.VTA_Text, sizeof data.VTA_Text, "%s", value);
    VTAObj *child = nullptr;
    const bool is_new = VTAObj_FindChild(fs, nullptr, item.name, &child) != VTA_OK;
    if (is_new) {
        child = VTAObj_Alloc(item.op_func);
        if (child == nullptr)
            return VTA_ERR_NO_MEMORY;
    }
    int changes = 0;
    if (child->VTA_Type != item.kind) {
        child->VTA_Type = item.kind;
        ++changes;
    }
    if (strcmp(child->VTA_Name, item.name) != 0) {
        VTAObj_SetName(child, item.name);
        ++changes;
    }
    if (child->VTA_IsFolder != item.folder || child->VTA_LoadOnDemand != item.lazy) {
        child->VTA_IsFolder = item.folder;
        child->VTA_LoadOnDemand = item.lazy;
        ++changes;
    }
    if (value != nullptr && memcmp(child->VTA_Data, &data, sizeof data) != 0) {
        VTAObj_SetData(child, &data, sizeof data);
        ++changes;
    }
    child->VTA_OpFunc = item.op_func;
    VTAObj_Touch(child);
    if (is_new) {
        const int32_t rc = VTAObj_Insert(tree, fs, child);
        if (rc != VTA_OK && child->VTA_Parent == nullptr)
            VTAObj_Free(&child);
        return rc;
    }
    if (changes > 0)
        VTATree_Notify(tree, VTA_NOTE_UPDATED, child);
    return VTA_OK;
}

const char *state_text(uint32_t kind) {
    switch (kind) {
    case VTA_OBJ_FS_ACTIVE:
        return "Active";
    case VTA_OBJ_FS_STANDBY:
        return "Standby";
    case VTA_OBJ_FS_DOWN:
        return "Down";
    default:
        return "<Unknown>";
    }
}

int32_t build_fs_children(VTATree *tree, VTAObj *fs) {
    const VTA_FS_DATA *data = fs_data(fs);
    int32_t rc = VTA_OK;
    if (fs->VTA_Type == VTA_OBJ_FS_ACTIVE) {
        for (const fs_item &item : kActiveItems)
            if ((rc = set_fs_item(tree, fs, item, nullptr)) != VTA_OK)
                return rc;
        char text[VTA_TEXT_SIZE];
        VTAObj_FsSizeText(data->status.block_size, data->status.total_blocks, text, sizeof text);
        if ((rc = set_fs_item(tree, fs, {"Size", VTA_OBJ_VALUE, 0, 0, VTAObj_ValueOpFunc}, text)) !=
            VTA_OK)
            return rc;
        VTAObj_FsPercentFree(data->status.free_blocks, data->status.total_blocks, text,
                             sizeof text);
        if ((rc = set_fs_item(tree, fs, {"Percent Free", VTA_OBJ_VALUE, 0, 0, VTAObj_ValueOpFunc},
                              text)) != VTA_OK)
            return rc;
    }
    char host[VTA_NAME_SIZE] = "";
    address_text(data->entry.address, host);
    if ((rc = set_fs_item(tree, fs, {"Host", VTA_OBJ_VALUE, 0, 0, VTAObj_ValueOpFunc}, host)) !=
        VTA_OK)
        return rc;
    if ((rc = set_fs_item(tree, fs, {"State", VTA_OBJ_VALUE, 0, 0, VTAObj_ValueOpFunc},
                          state_text(fs->VTA_Type))) != VTA_OK)
        return rc;
    return VTA_OK;
}

int32_t refresh_fs(VTATree *tree, VTAObj *fs, char *msg, size_t msg_size) {
    const int32_t rc = build_fs_children(tree, fs);
    if (rc == VTA_ERR_NO_MEMORY)
        bounded_format(msg, msg_size, "Out of memory building '%s'", fs->VTA_Name);
    else if (rc != VTA_OK)
        bounded_format(msg, msg_size, "Unexpected error inserting node '%s'", fs->VTA_Name);
    if (rc != VTA_OK)
        return rc;
    VTAObj *quotas = VTAObj_FindChildOfType(tree, fs, VTA_OBJ_ALL_QUOTAS);
    return quotas == nullptr ? VTA_OK
                             : VTATree_Op(tree, VTA_OP_REFRESH, quotas, nullptr, 0, msg, msg_size);
}

int32_t fs_node_rows(VTATree *tree, uint32_t op, VTAObj *fs, VTA_LV_ROW *row, char *msg,
                     size_t msg_size) {
    if (fs == nullptr) {
        bounded_format(msg, msg_size, "Internal Error: No target on Op FS (GBN)");
        return VTA_ERR_INVALID;
    }
    row->VTA_ColCount = 3;
    if (op == VTA_OP_LV_ROW_GETBYNBR && row->VTA_RowNbr == 0) {
        VTAObj_SetCell(row, 0, "Name");
        VTAObj_SetCell(row, 1, "Value");
        VTAObj_SetCell(row, 2, "Type");
        return VTA_OK;
    }
    if (op == VTA_OP_LV_ROW_GETBYNBR)
        row->VTA_Node = VTAObj_GetNthChild(tree, fs, row->VTA_RowNbr);
    VTAObj *child = row->VTA_Node;
    if (child == nullptr) {
        row->VTA_ColCount = 0;
        bounded_format(msg, msg_size, "No more columns");
        return VTA_ERR_NOT_FOUND;
    }
    VTAObj_SetCell(row, 0, child->VTA_Name);
    if (child->VTA_Type == VTA_OBJ_VALUE) {
        VTAObj_SetCell(row, 1, reinterpret_cast<const VTA_VALUE_DATA *>(child->VTA_Data)->VTA_Text);
        VTAObj_SetCell(row, 2, " ");
    } else {
        VTAObj_SetCell(row, 1, " ");
        VTAObj_SetCell(row, 2, VTAObj_TypeName(child->VTA_Type));
    }
    return VTA_OK;
}

// After a stop or fail-over the file system is gone from every computer's list.
void prune_stopped(VTATree *tree, const char *fs_name) {
    char ignored[VTA_MESSAGE_SIZE];
    VTAObj *computer = VTAObj_FindUpOfType(tree, VTATree_GetCurrent(tree), VTA_OBJ_COMPUTER);
    if (computer != nullptr)
        VTATree_SetCurrent(tree, computer, ignored, sizeof ignored);
    if (tree->VTA_Root == nullptr)
        return;
    for (VTAObj *c = tree->VTA_Root->VTA_Child; c != nullptr; c = c->VTA_SibRight) {
        if (c->VTA_Type != VTA_OBJ_COMPUTER)
            continue;
        VTAObj *folder = VTAObj_FindChildOfType(tree, c, VTA_OBJ_ALL_FS);
        if (folder == nullptr)
            continue;
        for (VTAObj *fs = folder->VTA_Child; fs != nullptr;) {
            VTAObj *next = fs->VTA_SibRight;
            if (strncmp(fs->VTA_Name, fs_name, VTA_NAME_SIZE) == 0)
                VTAObj_Delete(tree, &fs);
            fs = next;
        }
    }
}

int32_t control_and_refresh(VTATree *tree, void *data, size_t data_size, char *msg,
                            size_t msg_size) {
    if (data == nullptr || data_size != sizeof(VTA_FS_CONTROL)) {
        bounded_format(msg, msg_size, "Internal Error: Bad FS Op");
        return VTA_ERR_INVALID;
    }
    const int32_t rc = VTAObj_FsControl(static_cast<VTA_FS_CONTROL *>(data), msg, msg_size);
    VTATree_RefreshOpen(tree, tree->VTA_Root);
    return rc;
}

} // namespace

// ---- Size texts ----

void VTAObj_FsSizeText(uint32_t block_size, uint64_t total_blocks, char *text, size_t size) {
    uint64_t bytes = uint64_t{block_size} * total_blocks;
    int shift = 0;
    while (bytes > 0xFFFFF) {
        bytes >>= 10;
        shift += 10;
    }
    size_format(bytes << shift, text, size);
}

void VTAObj_FsPercentFree(uint64_t free_blocks, uint64_t total_blocks, char *text, size_t size) {
    if (total_blocks == 0)
        bounded_format(text, size, "-");
    else
        bounded_format(text, size, "%" PRId64 "%%",
                       static_cast<int64_t>(free_blocks * 100 / total_blocks));
}

// ---- Connection helpers ----

int32_t VTAObj_ConnectComputer(VTAObj *node, VTAObj **computer_out, VTA_COMPUTER_DATA **conn_out,
                               char *msg, size_t msg_size) {
    if (computer_out != nullptr)
        *computer_out = nullptr;
    *conn_out = nullptr;
    VTAObj *computer = VTAObj_FindUpOfType(nullptr, node, VTA_OBJ_COMPUTER);
    if (computer == nullptr) {
        bounded_format(msg, msg_size, "No parent \"Computer\" found for node '%s'.",
                       node != nullptr ? node->VTA_Name : "");
        return VTA_ERR_NOT_FOUND;
    }
    char lib_msg[VTA_MESSAGE_SIZE] = "";
    const int handle = VTAdmin_NSConnect(computer->VTA_Name, lib_msg);
    if (handle < 0) {
        connect_failure_message(-handle, computer->VTA_Name, lib_msg, msg, msg_size);
        VTAObj_DisconnectComputer(computer, nullptr, 0);
        return -handle;
    }
    VTA_COMPUTER_DATA *conn = computer_data(computer);
    const int rc = VTAdmin_NSGetConnInfo(handle, conn);
    conn->reserved = static_cast<uint64_t>(handle);
    if (rc != VTA_OK) {
        bounded_format(msg, msg_size, "Error %d getting status of connecting to '%s'", rc,
                       computer->VTA_Name);
        VTAObj_DisconnectComputer(computer, nullptr, 0);
        return rc;
    }
    if (computer_out != nullptr)
        *computer_out = computer;
    *conn_out = conn;
    return VTA_OK;
}

int32_t VTAObj_DisconnectComputer(VTAObj *computer, char *msg, size_t msg_size) {
    if (computer == nullptr || computer->VTA_Type != VTA_OBJ_COMPUTER) {
        bounded_format(msg, msg_size, "Cannot connect.  Object '%s' is not a computer.",
                       computer != nullptr ? computer->VTA_Name : "");
        return VTA_ERR_INVALID;
    }
    VTA_COMPUTER_DATA *conn = computer_data(computer);
    if (conn->reserved == VTA_NO_HANDLE)
        return VTA_OK;
    const int handle = static_cast<int>(conn->reserved);
    VTAdmin_NSDisconnect(handle);
    // The library frees the slot with the last reference. A freed slot still answers the
    // status query (as type 0), so the type tells too: keeping a freed handle would let a
    // later release drop a reference of whichever connection takes the slot next.
    VTA_CONN_INFO info{};
    if (VTAdmin_NSGetConnInfo(handle, &info) == VTA_OK && info.type == VTA_CONN_NS) {
        *conn = info;
        conn->reserved = static_cast<uint64_t>(handle);
    } else {
        conn->reserved = VTA_NO_HANDLE;
    }
    return VTA_OK;
}

int32_t VTAObj_ConnectFsm(VTAObj *node, int *fsm_handle, VTAObj **fs_out, char *msg,
                          size_t msg_size) {
    *fsm_handle = -1;
    if (fs_out != nullptr)
        *fs_out = nullptr;
    VTAObj *fs = find_fs_up(node);
    if (fs == nullptr) {
        bounded_format(msg, msg_size, "No parent file system for '%s'",
                       node != nullptr ? node->VTA_Name : "");
        return VTA_ERR_INVALID;
    }
    VTAObj *computer = nullptr;
    VTA_COMPUTER_DATA *conn = nullptr;
    const int32_t rc = VTAObj_ConnectComputer(fs, &computer, &conn, msg, msg_size);
    if (rc != VTA_OK)
        return rc;
    char lib_msg[VTA_MESSAGE_SIZE] = "";
    const int handle =
        VTAdmin_FSMConnect(static_cast<int>(conn->reserved), &fs_data(fs)->entry, lib_msg);
    VTAObj_DisconnectComputer(computer, nullptr, 0);
    if (handle < 0) {
        bounded_format(msg, msg_size, "%s", lib_msg);
        return -handle;
    }
    *fsm_handle = handle;
    if (fs_out != nullptr)
        *fs_out = fs;
    return VTA_OK;
}

int32_t VTAObj_DisconnectFsm(int *fsm_handle) {
    if (*fsm_handle != -1) {
        const int handle = *fsm_handle;
        *fsm_handle = -1;
        VTAdmin_FSMDisconnect(handle);
    }
    return VTA_OK;
}

// ---- Actions ----

int32_t VTAObj_FsControl(VTA_FS_CONTROL *control, char *msg, size_t msg_size) {
    char lib_msg[VTA_MESSAGE_SIZE] = "";
    const int handle = VTAdmin_NSConnect(control->VTA_Host, lib_msg);
    if (handle < 0) {
        connect_failure_message(-handle, control->VTA_Host, lib_msg, msg, msg_size);
        return -handle;
    }
    lib_msg[0] = '\0';
    const int wait = static_cast<int>(control->VTA_Wait);
    int32_t rc = VTA_OK;
    switch (control->VTA_Action) {
    case VTA_FS_START:
        if (wait != 0) {
            VTA_FSM_SEARCH status{};
            rc = VTAdmin_FSMStartAndWaitOnce(handle, control->VTA_FsName, control->VTA_Host, wait,
                                             &status, lib_msg);
        } else {
            rc = VTAdmin_FSMStart(handle, control->VTA_FsName, control->VTA_Host, lib_msg);
        }
        break;
    case VTA_FS_STOP_ON_HOST:
        rc = VTAdmin_FSMStopByHost(handle, control->VTA_FsName, control->VTA_Host, lib_msg);
        break;
    case VTA_FS_STOP:
        rc = wait != 0 ? VTAdmin_FSMStopAndWait(handle, control->VTA_FsName, wait, lib_msg)
                       : VTAdmin_FSMStopByHost(handle, control->VTA_FsName, nullptr, lib_msg);
        break;
    case VTA_FS_FAILOVER:
        rc = VTAdmin_FSMStop(handle, control->VTA_FsName, 1, lib_msg);
        break;
    case VTA_FS_ACTIVATE:
        rc = VTAdmin_FSMActivate(handle, control->VTA_FsName, control->VTA_Host, lib_msg);
        break;
    default:
        VTAdmin_NSDisconnect(handle);
        bounded_format(msg, msg_size, "Internal Error: Bad FS Op");
        return VTA_ERR_INVALID;
    }
    if (rc != VTA_OK) {
        // Some refusals (stop without an active FSM, no privileges) leave the text empty; the
        // user still learns why from the code.
        bounded_format(msg, msg_size, "%s", lib_msg[0] != '\0' ? lib_msg : VTAdmin_StrError(rc));
    } else if (control->VTA_Action == VTA_FS_STOP_ON_HOST || control->VTA_Action == VTA_FS_STOP ||
               control->VTA_Action == VTA_FS_FAILOVER) {
        if (control->VTA_Tree != nullptr)
            prune_stopped(control->VTA_Tree, control->VTA_FsName);
    }
    VTAdmin_NSDisconnect(handle);
    return rc;
}

int32_t VTATree_RefreshOpen(VTATree *tree, VTAObj *first) {
    char ignored[VTA_MESSAGE_SIZE];
    for (VTAObj *node = first; node != nullptr; node = node->VTA_SibRight) {
        int fsm = -1;
        VTAObj *computer = nullptr;
        VTA_COMPUTER_DATA *conn = nullptr;
        if (is_fs_kind(node->VTA_Type))
            VTAObj_ConnectFsm(node, &fsm, nullptr, ignored, sizeof ignored);
        else if (node->VTA_Type == VTA_OBJ_COMPUTER)
            VTAObj_ConnectComputer(node, &computer, &conn, ignored, sizeof ignored);
        if (node->VTA_IsFolder && node->VTA_Type != VTA_OBJ_DUMMY &&
            (node->VTA_Child == nullptr || node->VTA_Child->VTA_Type != VTA_OBJ_DUMMY)) {
            VTATree_Op(tree, VTA_OP_REFRESH, node, nullptr, 0, ignored, sizeof ignored);
            VTAObj *child = node->VTA_Child;
            if (child != nullptr && child->VTA_IsFolder && child->VTA_Type != VTA_OBJ_DUMMY)
                VTATree_RefreshOpen(tree, child);
        }
        VTAObj_DisconnectFsm(&fsm);
        if (computer != nullptr)
            VTAObj_DisconnectComputer(computer, nullptr, 0);
    }
    return VTA_OK;
}

// ---- Operation functions ----

int32_t VTAObj_ComputerOpFunc(VTATree *tree, uint32_t op, VTAObj *node, void *data, size_t, char *,
                              size_t) {
    switch (op) {
    case VTA_OP_REFRESH: {
        const folder_item items[] = {
            {"File Systems", VTA_OBJ_ALL_FS, VTAObj_AllFsOpFunc},
            {"Disks", VTA_OBJ_ALL_DISKS, VTAObj_AllDisksOpFunc},
        };
        for (const folder_item &item : items) {
            const int32_t rc = ensure_folder(tree, node, item);
            if (rc != VTA_OK)
                return rc;
        }
        return VTA_OK;
    }
    case VTA_OP_CLOSE:
        VTAObj_Delete(tree, &node);
        return VTA_OK;
    case VTA_OP_ALLOW_MENU: {
        const uint32_t asked = static_cast<VTA_ALLOW_MENU *>(data)->VTA_Op;
        return answer_allow(data, asked == VTA_OP_CLOSE || asked == VTA_OP_REFRESH_ALL);
    }
    default:
        return VTA_ERR_NOT_HANDLED;
    }
}

int32_t VTAObj_AllFsOpFunc(VTATree *tree, uint32_t op, VTAObj *node, void *data, size_t data_size,
                           char *msg, size_t msg_size) {
    switch (op) {
    case VTA_OP_LV_ROW_GET:
    case VTA_OP_LV_ROW_GETBYNBR:
        return fs_rows(tree, op, node, static_cast<VTA_LV_ROW *>(data), msg, msg_size);
    case VTA_OP_REFRESH:
        return list_file_systems(tree, node, msg, msg_size);
    case VTA_OP_START:
        return control_and_refresh(tree, data, data_size, msg, msg_size);
    case VTA_OP_ALLOW_MENU: {
        const uint32_t asked = static_cast<VTA_ALLOW_MENU *>(data)->VTA_Op;
        return answer_allow(data, asked == VTA_OP_START || asked == VTA_OP_REFRESH_ALL);
    }
    default:
        return VTA_ERR_NOT_HANDLED;
    }
}

int32_t VTAObj_FsOpFunc(VTATree *tree, uint32_t op, VTAObj *node, void *data, size_t data_size,
                        char *msg, size_t msg_size) {
    switch (op) {
    case VTA_OP_LV_ROW_GET:
    case VTA_OP_LV_ROW_GETBYNBR:
        return fs_node_rows(tree, op, node, static_cast<VTA_LV_ROW *>(data), msg, msg_size);
    case VTA_OP_REFRESH:
        return refresh_fs(tree, node, msg, msg_size);
    case VTA_OP_START:
    case VTA_OP_STOP:
    case VTA_OP_FAILOVER:
    case VTA_OP_ACTIVATE:
        return control_and_refresh(tree, data, data_size, msg, msg_size);
    case VTA_OP_ALLOW_MENU: {
        const uint32_t asked = static_cast<VTA_ALLOW_MENU *>(data)->VTA_Op;
        const bool running =
            node->VTA_Type == VTA_OBJ_FS_ACTIVE || node->VTA_Type == VTA_OBJ_FS_STANDBY;
        bool allowed = asked == VTA_OP_REFRESH_ALL;
        if (asked == VTA_OP_START)
            allowed = node->VTA_Type == VTA_OBJ_FS_DOWN;
        else if (asked == VTA_OP_STOP || asked == VTA_OP_FAILOVER || asked == VTA_OP_ACTIVATE)
            allowed = running;
        return answer_allow(data, allowed);
    }
    default:
        return VTA_ERR_NOT_HANDLED;
    }
}
