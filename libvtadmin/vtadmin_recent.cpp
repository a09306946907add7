#include "libvtadmin/vtadmin_recent.h"

#include "libutil/cfg_store.h"
#include "libutil/fatal.h"
#include "libutil/file_read.h"
#include "libutil/install_paths.h"
#include "libvtadmin/vtadmin_computer.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <vector>

namespace {

// Set by the first successful load; later trees of the process start with an empty root.
bool g_recent_loaded = false;
// Held between VTAObj_RecentLock and VTAObj_RecentUnlock.
cfg_lock *g_recent_lock = nullptr;

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

// The file's path, or an error: a path cut short would name another file.
int32_t recent_path(char *path, size_t size, char *msg, size_t msg_size) {
    if (VTAObj_RecentPath(path, size))
        return VTA_OK;
    bounded_format(msg, msg_size, "Path too long: %s/cfg.kxntadmin", config_dir());
    return VTA_ERR_INVALID;
}

// The index n of a key "RecentConn<n>" as the save writes it (decimal, no leading zero), or -1.
int recent_index(const char *key) {
    if (!is_recent_key(key))
        return -1;
    const char *digits = key + strlen(kKeyPrefix);
    const size_t count = strlen(digits);
    if (count > 9 || (digits[0] == '0' && count > 1))
        return -1;
    return atoi(digits);
}

// Codes of a file whose content the store cannot read.
bool is_damage(int code) {
    return code == CFG_BAD_ARGUMENT || code == CFG_TOO_LONG || code == CFG_TOO_LARGE;
}

// Moves a damaged file out of the way under a name that is not taken; false when none is free
// or the move fails.
bool keep_aside(const char *path, char *aside, size_t size) {
    for (int n = 0; n < 10; ++n) {
        if (n == 0)
            bounded_format(aside, size, "%s.damaged", path);
        else
            bounded_format(aside, size, "%s.damaged.%d", path, n);
        if (renameat2(AT_FDCWD, path, AT_FDCWD, aside, RENAME_NOREPLACE) == 0)
            return true;
        if (errno != EEXIST)
            return false;
    }
    return false;
}

// Opens the file for the load: read-write (creating it) where allowed, read-only where not.
// A missing file that cannot be created is no error: the list is empty (null store).
int32_t open_for_load(const char *path, cfg_store **store, char *msg, size_t msg_size) {
    int32_t rc = cfg_open(path, kOpenMode, CFG_STYLE_KEY_VALUE, store, msg, msg_size);
    if (rc == EACCES || rc == EPERM || rc == EROFS) {
        rc = cfg_open(path, CFG_MODE_READ, CFG_STYLE_KEY_VALUE, store, msg, msg_size);
        if (rc == CFG_NOT_FOUND)
            rc = VTA_OK;
    }
    return rc;
}

// Host texts that the file cannot hold are refused before anything is changed: a line break
// would split the record, and a name of 256 bytes or more would be saved cut short.
bool valid_host(const char *host, size_t data_size, char *msg, size_t msg_size) {
    const size_t length = strlen(host);
    for (size_t i = length; i < data_size; ++i) {
        if (host[i] != '\0') {
            bounded_format(msg, msg_size, "Invalid host name: it contains a NUL character");
            return false;
        }
    }
    if (strpbrk(host, "\r\n") != nullptr) {
        bounded_format(msg, msg_size, "Invalid host name: it contains a line break");
        return false;
    }
    if (length >= VTA_NAME_SIZE) {
        bounded_format(msg, msg_size, "Host name too long: %zu bytes (at most %zu)", length,
                       VTA_NAME_SIZE - 1);
        return false;
    }
    return true;
}

int32_t create_connection(VTATree *tree, VTAObj *root, const char *host, size_t data_size,
                          char *msg, size_t msg_size) {
    if (host == nullptr) {
        bounded_format(msg, msg_size, "Failed to attach new connection %s", "(no host)");
        return VTA_ERR_INVALID;
    }
    if (!valid_host(host, data_size, msg, msg_size))
        return VTA_ERR_INVALID;
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

bool VTAObj_RecentPath(char *path, size_t size) {
    return config_file_path("cfg.kxntadmin", path, size);
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
    char path[CFG_PATH_MAX + 1];
    int32_t rc = recent_path(path, sizeof path, msg, msg_size);
    if (rc != VTA_OK)
        return rc;
    cfg_store *store = nullptr;
    char reason[VTA_MESSAGE_SIZE] = "";
    rc = open_for_load(path, &store, reason, sizeof reason);
    if (is_damage(rc)) {
        char aside[CFG_PATH_MAX + 32];
        if (keep_aside(path, aside, sizeof aside))
            bounded_format(msg, msg_size,
                           "The recent connections file %s could not be read (%s); it was kept "
                           "as %s and the list starts empty.",
                           path, reason, aside);
        else
            bounded_format(msg, msg_size,
                           "The recent connections file %s could not be read (%s) nor moved "
                           "aside (%s); the list starts empty.",
                           path, reason, strerror(errno));
        g_recent_loaded = true;
        return rc;
    }
    if (rc != VTA_OK) {
        bounded_format(msg, msg_size, "%s", reason);
        return rc;
    }

    // One pass over the records: the first record of each index. An index of the record
    // count or more cannot be reached without a gap.
    std::vector<const char *> hosts;
    for (cfg_line *record = nullptr; store != nullptr && cfg_next(store, &record) == CFG_OK;) {
        const int index = recent_index(record->key);
        if (index < 0)
            continue;
        if (static_cast<size_t>(index) >= hosts.size())
            hosts.resize(static_cast<size_t>(index) + 1, nullptr);
        if (hosts[static_cast<size_t>(index)] == nullptr)
            hosts[static_cast<size_t>(index)] = record->field_count > 0 ? record->fields[0] : "";
    }
    for (const char *host : hosts) {
        if (host == nullptr)
            break; // a gap ends the list
        VTAObj *node = VTAObj_NewComputer(host);
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

bool VTAObj_RecentLoaded() {
    return g_recent_loaded;
}

int32_t VTAObj_SaveRecent(VTAObj *root, char *msg, size_t msg_size) {
    if (root == nullptr) {
        bounded_format(msg, msg_size, "Internal Error: Invalid parent.  Save recent conns");
        return VTA_ERR_INVALID;
    }
    char path[CFG_PATH_MAX + 1];
    int32_t rc = recent_path(path, sizeof path, msg, msg_size);
    if (rc != VTA_OK)
        return rc;
    cfg_store *store = nullptr;
    rc = cfg_open(path, kOpenMode | CFG_MODE_LOCK, CFG_STYLE_KEY_VALUE, &store, msg, msg_size);
    if (rc != VTA_OK)
        return rc;
    // Every RecentConn<n> goes, not only 0 to 10: a list that had more than eleven computers
    // would otherwise leave its tail keys behind.
    cfg_line *record = nullptr;
    for (bool more = cfg_next(store, &record) == CFG_OK; more;) {
        cfg_line *current = record;
        more = cfg_next(store, &record) == CFG_OK; // step on before `current` goes
        if (is_recent_key(current->key))
            cfg_remove(store, current);
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
            // Nothing is written: a partial list would lose the computers not yet appended.
            cfg_close(&store, 0, nullptr, 0);
            return rc;
        }
    }
    return cfg_close(&store, 1, msg, msg_size);
}

int32_t VTAObj_RecentLock(char *msg, size_t msg_size) {
    if (g_recent_lock != nullptr)
        return VTA_OK;
    char path[CFG_PATH_MAX + 1];
    int32_t rc = recent_path(path, sizeof path, msg, msg_size);
    if (rc == VTA_OK)
        rc = cfg_lock_acquire(path, &g_recent_lock, msg, msg_size);
    return rc;
}

void VTAObj_RecentUnlock() {
    cfg_lock_release(&g_recent_lock);
}

void VTAObj_RecentResetForTests() {
    g_recent_loaded = false;
}

int32_t VTAObj_RootOpFunc(VTATree *tree, uint32_t op, VTAObj *node, void *data, size_t data_size,
                          char *msg, size_t msg_size) {
    switch (op) {
    case VTA_OP_REDISPLAY:
        VTATree_Notify(tree, VTA_NOTE_UPDATED, node);
        return refresh_root(tree, node, msg, msg_size);
    case VTA_OP_REFRESH:
        return refresh_root(tree, node, msg, msg_size);
    case VTA_OP_CREATE:
        return create_connection(tree, node, static_cast<const char *>(data), data_size, msg,
                                 msg_size);
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
