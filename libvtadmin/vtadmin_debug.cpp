#include "libvtadmin/vtadmin_debug.h"

#include "libutil/fatal.h"
#include "libvtadmin/vtadmin_computer.h"
#include "libvtadmin/vtadmin_fsm.h"

#include <cstring>

namespace {

constexpr uint32_t kWordBits = 32;

int32_t debug_rows(VTATree *tree, uint32_t op, VTAObj *folder, VTA_LV_ROW *row, char *msg,
                   size_t msg_size) {
    if (op == VTA_OP_LV_ROW_GETBYNBR) {
        if (row->VTA_RowNbr == 0) {
            VTAObj_SetCell(row, 0, "Set");
            VTAObj_SetCell(row, 1, "Debug Name");
            row->VTA_ColCount = 2;
            return VTA_OK;
        }
        row->VTA_Node = VTAObj_GetNthChild(tree, folder, row->VTA_RowNbr);
    }
    if (row->VTA_Node == nullptr) {
        bounded_format(msg, msg_size, "No Debug Flag found.");
        return VTA_ERR_NOT_FOUND;
    }
    // The first column is the check box; the views draw the state from the node.
    VTAObj_SetCell(row, 0, "");
    bounded_format(row->VTA_Cells[1].VTA_Text, VTA_LV_TEXT_SIZE, "%.80s", row->VTA_Node->VTA_Name);
    row->VTA_ColCount = 2;
    return VTA_OK;
}

// Creates or updates the child of one bit. Every bit yields a node, so a refresh never prunes
// one; existing nodes are updated in place.
int32_t place_flag(VTATree *tree, VTAObj *folder, uint32_t bit, bool set, char *msg,
                   size_t msg_size) {
    const char *name = VTAdmin_DebugFlagName(bit);
    VTAObj *node = nullptr;
    int32_t rc = VTAObj_FindChild(folder, nullptr, name, &node);
    if (rc != VTA_OK && rc != VTA_ERR_NOT_FOUND) {
        bounded_format(msg, msg_size, "Unexpected error finding Debug node '%s'", name);
        return rc;
    }
    const bool is_new = node == nullptr;
    if (is_new && (node = VTAObj_Alloc(VTAObj_CheckboxOpFunc)) == nullptr) {
        bounded_format(msg, msg_size, "Out of memory Debug node '%s'", name);
        return VTA_ERR_NO_MEMORY;
    }
    VTAObj_SetName(node, name);
    node->VTA_Data[0] = set ? 1 : 0;
    node->VTA_Type = VTA_OBJ_DEBUG_FLAG;
    VTAObj_Touch(node);
    if (!is_new) {
        VTATree_Notify(tree, VTA_NOTE_UPDATED, node);
        return VTA_OK;
    }
    rc = VTAObj_Insert(tree, folder, node);
    if (rc != VTA_OK) {
        bounded_format(msg, msg_size, "Unexpected error inserting Debug node '%s'", name);
        if (node->VTA_Parent == nullptr)
            VTAObj_Free(&node);
    }
    return rc;
}

int32_t read_flags(VTATree *tree, VTAObj *folder, char *msg, size_t msg_size) {
    int fsm = -1;
    int32_t rc = VTAObj_ConnectFsm(folder, &fsm, nullptr, msg, msg_size);
    if (rc != VTA_OK)
        return rc;
    uint32_t word = 0;
    const int result = VTAdmin_FSMGetDebug(fsm, &word);
    if (result < 0) {
        VTAObj_DisconnectFsm(&fsm);
        bounded_format(msg, msg_size, "Cannot get debug information for file system of '%s'",
                       folder->VTA_Name);
        return -result;
    }
    VTAObj_SetData(folder, &word, sizeof word);
    for (uint32_t n = 0; n < kWordBits && rc == VTA_OK; ++n)
        rc = place_flag(tree, folder, 1u << n, (word >> n) & 1u, msg, msg_size);
    VTAObj_DisconnectFsm(&fsm);
    return rc;
}

int32_t save_flags(VTATree *tree, VTAObj *folder, const void *data, size_t data_size, char *msg,
                   size_t msg_size) {
    uint32_t word = 0;
    if (data == nullptr || data_size != sizeof word) {
        bounded_format(msg, msg_size, "Internal Error: Bad data size on Save FSM Dbg flags");
        return VTA_ERR_INVALID;
    }
    memcpy(&word, data, sizeof word);
    int fsm = -1;
    const int32_t rc = VTAObj_ConnectFsm(folder, &fsm, nullptr, msg, msg_size);
    if (rc != VTA_OK)
        return rc;
    const int result = VTAdmin_FSMSetDebug(fsm, &word);
    VTAObj_DisconnectFsm(&fsm);
    if (result < 0) {
        const VTAObj *fs = folder->VTA_Parent;
        bounded_format(msg, msg_size, "Cannot set debug information for '%s'",
                       fs != nullptr ? fs->VTA_Name : "");
        return -result;
    }
    // The rows show what the FSM now reports, which is what it accepted.
    return VTATree_Op(tree, VTA_OP_REFRESH, folder, nullptr, 0, msg, msg_size);
}

} // namespace

uint32_t VTAObj_DebugWord(const VTAObj *folder) {
    uint32_t word = 0;
    VTAObj_GetData(folder, &word, sizeof word);
    return word;
}

bool VTAObj_DebugFlagIsSet(const VTAObj *flag) {
    return flag->VTA_Data[0] != 0;
}

int32_t VTAObj_DebugOpFunc(VTATree *tree, uint32_t op, VTAObj *node, void *data, size_t data_size,
                           char *msg, size_t msg_size) {
    switch (op) {
    case VTA_OP_LV_ROW_GET:
    case VTA_OP_LV_ROW_GETBYNBR:
        return debug_rows(tree, op, node, static_cast<VTA_LV_ROW *>(data), msg, msg_size);
    case VTA_OP_REFRESH:
        return read_flags(tree, node, msg, msg_size);
    case VTA_OP_SAVE:
        return save_flags(tree, node, data, data_size, msg, msg_size);
    case VTA_OP_ALLOW_MENU: {
        auto *allow = static_cast<VTA_ALLOW_MENU *>(data);
        const bool allowed =
            allow->VTA_Op == VTA_OP_REFRESH_ALL || allow->VTA_Op == VTA_OP_PROPERTIES;
        allow->VTA_Answer = allowed ? VTA_MENU_ALLOWED : VTA_MENU_NOT_ALLOWED;
        return VTA_OK;
    }
    default:
        return VTA_ERR_NOT_HANDLED;
    }
}
