#include "libvtadmin/vtadmin_recent.h"

#include "libutil/cfg_store.h"
#include "libutil/fatal.h"
#include "libutil/install_paths.h"
#include "libvtadmin/vtadmin_computer.h"

#include <cstdio>
#include <cstring>

namespace {

// Set by the first successful load; later trees of the process start with an empty root.
bool g_recent_loaded = false;

constexpr uint32_t kOpenMode = CFG_MODE_READ | CFG_MODE_WRITE | CFG_MODE_CREATE;
constexpr const char *kKeyPrefix = "RecentConn";

// "RecentConn" followed by decimal digits only.
bool is_recent_key(const char *key) {
    if (key == nullptr || strncmp(key, kKeyPrefix, strlen(kKeyPrefix)) != 0)
        return false;
    const char *digits = key + strlen(kKeyPrefix);
    if (*digits == '\0')
        return false;
    for (; *digits != '\0'; ++digits)
        if (*digits < '0' || *digits > '9')
            return false;
    return true;
}

int32_t open_store(cfg_store **store, char *msg, size_t msg_size) {
    char path[CFG_PATH_MAX + 1];
    VTAObj_RecentPath(path, sizeof path);
    return cfg_open(path, kOpenMode, CFG_STYLE_KEY_VALUE, store, msg, msg_size);
}

int32_t create_connection(VTATree *tree, VTAObj *root, const char *host, char *msg,
                          size_t msg_size) {
    if (host == nullptr) {
        bounded_format(msg, msg_size, "Failed to attach new connection %s", "(no host)");
        return VTA_ERR_INVALID;
    }
    VTAObj *node = VTAObj_NewComputer(host);
    if (node == nullptr)
        return VTA_ERR_NO_MEMORY;
    const int32_t rc = VTAObj_Insert(tree, root, node);
    if (rc != VTA_OK) {
        bounded_format(msg, msg_size, "Failed to attach new connection %s", node->VTA_Name);
        if (node->VTA_Parent == nullptr)
            VTAObj_Free(&node);
        else
            VTAObj_Delete(tree, &node); // linked, only its placeholder failed
    }
    return rc;
}

int32_t refresh_root(VTATree *tree, VTAObj *root, char *msg, size_t msg_size) {
    VTAObj *first = root->VTA_Child;
    if (first != nullptr && first->VTA_Type != VTA_OBJ_DUMMY) {
        for (VTAObj *child = first; child != nullptr; child = child->VTA_SibRight)
            VTAObj_Touch(child);
        return VTA_OK;
    }
    if (first != nullptr) {
        VTAObj_Unlink(tree, first);
        VTAObj_Free(&first);
    }
    return VTAObj_LoadRecent(tree, root, msg, msg_size);
}

} // namespace

void VTAObj_RecentPath(char *path, size_t size) {
    bounded_format(path, size, "%s/cfg.kxntadmin", config_dir());
}

VTAObj *VTAObj_NewComputer(const char *host) {
    VTAObj *node = VTAObj_Alloc(VTAObj_ComputerOpFunc);
    if (node == nullptr)
        return nullptr;
    node->VTA_IsFolder = 1;
    node->VTA_LoadOnDemand = 1;
    node->VTA_Type = VTA_OBJ_COMPUTER;
    VTAObj_SetName(node, host);
    VTA_COMPUTER_DATA conn{};
    conn.reserved = VTA_NO_HANDLE;
    conn.type = VTA_CONN_NS;
    bounded_format(conn.host, sizeof conn.host, "%s", node->VTA_Name);
    VTAObj_SetData(node, &conn, sizeof conn);
    return node;
}

