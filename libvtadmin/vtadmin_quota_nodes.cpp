#include "libvtadmin/vtadmin_quota_nodes.h"

#include "libfsmcomm/fsmcomm.h"
#include "libutil/fatal.h"
#include "libutil/logging.h"
#include "libutil/size_text.h"
#include "libvtadmin/vtadmin_computer.h"
#include "libvtadmin/vtadmin_dirquota.h"
#include "libvtadmin/vtadmin_fsobjs.h"
#include "libvtadmin/vtadminlib.h"

#include <cinttypes>
#include <cstring>
#include <initializer_list>

namespace {

const VTA_QUOTA_EDIT &edit_of(const VTAObj *node) {
    return *reinterpret_cast<const VTA_QUOTA_EDIT *>(node->VTA_Data);
}

const VTA_QUOTA &quota_of(const VTAObj *node) {
    return edit_of(node).VTA_Quota;
}

bool has_limits(const VTA_QUOTA &q) {
    return q.hard != 0 || q.soft != 0 || q.grace != 0;
}

void set_cell(VTA_LV_ROW *row, uint32_t column, const char *text, bool right = false) {
    VTAObj_SetCell(row, column, text);
    row->VTA_Cells[column].VTA_RightAlign = right ? 1 : 0;
}

int32_t answer_allow(void *data, std::initializer_list<uint32_t> allowed) {
    auto *allow = static_cast<VTA_ALLOW_MENU *>(data);
    allow->VTA_Answer = VTA_MENU_NOT_ALLOWED;
    for (uint32_t op : allowed)
        if (allow->VTA_Op == op)
            allow->VTA_Answer = VTA_MENU_ALLOWED;
    return VTA_OK;
}

// The n-th row's node of a folder list (code 2), or the caller's node (code 1); null past the
// end, with "No more information objects for Quota '%s'".
VTAObj *row_node(VTATree *tree, uint32_t op, VTAObj *folder, VTA_LV_ROW *row, char *msg,
                 size_t msg_size) {
    if (op == VTA_OP_LV_ROW_GETBYNBR)
        row->VTA_Node = VTAObj_GetNthChild(tree, folder, row->VTA_RowNbr);
    if (row->VTA_Node == nullptr)
        bounded_format(msg, msg_size, "No more information objects for Quota '%s'",
                       folder->VTA_Name);
    return row->VTA_Node;
}

bool is_header(uint32_t op, const VTA_LV_ROW *row) {
    return op == VTA_OP_LV_ROW_GETBYNBR && row->VTA_RowNbr == 0;
}

// ---- "Quotas" ----

struct sub_folder {
    const char *name;
    const char *description;
    VTA_ITEM_KIND kind;
};

const sub_folder kSubFolders[] = {
    {"Users & Groups",
     "User & Group Quotas",
     {VTAObj_QuotasUGOpFunc, VTA_OBJ_QUOTAS_UG, true, "Out of memory Quota node '%s'",
      "Unexpected error inserting node '%s'"}},
    {"Directories",
     "Directory Quotas",
     {VTAObj_QuotasDirOpFunc, VTA_OBJ_QUOTAS_DIR, true, "Out of memory Quota node '%s'",
      "Unexpected error inserting node '%s'"}},
};

int32_t ensure_sub_folders(VTATree *tree, VTAObj *quotas, char *msg, size_t msg_size) {
    for (const sub_folder &sub : kSubFolders) {
        VTAObj *child = nullptr;
        int32_t rc = VTAObj_FindChild(quotas, nullptr, sub.name, &child);
        if (rc == VTA_OK) {
            VTAObj_Touch(child);
            continue;
        }
        if (rc != VTA_ERR_NOT_FOUND) {
            bounded_format(msg, msg_size, "Unexpected error %d looking for Quota node %s", rc,
                           sub.name);
            return rc;
        }
        rc = VTAObj_InsertItem(tree, quotas, sub.kind, sub.name, nullptr, 0, msg, msg_size);
        if (rc != VTA_OK)
            return rc;
    }
    return VTA_OK;
}

int32_t quotas_rows(VTATree *tree, uint32_t op, VTAObj *quotas, VTA_LV_ROW *row, char *msg,
                    size_t msg_size) {
    if (is_header(op, row)) {
        set_cell(row, 0, "Name");
        set_cell(row, 1, "Description");
        row->VTA_ColCount = 2;
        return VTA_OK;
    }
    VTAObj *child = row_node(tree, op, quotas, row, msg, msg_size);
    if (child == nullptr)
        return VTA_ERR_NOT_FOUND;
    row->VTA_ColCount = 2;
    set_cell(row, 0, child->VTA_Name);
    set_cell(row, 1,
             child->VTA_Type == VTA_OBJ_QUOTAS_UG ? kSubFolders[0].description
                                                  : kSubFolders[1].description);
    return VTA_OK;
}

// ---- Quota state, the first step of both sub-folders' refresh ----

// Opens the FSM connection and asks whether quotas are on. Returns 0 with `*fsm` held (and the
// file-system node) when they are. Otherwise `*fsm` is released and the result is the
// refresh's: 0 after the "Status" row was set (quotas off), or the failure's code with its
// message.
int32_t open_if_enabled(VTATree *tree, VTAObj *folder, int *fsm, VTAObj **fs, bool *enabled,
                        char *msg, size_t msg_size) {
    *enabled = false;
    int32_t rc = VTAObj_ConnectFsm(folder, fsm, fs, msg, msg_size);
    if (rc != VTA_OK)
        return rc;
    const int state = VTAdmin_GetQuotasState(*fsm);
    if (state > 0) {
        *enabled = true;
        return VTA_OK;
    }
    if (state < 0) {
        // The call reports every failure as -1, whose library text would be "Permission
        // denied.": name what failed instead.
        bounded_format(msg, msg_size, "Error retrieving Quota State: %s",
                       "the FSM did not answer the quota state request (see the log).");
        rc = -state;
    } else {
        rc = VTAObj_SetMessage(tree, folder, VTA_QUOTA_STATUS_NAME, VTA_QUOTAS_DISABLED_TEXT, msg,
                               msg_size);
    }
    VTAObj_DisconnectFsm(fsm);
    return rc;
}

// ---- "Users & Groups" ----

constexpr VTA_ITEM_KIND kQuotaItem = {VTAObj_QuotaOpFunc, VTA_OBJ_QUOTA_USER, false,
                                      "Out of memory Quota User node '%s'",
                                      "Unexpected error inserting node '%s'"};

bool is_empty(const VTA_QUOTA &q) {
    return q.used == 0 && q.hard == 0 && q.soft == 0 && q.grace == 0 && q.time_remaining == 0;
}

uint32_t node_kind(const VTA_QUOTA &q) {
    return q.type == VTA_QUOTA_USER ? VTA_OBJ_QUOTA_USER : VTA_OBJ_QUOTA_GROUP;
}

// The child named `name` of node kind `kind` whose quota is of `type` (a user and a group, or
// the data and the files quota of a directory, share a name). Null when there is none (rc 0)
// or when the search failed (rc its code).
VTAObj *find_quota_node(VTAObj *folder, const char *name, uint32_t kind, uint32_t type,
                        int32_t *rc) {
    VTAObj *found = nullptr;
    for (VTAObj *start = nullptr;; start = found->VTA_SibRight) {
        *rc = VTAObj_FindChild(folder, start, name, &found);
        if (*rc != VTA_OK) {
            if (*rc == VTA_ERR_NOT_FOUND)
                *rc = VTA_OK;
            return nullptr;
        }
        if (found->VTA_Type == kind && quota_of(found).type == type)
            return found;
        if (found->VTA_SibRight == nullptr)
            return nullptr;
    }
}

// Updates the node of the entry's name, kind and type, or inserts a new one. `search_error`
// reports a failed search (with its code and the name).
int32_t place_quota(VTATree *tree, VTAObj *folder, const VTA_QUOTA_EDIT &data, uint32_t kind,
                    const char *search_error, char *msg, size_t msg_size) {
    const VTA_QUOTA &q = data.VTA_Quota;
    int32_t rc = VTA_OK;
    VTAObj *found = find_quota_node(folder, q.name, kind, q.type, &rc);
    if (rc != VTA_OK) {
        bounded_format(msg, msg_size, search_error, rc, q.name);
        return rc;
    }
    if (found != nullptr) {
        VTAObj_SetData(found, &data, sizeof data);
        VTAObj_SetName(found, q.name);
        VTAObj_Touch(found);
        VTATree_Notify(tree, VTA_NOTE_UPDATED, found);
        return VTA_OK;
    }
    VTA_ITEM_KIND item = kQuotaItem;
    item.type = kind;
    return VTAObj_InsertItem(tree, folder, item, q.name, &data, sizeof data, msg, msg_size);
}

struct quota_walk {
    int (*next)(int fshandle, VTA_QUOTA *record);
    const char *error; // with the call's result
    const char *what;
};

const quota_walk kWalks[] = {
    {VTAdmin_ListUserQuotas, "Unexpected VTA error %d listing user quotas", "user"},
    {VTAdmin_ListGroupQuotas, "Unexpected VTA error %d listing group quotas", "group"},
};

// True, with the message in `msg`, when a walk that has taken `taken` entries has reached the
// limit: an FSM whose list never ends must not hold the console for ever.
bool walk_without_end(uint32_t taken, const char *what, char *msg, size_t msg_size) {
    if (taken < list_walk_limit())
        return false;
    bounded_format(msg, msg_size, "The FSM's %s quota list does not end (stopped after %u entries)",
                   what, taken);
    return true;
}

int32_t list_users_and_groups(VTATree *tree, VTAObj *folder, char *msg, size_t msg_size) {
    int fsm = -1;
    bool enabled = false;
    int32_t rc = open_if_enabled(tree, folder, &fsm, nullptr, &enabled, msg, msg_size);
    if (!enabled)
        return rc;
    for (const quota_walk &walk : kWalks) {
        VTA_QUOTA_EDIT data{};
        VTA_QUOTA &q = data.VTA_Quota;
        for (uint32_t taken = 0; rc == VTA_OK; ++taken) {
            if (walk_without_end(taken, walk.what, msg, msg_size)) {
                rc = VTA_ERR_INVALID;
                break;
            }
            const int result = walk.next(fsm, &q);
            if (result == VTA_EOF)
                break;
            if (result != VTA_OK) {
                bounded_format(msg, msg_size, walk.error, result);
                rc = result;
            } else if (!is_empty(q)) {
                rc = place_quota(tree, folder, data, node_kind(q),
                                 "Unexpected error %d looking for Quota node %s", msg, msg_size);
            }
        }
    }
    VTAObj_DisconnectFsm(&fsm);
    return rc;
}

// ---- "Directories" ----

// Lists the data quotas, then the files quotas; a directory with both shows two nodes.
int32_t list_directories(VTATree *tree, VTAObj *folder, char *msg, size_t msg_size) {
    int fsm = -1;
    VTAObj *fs = nullptr;
    bool enabled = false;
    int32_t rc = open_if_enabled(tree, folder, &fsm, &fs, &enabled, msg, msg_size);
    if (!enabled)
        return rc;
    for (uint32_t type : {VTA_QUOTA_DIR_SPACE, VTA_QUOTA_DIR_FILES}) {
        VTA_QUOTA_EDIT data{};
        VTA_QUOTA &q = data.VTA_Quota;
        for (uint32_t taken = 0; rc == VTA_OK; ++taken) {
            if (walk_without_end(taken, "directory", msg, msg_size)) {
                rc = VTA_ERR_INVALID;
                break;
            }
            char text[VTA_MESSAGE_SIZE] = "";
            int result = VTAdmin_ListDirQuotas(fsm, type, &q, text);
            if (result == VTA_EOF)
                break;
            if (result == VTA_ENOTSUP) {
                bounded_format(msg, msg_size, "%s", text);
            } else if (result != VTA_OK) {
                bounded_format(msg, msg_size, "Unexpected VTA error %d listing dir quotas", result);
            } else if ((result = VTAdmin_DirQuotaName2Path(fs->VTA_Name, q.name, VTA_PATH_RELATIVE,
                                                           data.VTA_Path, sizeof data.VTA_Path,
                                                           text)) != VTA_OK) {
                bounded_format(msg, msg_size,
                               "Unexpected error (%d) looking for Quota path for '%s'.\n%s", result,
                               q.name, text);
            } else {
                result = place_quota(tree, folder, data, VTA_OBJ_QUOTA_DIR,
                                     "Unexpected error (%d) looking for Quota '%s'", msg, msg_size);
            }
            rc = result;
        }
    }
    VTAObj_DisconnectFsm(&fsm);
    return rc;
}

// The columns of a quota row: user and group rows have 8, directory rows 9 (the path before
// the message).
void quota_row(VTAObj *node, VTA_LV_ROW *row) {
    const bool directory = node->VTA_Type == VTA_OBJ_QUOTA_DIR;
    const VTA_QUOTA &q = quota_of(node);
    char text[VTA_LV_TEXT_SIZE];
    row->VTA_ColCount = directory ? 9 : 8;
    if (directory) {
        set_cell(row, 0, node->VTA_Name);
        set_cell(row, 1, q.type == VTA_QUOTA_DIR_SPACE ? "Data" : "Files");
        set_cell(row, 7, edit_of(node).VTA_Path);
    } else {
        set_cell(row, 0, q.name);
        set_cell(row, 1, q.type == VTA_QUOTA_USER ? "User" : "Group");
    }
    const bool limited = has_limits(q);
    if (limited) {
        size_format(q.hard, text, sizeof text);
        set_cell(row, 2, text);
        size_format(q.soft, text, sizeof text);
        set_cell(row, 3, text);
        minutes_format(q.grace, text, sizeof text);
        set_cell(row, 5, text);
    } else {
        for (uint32_t column : {2u, 3u, 5u})
            set_cell(row, column, "Unlimited");
    }
    size_format(q.used, text, sizeof text);
    set_cell(row, 4, text);
    // A limit of 0 is no limit: a quota with a grace period alone has nothing to exceed.
    const char *remaining = limited || !directory ? " " : "Unlimited";
    const char *status = " ";
    if (limited && q.hard != 0 && q.used >= q.hard) {
        remaining = "Exceeded!";
        status = "!! HARD LIMIT EXCEEDED !!";
    } else if (limited && q.soft != 0 && q.used > q.soft) {
        minutes_format(q.time_remaining / 60, text, sizeof text);
        remaining = text;
        status = q.time_remaining < 0 ? "!! Soft limit expired !!" : "Warning: Soft limit exceeded";
    }
    set_cell(row, 6, remaining);
    set_cell(row, directory ? 8 : 7, status);
}

// Rows of both sub-folders: the single "Message" column while the list is the quota-state
// row, else one row per quota.
int32_t quota_folder_rows(VTATree *tree, uint32_t op, VTAObj *folder, VTA_LV_ROW *row, char *msg,
                          size_t msg_size) {
    if (is_header(op, row)) {
        const VTAObj *first = folder->VTA_Child;
        if (first != nullptr && first->VTA_Type == VTA_OBJ_VALUE) {
            set_cell(row, 0, "Message");
            row->VTA_ColCount = 1;
            return VTA_OK;
        }
        static const char *const kHeader[] = {"Name",           "Type", "Limit Hard",
                                              "Limit Soft",     "Used", "Grace Period",
                                              "Time Remaining", "Path", "Message"};
        const bool directory = folder->VTA_Type == VTA_OBJ_QUOTAS_DIR;
        uint32_t column = 0;
        for (const char *title : kHeader)
            if (directory || std::strcmp(title, "Path") != 0) {
                set_cell(row, column, title, column >= 2 && column <= 6);
                ++column;
            }
        row->VTA_ColCount = column;
        return VTA_OK;
    }
    VTAObj *child = row_node(tree, op, folder, row, msg, msg_size);
    if (child == nullptr)
        return VTA_ERR_NOT_FOUND;
    if (child->VTA_Type == VTA_OBJ_VALUE) {
        set_cell(row, 0, reinterpret_cast<const VTA_VALUE_DATA *>(child->VTA_Data)->VTA_Text);
        row->VTA_ColCount = 1;
        return VTA_OK;
    }
    quota_row(child, row);
    return VTA_OK;
}

// The texts that tell adding a quota from saving one: a bad type and a failed set (each with
// its number and the name), and whether a missing user or group gets its own message.
struct set_texts {
    const char *bad_type;
    const char *failed;
    bool explain_not_found;
};

const set_texts kAddTexts = {"Bad quota type (%d) adding new quota %s",
                             "Error %d adding new quota %s", true};
const set_texts kSaveTexts = {"Bad quota type (%d) for quota %s", "Error %d updating quota %s",
                              false};

// Sets the user or group quota `q` on the file system of `folder`, then refreshes `folder`
// (which may delete the node the operation started on).
int32_t set_and_refresh(VTATree *tree, VTAObj *folder, VTA_QUOTA q, const set_texts &texts,
                        char *msg, size_t msg_size) {
    if (q.type != VTA_QUOTA_USER && q.type != VTA_QUOTA_GROUP) {
        bounded_format(msg, msg_size, texts.bad_type, static_cast<int>(q.type), q.name);
        return VTA_ERR_INVALID;
    }
    int fsm = -1;
    int32_t rc = VTAObj_ConnectFsm(folder, &fsm, nullptr, msg, msg_size);
    if (rc != VTA_OK)
        return rc;
    const int result = q.type == VTA_QUOTA_USER ? VTAdmin_SetUserQuota(fsm, q.name, &q)
                                                : VTAdmin_SetGroupQuota(fsm, q.name, &q);
    if (result == VTA_OK) {
        rc = VTATree_Op(tree, VTA_OP_REFRESH, folder, nullptr, 0, msg, msg_size);
    } else if (result == VTA_ENOENT && texts.explain_not_found) {
        bounded_format(msg, msg_size, "FSM returned 'Not Found'. Verify %s '%s' exists",
                       q.type == VTA_QUOTA_USER ? "user" : "group", q.name);
        rc = result;
    } else {
        bounded_format(msg, msg_size, texts.failed, result, q.name);
        rc = result;
    }
    VTAObj_DisconnectFsm(&fsm);
    return rc;
}

// The quota edit record of a create (code 5), its texts terminated; false with the message
// when the data is not one.
bool edit_record(const void *data, size_t data_size, VTA_QUOTA_EDIT *edit, char *msg,
                 size_t msg_size) {
    if (data == nullptr || data_size != sizeof(VTA_QUOTA_EDIT)) {
        bounded_format(msg, msg_size, "Internal Error: Wrong size for quota record.");
        return false;
    }
    *edit = *static_cast<const VTA_QUOTA_EDIT *>(data);
    edit->VTA_Quota.name[sizeof edit->VTA_Quota.name - 1] = '\0';
    edit->VTA_Path[sizeof edit->VTA_Path - 1] = '\0';
    return true;
}

int32_t add_user_or_group(VTATree *tree, VTAObj *folder, void *data, size_t data_size, char *msg,
                          size_t msg_size) {
    VTA_QUOTA_EDIT edit;
    if (!edit_record(data, data_size, &edit, msg, msg_size))
        return VTA_ERR_INVALID;
    return set_and_refresh(tree, folder, edit.VTA_Quota, kAddTexts, msg, msg_size);
}

// The record without limits: what deleting a quota sets.
VTA_QUOTA cleared(VTA_QUOTA q) {
    q.hard = 0;
    q.soft = 0;
    q.grace = 0;
    q.time_remaining = 0;
    return q;
}

// ---- Directory quotas ----

// Creates the name space of the directory (an existing one will do) and sets its limits;
// refreshes the folder. A name space made here for limits that the FSM then refuses is
// destroyed again, so that a failed add leaves nothing behind.
int32_t add_directory(VTATree *tree, VTAObj *folder, void *data, size_t data_size, char *msg,
                      size_t msg_size) {
    VTA_QUOTA_EDIT edit;
    if (!edit_record(data, data_size, &edit, msg, msg_size))
        return VTA_ERR_INVALID;
    VTA_QUOTA &q = edit.VTA_Quota;
    const char *path = edit.VTA_Path;
    if (q.type != VTA_QUOTA_DIR_SPACE && q.type != VTA_QUOTA_DIR_FILES) {
        bounded_format(msg, msg_size, "Bad quota type (%d) adding new dir quota %s",
                       static_cast<int>(q.type), path);
        return VTA_ERR_INVALID;
    }
    // An absolute path, as the quota editor gives it; a relative one is taken below the mount
    // point, never below the console's working directory.
    const int kind = path[0] == '/' ? VTA_PATH_ABSOLUTE : VTA_PATH_RELATIVE;
    int fsm = -1;
    VTAObj *fs = nullptr;
    int32_t rc = VTAObj_ConnectFsm(folder, &fsm, &fs, msg, msg_size);
    if (rc != VTA_OK)
        return rc;
    char text[VTA_MESSAGE_SIZE] = "";
    const int created = VTAdmin_CreateDirQuotaNameSpace(fs->VTA_Name, kind, path, text);
    if (created != VTA_OK && created != VTA_EEXIST) {
        bounded_format(msg, msg_size, "%s", text);
        VTAObj_DisconnectFsm(&fsm);
        return created;
    }
    log_info_writer(1, "VTAdmin_SetDirQuota: %s Typ=%d Lim=0x%" PRIx64 "\n", path,
                    static_cast<int>(q.type), q.hard);
    const int result = VTAdmin_SetDirQuota(fsm, q.type, kind, path, &q, text);
    if (result == VTA_OK) {
        rc = VTATree_Op(tree, VTA_OP_REFRESH, folder, nullptr, 0, msg, msg_size);
    } else {
        if (created == VTA_OK) {
            char ignored[VTA_MESSAGE_SIZE];
            VTAdmin_DestroyDirQuotaNameSpace(fs->VTA_Name, kind, path, ignored);
        }
        if (result == VTA_ENOENT)
            bounded_format(msg, msg_size, "FSM returned 'Not Found'. Verify %s '%s' exists",
                           q.type == VTA_QUOTA_DIR_SPACE ? "directory" : "file", path);
        else if (text[0] != '\0')
            bounded_format(msg, msg_size, "%s", text);
        else
            bounded_format(msg, msg_size, "Error %d adding new quota %s", result, path);
        rc = result;
    }
    VTAObj_DisconnectFsm(&fsm);
    return rc;
}

// Saves the node's record (code 7), or deletes its quota (code 9): a directory whose other
// kind of quota still has limits keeps its name space and loses only this kind's limits;
// otherwise the name space goes. Refreshes the folder.
int32_t apply_directory(VTATree *tree, VTAObj *node, bool remove, char *msg, size_t msg_size) {
    VTA_QUOTA_EDIT edit = edit_of(node);
    VTA_QUOTA &q = edit.VTA_Quota;
    bool destroy = false;
    if (remove) {
        int32_t rc = VTA_OK;
        const uint32_t other =
            q.type == VTA_QUOTA_DIR_SPACE ? VTA_QUOTA_DIR_FILES : VTA_QUOTA_DIR_SPACE;
        const VTAObj *sibling =
            find_quota_node(node->VTA_Parent, node->VTA_Name, VTA_OBJ_QUOTA_DIR, other, &rc);
        if (rc != VTA_OK) {
            bounded_format(msg, msg_size, "Unexpected error (%d) looking for Quota '%s'", rc,
                           node->VTA_Name);
            return rc;
        }
        destroy = sibling == nullptr || !has_limits(quota_of(sibling));
        q = cleared(q);
    }
    VTAObj *folder = node->VTA_Parent;
    int fsm = -1;
    VTAObj *fs = nullptr;
    int32_t rc = VTAObj_ConnectFsm(folder, &fsm, &fs, msg, msg_size);
    if (rc != VTA_OK)
        return rc;
    char text[VTA_MESSAGE_SIZE] = "";
    const int result =
        destroy
            ? VTAdmin_DestroyDirQuotaNameSpace(fs->VTA_Name, VTA_PATH_RELATIVE, edit.VTA_Path, text)
            : VTAdmin_SetDirQuota(fsm, q.type, VTA_PATH_RELATIVE, edit.VTA_Path, &q, text);
    if (result == VTA_OK)
        rc = VTATree_Op(tree, VTA_OP_REFRESH, folder, nullptr, 0, msg, msg_size);
    else if (destroy)
        bounded_format(msg, msg_size, "Error %d deleting quota namespace %s", result,
                       edit.VTA_Path);
    else if (remove)
        bounded_format(msg, msg_size, "Error %d updating quota %s", result, node->VTA_Name);
    else
        bounded_format(msg, msg_size, "Error (%d) updating quota %s: %s", result, node->VTA_Name,
                       text);
    VTAObj_DisconnectFsm(&fsm);
    return result == VTA_OK ? rc : result;
}

// ---- Quota nodes ----

// Saves the node's record, or with `clear` the record without limits.
int32_t apply_quota(VTATree *tree, VTAObj *node, bool clear, char *msg, size_t msg_size) {
    const VTA_QUOTA q = quota_of(node);
    return set_and_refresh(tree, node->VTA_Parent, clear ? cleared(q) : q, kSaveTexts, msg,
                           msg_size);
}

} // namespace