int32_t VTAObj_LoadRecent(VTATree *tree, VTAObj *root, char *msg, size_t msg_size) {
    if (g_recent_loaded)
        return VTA_OK;
    if (tree == nullptr || root == nullptr) {
        bounded_format(msg, msg_size, "Internal Error: Bad tree/prnt on initial load.");
        return VTA_ERR_INVALID;
    }
    cfg_store *store = nullptr;
    int32_t rc = open_store(&store, msg, msg_size);
    if (rc != VTA_OK)
        return rc;
    for (int index = 0;; ++index) {
        char key[32];
        bounded_format(key, sizeof key, "%s%d", kKeyPrefix, index);
        cfg_line *record = nullptr;
        if (cfg_find(store, key, nullptr, nullptr, &record, nullptr) != CFG_OK)
            break; // a gap ends the list
        VTAObj *node = VTAObj_NewComputer(record->fields[0] ? record->fields[0] : "");
        if (node == nullptr) {
            bounded_format(msg, msg_size, "Out of memory on initial load");
            cfg_close(&store, 0, nullptr, 0);
            return VTA_ERR_NO_MEMORY;
        }
        if (VTAObj_Insert(tree, root, node) != VTA_OK) {
            bounded_format(msg, msg_size, "Failed to attach recently used object %s",
                           node->VTA_Name);
            if (node->VTA_Parent == nullptr)
                VTAObj_Free(&node);
            else
                VTAObj_Delete(tree, &node);
        }
    }
    g_recent_loaded = true;
    return cfg_close(&store, 0, msg, msg_size);
}

int32_t VTAObj_SaveRecent(VTAObj *root, char *msg, size_t msg_size) {
    if (root == nullptr) {
        bounded_format(msg, msg_size, "Internal Error: Invalid parent.  Save recent conns");
        return VTA_ERR_INVALID;
    }
    cfg_store *store = nullptr;
    int32_t rc = open_store(&store, msg, msg_size);
    if (rc != VTA_OK)
        return rc;
    // Every RecentConn<n> goes, not only 0 to 10: a list that had more than eleven computers
    // would otherwise leave its tail keys behind.
    cfg_line *record = nullptr;
    for (int index = 0; cfg_get(store, index, &record) == CFG_OK;) {
        if (is_recent_key(record->key))
            cfg_delete(store, index);
        else
            ++index;
    }
    int count = 0;
    for (VTAObj *child = root->VTA_Child; child != nullptr; child = child->VTA_SibRight) {
        if (child->VTA_Type != VTA_OBJ_COMPUTER)
            continue;
        char key[32];
        bounded_format(key, sizeof key, "%s%d", kKeyPrefix, count++);
        const char *fields[CFG_MAX_FIELDS] = {child->VTA_Name};
        rc = cfg_insert(store, -1, key, fields, nullptr, msg, msg_size);
        if (rc != CFG_OK) {
            cfg_close(&store, 1, nullptr, 0);
            return rc;
        }
    }
    return cfg_close(&store, 1, msg, msg_size);
}

void VTAObj_RecentResetForTests() {
    g_recent_loaded = false;
}

int32_t VTAObj_RootOpFunc(VTATree *tree, uint32_t op, VTAObj *node, void *data, size_t, char *msg,
                          size_t msg_size) {
    switch (op) {
    case VTA_OP_REDISPLAY:
        VTATree_Notify(tree, VTA_NOTE_UPDATED, node);
        return refresh_root(tree, node, msg, msg_size);
    case VTA_OP_REFRESH:
        return refresh_root(tree, node, msg, msg_size);
    case VTA_OP_CREATE:
        return create_connection(tree, node, static_cast<const char *>(data), msg, msg_size);
    case VTA_OP_SAVE:
        return VTAObj_SaveRecent(node, msg, msg_size);
    case VTA_OP_ALLOW_MENU: {
        auto *allow = static_cast<VTA_ALLOW_MENU *>(data);
        const bool allowed = allow->VTA_Op == VTA_OP_CREATE || allow->VTA_Op == VTA_OP_SAVE ||
                             allow->VTA_Op == VTA_OP_REFRESH_ALL;
        allow->VTA_Answer = allowed ? VTA_MENU_ALLOWED : VTA_MENU_NOT_ALLOWED;
        return VTA_OK;
    }
    default:
        return VTA_ERR_NOT_HANDLED;
    }
}