// ---- Operation functions ----

int32_t VTAObj_AllQuotasOpFunc(VTATree *tree, uint32_t op, VTAObj *node, void *data, size_t,
                               char *msg, size_t msg_size) {
    switch (op) {
    case VTA_OP_LV_ROW_GET:
    case VTA_OP_LV_ROW_GETBYNBR:
        return quotas_rows(tree, op, node, static_cast<VTA_LV_ROW *>(data), msg, msg_size);
    case VTA_OP_REFRESH:
        return ensure_sub_folders(tree, node, msg, msg_size);
    case VTA_OP_ALLOW_MENU:
        return answer_allow(data, {VTA_OP_REFRESH_ALL});
    default:
        return VTA_ERR_NOT_HANDLED;
    }
}

int32_t VTAObj_QuotasUGOpFunc(VTATree *tree, uint32_t op, VTAObj *node, void *data,
                              size_t data_size, char *msg, size_t msg_size) {
    switch (op) {
    case VTA_OP_LV_ROW_GET:
    case VTA_OP_LV_ROW_GETBYNBR:
        return quota_folder_rows(tree, op, node, static_cast<VTA_LV_ROW *>(data), msg, msg_size);
    case VTA_OP_REFRESH:
        return list_users_and_groups(tree, node, msg, msg_size);
    case VTA_OP_CREATE:
        return add_user_or_group(tree, node, data, data_size, msg, msg_size);
    case VTA_OP_ALLOW_MENU:
        return answer_allow(data, {VTA_OP_CREATE, VTA_OP_REFRESH_ALL});
    default:
        return VTA_ERR_NOT_HANDLED;
    }
}

int32_t VTAObj_QuotasDirOpFunc(VTATree *tree, uint32_t op, VTAObj *node, void *data,
                               size_t data_size, char *msg, size_t msg_size) {
    switch (op) {
    case VTA_OP_LV_ROW_GET:
    case VTA_OP_LV_ROW_GETBYNBR:
        return quota_folder_rows(tree, op, node, static_cast<VTA_LV_ROW *>(data), msg, msg_size);
    case VTA_OP_REFRESH:
        return list_directories(tree, node, msg, msg_size);
    case VTA_OP_CREATE:
        return add_directory(tree, node, data, data_size, msg, msg_size);
    case VTA_OP_ALLOW_MENU:
        return answer_allow(data, {VTA_OP_CREATE, VTA_OP_REFRESH_ALL});
    default:
        return VTA_ERR_NOT_HANDLED;
    }
}

int32_t VTAObj_QuotaOpFunc(VTATree *tree, uint32_t op, VTAObj *node, void *data, size_t, char *msg,
                           size_t msg_size) {
    const bool directory = node->VTA_Type == VTA_OBJ_QUOTA_DIR;
    switch (op) {
    case VTA_OP_SAVE:
    case VTA_OP_DELETE: {
        const bool remove = op == VTA_OP_DELETE;
        return directory ? apply_directory(tree, node, remove, msg, msg_size)
                         : apply_quota(tree, node, remove, msg, msg_size);
    }
    case VTA_OP_ALLOW_MENU:
        return answer_allow(data, {VTA_OP_CREATE, VTA_OP_DELETE, VTA_OP_PROPERTIES});
    default:
        return VTA_ERR_NOT_HANDLED;
    }
}
