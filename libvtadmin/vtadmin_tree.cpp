#include "libvtadmin/vtadmin_tree.h"

#include "libutil/fatal.h"
#include "libutil/size_text.h"
#include "libvtadmin/vtadmin_child_index.h"
#include "libvtadmin/vtadmin_memory.h"

#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

// Broken link invariants are programming errors; the report names the invariant as written
// here rather than the local variable names.
#define TREE_ASSERT(cond, text)                                                                    \
    ((cond) ? (void)0 : fatal_assert("ASSERT failed ", text, 1, "vtadmin_tree", __LINE__))

namespace {

const char *const kPlaceholderName = "_NEED_REFRESH_";

// VTAObj_Free clears a node before it goes back, so the pool need not clear it again.
block_pool g_node_pool(sizeof(VTAObj), VTA_NODE_MEMORY_KEPT / BLOCK_POOL_SLAB_SIZE, false);
bool g_pooled_nodes = true;

const char *const kTypeNames[VTA_OBJ_LAST + 1] = {
    "<Invalid>",
    "<Free>",
    "<Dummy>",
    "",
    "Value",
    "All",
    "",
    "Computer",
    "All File Systems",
    "File System (Active)",
    "File System (Standby)",
    "File System (Down)",
    "All Disks",
    "Disk",
    "All Stripe Groups",
    "Stripe Group (Online)",
    "Stripe Group (Offline)",
    "Stripe Group (Disabled)",
    "All Quotas",
    "",
    "Quota (User)",
    "Quota (Group)",
    "",
    "Quota (Directory)",
    "All Clients",
    "Client",
    "Quality of Service",
    "Quality of Service",
    "Debug",
    "<Last>",
};

void set_message(char *msg, size_t msg_size, const char *format, ...)
    __attribute__((format(printf, 3, 4)));

void set_message(char *msg, size_t msg_size, const char *format, ...) {
    if (msg == nullptr || msg_size == 0)
        return;
    va_list args;
    va_start(args, format);
    vsnprintf(msg, msg_size, format, args);
    va_end(args);
}

const char *progress_name(uint32_t op) {
    switch (op) {
    case VTA_OP_REDISPLAY:
    case VTA_OP_REFRESH:
    case VTA_OP_REFRESH_ALL:
        return "Refresh";
    case VTA_OP_CREATE:
        return "Creating";
    case VTA_OP_OPEN:
        return "Open";
    case VTA_OP_SAVE:
        return "Save";
    case VTA_OP_CLOSE:
        return "Close";
    case VTA_OP_DELETE:
        return "Delete";
    case VTA_OP_START:
        return "Start";
    case VTA_OP_STOP:
        return "Stop";
    case VTA_OP_FAILOVER:
        return "Failover";
    case VTA_OP_ACTIVATE:
        return "Activate";
    case VTA_OP_PROPERTIES:
        return "Properties";
    default:
        return "Unknown Operation";
    }
}

bool sends_progress(uint32_t op) {
    return op != VTA_OP_LV_ROW_GET && op != VTA_OP_LV_ROW_GETBYNBR && op != VTA_OP_ALLOW_MENU;
}

void fill_default_row(VTA_LV_ROW *row, const VTAObj *node) {
    row->VTA_ColCount = 2;
    if (row->VTA_RowNbr == 0) {
        VTAObj_SetCell(row, 0, "Name");
        VTAObj_SetCell(row, 1, "Type");
        return;
    }
    VTAObj_SetCell(row, 0, node->VTA_Name);
    VTAObj_SetCell(row, 1, VTAObj_TypeName(node->VTA_Type));
}

int32_t default_handling(VTATree *tree, uint32_t op, VTAObj *node, void *data, char *msg,
                         size_t msg_size) {
    switch (op) {
    case VTA_OP_LV_ROW_GET: {
        auto *row = static_cast<VTA_LV_ROW *>(data);
        // A row without its node cannot be described; it is reported like a missing row.
        if (row->VTA_RowNbr != 0 && row->VTA_Node == nullptr) {
            set_message(msg, msg_size, "No more child nodes for %s", node->VTA_Name);
            return VTA_ERR_NOT_FOUND;
        }
        fill_default_row(row, row->VTA_Node);
        return VTA_OK;
    }
    case VTA_OP_LV_ROW_GETBYNBR: {
        auto *row = static_cast<VTA_LV_ROW *>(data);
        VTAObj *child = VTAObj_GetNthChild(tree, node, row->VTA_RowNbr);
        if (child == nullptr) {
            set_message(msg, msg_size, "No more child nodes for %s", node->VTA_Name);
            return VTA_ERR_NOT_FOUND;
        }
        if (row->VTA_RowNbr != 0)
            row->VTA_Node = child;
        fill_default_row(row, child);
        return VTA_OK;
    }
    case VTA_OP_DELETE:
        set_message(msg, msg_size, "Cannot delete '%s'", node->VTA_Name);
        return VTA_ERR_INVALID;
    case VTA_OP_START:
        set_message(msg, msg_size, "'Start' operation is not supported for '%s'", node->VTA_Name);
        return VTA_ERR_INVALID;
    case VTA_OP_STOP:
        set_message(msg, msg_size, "'Stop' operation is not supported for '%s'", node->VTA_Name);
        return VTA_ERR_INVALID;
    case VTA_OP_ACTIVATE:
        set_message(msg, msg_size, "'Activate' operation is not supported for '%s'",
                    node->VTA_Name);
        return VTA_ERR_INVALID;
    default:
        return VTA_OK;
    }
}

// Step 3 of VTATree_Op for the codes with a data record or a refresh. Returns 0 when the
// operation function may be called.
int32_t prepare_operation(uint32_t op, VTAObj *node, void *data, size_t data_size, char *msg,
                          size_t msg_size) {
    // A null record of the right size is refused like a wrong size: the functions write to it.
    switch (op) {
    case VTA_OP_LV_ROW_GET:
    case VTA_OP_LV_ROW_GETBYNBR: {
        if (data == nullptr || data_size != sizeof(VTA_LV_ROW)) {
            set_message(msg, msg_size, "Internal Error: Wrong size for table row structure.\n");
            return VTA_ERR_INVALID;
        }
        auto *row = static_cast<VTA_LV_ROW *>(data);
        if (op == VTA_OP_LV_ROW_GETBYNBR && row->VTA_RowNbr < 0) {
            set_message(msg, msg_size,
                        "Internal Error: Bad row number for VTA_OP_LV_ROW_GETBYNBR'");
            return VTA_ERR_INVALID;
        }
        memset(row->VTA_Cells, 0, sizeof row->VTA_Cells);
        row->VTA_ColCount = 0;
        if (op == VTA_OP_LV_ROW_GET)
            row->VTA_RowNbr = -1;
        else
            row->VTA_Node = nullptr;
        return VTA_OK;
    }
    case VTA_OP_REFRESH:
        if (node->VTA_ChildIndex != nullptr) {
            child_index_each(
                node->VTA_ChildIndex, [](VTAObj *child, void *) { child->VTA_Stale = 1; }, nullptr);
            return VTA_OK;
        }
        for (VTAObj *child = node->VTA_Child; child != nullptr; child = child->VTA_SibRight)
            child->VTA_Stale = 1;
        return VTA_OK;
    case VTA_OP_ALLOW_MENU:
        if (data == nullptr || data_size != sizeof(VTA_ALLOW_MENU)) {
            set_message(msg, msg_size, "Internal Error: Wrong size for 'Allow Menu' structure.\n");
            return VTA_ERR_INVALID;
        }
        return VTA_OK;
    default:
        return VTA_OK;
    }
}

void prune_stale_children(VTATree *tree, VTAObj *node) {
    if (node->VTA_ChildIndex == nullptr) {
        VTAObj *child = node->VTA_Child;
        while (child != nullptr) {
            VTAObj *next = child->VTA_SibRight;
            if (child->VTA_Stale)
                VTAObj_Delete(tree, &child);
            child = next;
        }
        return;
    }
    // Gathered first, as deleting changes the index; deleted in list order as found.
    std::vector<VTAObj *> stale;
    child_index_each(
        node->VTA_ChildIndex,
        [](VTAObj *child, void *list) {
            if (child->VTA_Stale)
                static_cast<std::vector<VTAObj *> *>(list)->push_back(child);
        },
        &stale);
    for (VTAObj *child : stale)
        VTAObj_Delete(tree, &child);
}

void set_progress(VTAObj *message, uint8_t busy, const char *format, const char *progress,
                  const char *name) {
    VTA_MESSAGE_DATA data{};
    data.VTA_Busy = busy;
    bounded_format(data.VTA_Text, sizeof data.VTA_Text, format, progress, name);
    VTAObj_SetData(message, &data, sizeof data);
}

} // namespace

// ---- Nodes ----

VTAObj *VTAObj_Alloc(VTAObj_OpFunc op_func) {
    VTAObj *node = nullptr;
    if (g_pooled_nodes) {
        // A block is zero when new, else what VTAObj_Free left of a node: zero but for its kind.
        void *block = g_node_pool.allocate();
        if (block != nullptr) {
            node = new (block) VTAObj;
            node->VTA_Type = VTA_OBJ_INVALID;
            node->VTA_Pooled = 1;
        }
    } else {
        node = new (std::nothrow) VTAObj();
    }
    if (node != nullptr)
        node->VTA_OpFunc = op_func;
    return node;
}

void VTAObj_Free(VTAObj **node) {
    if (node == nullptr || *node == nullptr)
        return;
    VTAObj *obj = *node;
    *node = nullptr;
    TREE_ASSERT(obj->VTA_Parent == nullptr, "VTAObj->VTA_Parent == NULL");
    TREE_ASSERT(obj->VTA_Child == nullptr, "VTAObj->VTA_Child == NULL");
    TREE_ASSERT(obj->VTA_SibLeft == nullptr, "VTAObj->VTA_SibLeft == NULL");
    TREE_ASSERT(obj->VTA_SibRight == nullptr, "VTAObj->VTA_SibRight == NULL");
    // Leave a recognisable corpse for anything that still holds the pointer.
    const bool pooled = obj->VTA_Pooled != 0;
    memset(obj, 0, sizeof *obj);
    obj->VTA_Type = VTA_OBJ_FREE;
    if (pooled)
        g_node_pool.release(obj);
    else
        delete obj;
}

void VTAObj_SetNodeMemory(bool pooled, size_t keep_empty_bytes) {
    g_pooled_nodes = pooled;
    g_node_pool.keep_empty_slabs(keep_empty_bytes / BLOCK_POOL_SLAB_SIZE);
    child_index_keep_empty_slabs(keep_empty_bytes / BLOCK_POOL_SLAB_SIZE);
}

void VTAObj_SetName(VTAObj *node, const char *name) {
    // Names of 256 bytes or more keep their first 255 bytes.
    bounded_copy(node->VTA_Name, sizeof node->VTA_Name, name ? name : "");
    child_index_rekey(node);
}

void VTAObj_SetCell(VTA_LV_ROW *row, uint32_t column, const char *text) {
    bounded_copy(row->VTA_Cells[column].VTA_Text, VTA_LV_TEXT_SIZE, text);
}

void VTAObj_GetData(const VTAObj *node, void *record, size_t size) {
    KX_ASSERT(size <= sizeof node->VTA_Data, "vtadmin_tree");
    memcpy(record, node->VTA_Data, size);
}

void VTAObj_SetData(VTAObj *node, const void *record, size_t size) {
    KX_ASSERT(size <= sizeof node->VTA_Data, "vtadmin_tree");
    memcpy(node->VTA_Data, record, size);
}

int32_t VTAObj_Insert(VTATree *tree, VTAObj *parent, VTAObj *node) {
    if (tree == nullptr || node == nullptr)
        return VTA_ERR_INVALID;
    TREE_ASSERT(node->VTA_Parent == nullptr, "VTAObj->VTA_Parent == NULL");
    TREE_ASSERT(node->VTA_SibLeft == nullptr, "VTAObj->VTA_SibLeft == NULL");
    TREE_ASSERT(node->VTA_SibRight == nullptr, "VTAObj->VTA_SibRight == NULL");

    VTAObj **first = parent != nullptr ? &parent->VTA_Child : &tree->VTA_Root;
    if (*first != nullptr && (*first)->VTA_Type == VTA_OBJ_DUMMY) {
        VTAObj *placeholder = *first;
        VTAObj_Unlink(tree, placeholder);
        VTAObj_Free(&placeholder);
    }

    // A list gets its index with its first node; a list without one (memory ran out) is walked.
    VTAChildIndex **slot = parent != nullptr ? &parent->VTA_ChildIndex : &tree->VTA_TopIndex;
    if (*first == nullptr && *slot == nullptr)
        *slot = child_index_create(slot);
    VTAChildIndex *index = *slot;
    VTAObj *previous = nullptr;
    VTAObj *next = *first;
    uint32_t position = 0;
    if (index != nullptr && child_index_sorted(index)) {
        position =
            child_index_upper_bound(index, node->VTA_IsFolder, node->VTA_Name, &previous, &next);
    } else {
        for (; next != nullptr; previous = next, next = next->VTA_SibRight, ++position) {
            if (node->VTA_IsFolder && !next->VTA_IsFolder)
                break;
            if ((node->VTA_IsFolder || !next->VTA_IsFolder) &&
                strncmp(node->VTA_Name, next->VTA_Name, VTA_NAME_SIZE) < 0)
                break;
        }
    }

    node->VTA_SibLeft = previous;
    node->VTA_SibRight = next;
    if (next != nullptr)
        next->VTA_SibLeft = node;
    if (previous != nullptr)
        previous->VTA_SibRight = node;
    else
        *first = node;
    node->VTA_Parent = parent;
    if (index != nullptr)
        child_index_insert(index, position, node);
    VTATree_Notify(tree, VTA_NOTE_INSERTED, node);

    if (node->VTA_Type == VTA_OBJ_DUMMY || !node->VTA_IsFolder || !node->VTA_LoadOnDemand)
        return VTA_OK;
    VTAObj *placeholder = VTAObj_Alloc(VTAObj_DummyOpFunc);
    if (placeholder == nullptr)
        return VTA_ERR_NO_MEMORY;
    VTAObj_SetName(placeholder, kPlaceholderName);
    placeholder->VTA_Type = VTA_OBJ_DUMMY;
    placeholder->VTA_IsFolder = 1;
    return VTAObj_Insert(tree, node, placeholder);
}

void VTAObj_Unlink(VTATree *tree, VTAObj *node) {
    if (tree == nullptr || node == nullptr)
        return;
    TREE_ASSERT(node->VTA_Child == nullptr, "VTAObj->VTA_Child == NULL");
    if (tree->VTA_Current == node)
        tree->VTA_Current = nullptr;

    child_index_erase(node);
    VTAObj *parent = node->VTA_Parent;
    VTAObj *left = node->VTA_SibLeft;
    VTAObj *right = node->VTA_SibRight;
    // The top-level list starts at the tree's root field, as in insertion.
    if (parent != nullptr && parent->VTA_Child == node)
        parent->VTA_Child = right;
    else if (parent == nullptr && tree->VTA_Root == node)
        tree->VTA_Root = right;
    if (left != nullptr)
        left->VTA_SibRight = right;
    if (right != nullptr)
        right->VTA_SibLeft = left;
    node->VTA_Parent = nullptr;
    node->VTA_SibLeft = nullptr;
    node->VTA_SibRight = nullptr;
    VTATree_Notify(tree, VTA_NOTE_REMOVED, node);
}

void VTAObj_Delete(VTATree *tree, VTAObj **node) {
    if (node == nullptr || *node == nullptr)
        return;
    VTAObj *obj = *node;
    *node = nullptr;
    // Every child goes, each the first of the list in turn: an index kept up through that is
    // only work.
    if (obj->VTA_ChildIndex != nullptr)
        child_index_drop(obj->VTA_ChildIndex);
    while (obj->VTA_Child != nullptr) {
        VTAObj *child = obj->VTA_Child;
        VTAObj_Delete(tree, &child);
    }
    VTAObj_Unlink(tree, obj);
    VTAObj_Free(&obj);
}

int32_t VTAObj_FindChild(VTAObj *parent, VTAObj *start, const char *name, VTAObj **found) {
    if (found != nullptr)
        *found = nullptr;
    // A missing name is refused even with a start node: there is nothing to compare.
    if (name == nullptr || (start == nullptr && parent == nullptr))
        return VTA_ERR_INVALID;
    VTAObj *node = start != nullptr ? start : parent->VTA_Child;
    const VTAChildIndex *index = node != nullptr ? node->VTA_ListIndex : nullptr;
    if (index != nullptr && child_index_sorted(index)) {
        node = child_index_find(index, start != nullptr ? child_index_position(start) : 0, name);
    } else {
        while (node != nullptr && strncmp(node->VTA_Name, name, VTA_NAME_SIZE) != 0)
            node = node->VTA_SibRight;
    }
    if (node == nullptr)
        return VTA_ERR_NOT_FOUND;
    if (found != nullptr)
        *found = node;
    return VTA_OK;
}

VTAObj *VTAObj_FindChildOfType(VTATree *, VTAObj *node, uint32_t kind) {
    if (node == nullptr)
        return nullptr;
    for (VTAObj *child = node->VTA_Child; child != nullptr; child = child->VTA_SibRight)
        if (child->VTA_Type == kind)
            return child;
    return nullptr;
}

VTAObj *VTAObj_FindUpOfType(VTATree *, VTAObj *node, uint32_t kind) {
    for (; node != nullptr; node = node->VTA_Parent)
        if (node->VTA_Type == kind)
            return node;
    return nullptr;
}

VTAObj *VTAObj_GetNthChild(VTATree *, VTAObj *node, int32_t n) {
    if (node == nullptr)
        return nullptr;
    VTAObj *child = node->VTA_Child;
    if (n < 2 || child == nullptr)
        return child;
    if (node->VTA_ChildIndex != nullptr)
        return child_index_at(node->VTA_ChildIndex, static_cast<uint32_t>(n - 1));
    for (int32_t i = 1; i < n && child != nullptr; ++i)
        child = child->VTA_SibRight;
    return child;
}

int32_t VTAObj_ChildNumber(const VTAObj *node) {
    if (node == nullptr)
        return 0;
    if (node->VTA_ListIndex != nullptr)
        return static_cast<int32_t>(child_index_position(node)) + 1;
    int32_t number = 1;
    for (const VTAObj *left = node->VTA_SibLeft; left != nullptr; left = left->VTA_SibLeft)
        ++number;
    return number;
}

void VTAObj_Touch(VTAObj *node) {
    if (node != nullptr)
        node->VTA_Stale = 0;
}

const char *VTAObj_TypeName(uint32_t kind) {
    return kind <= VTA_OBJ_LAST ? kTypeNames[kind] : "";
}

void VTAObj_ValueRow(VTA_LV_ROW *row) {
    row->VTA_ColCount = 2;
    const VTAObj *node = row->VTA_Node;
    if (node == nullptr || node->VTA_Type != VTA_OBJ_VALUE) {
        VTAObj_SetCell(row, 0, "<No Object>");
        VTAObj_SetCell(row, 1, "????");
        return;
    }
    VTAObj_SetCell(row, 0, node->VTA_Name);
    VTA_VALUE_DATA value;
    VTAObj_GetData(node, &value, sizeof value);
    char *cell = row->VTA_Cells[1].VTA_Text;
    if (value.VTA_Text[0] != '\0')
        VTAObj_SetCell(row, 1, value.VTA_Text);
    else if (value.VTA_HasSize)
        size_format(value.VTA_Size, cell, VTA_LV_TEXT_SIZE);
    else if (value.VTA_HasNumber)
        bounded_format(cell, VTA_LV_TEXT_SIZE, "0x%" PRIx64, value.VTA_Number);
    else
        VTAObj_SetCell(row, 1, "<Not Initialized>");
}

int32_t VTAObj_SetMessage(VTATree *tree, VTAObj *parent, const char *name, const char *text,
                          char *msg, size_t msg_size) {
    // The whole value record is rewritten, so a reused node keeps no size or number from
    // its earlier life.
    VTA_VALUE_DATA value{};
    bounded_format(value.VTA_Text, sizeof value.VTA_Text, "%s", text ? text : "");

    VTAObj *node = nullptr;
    int32_t rc = VTAObj_FindChild(parent, nullptr, name, &node);
    if (rc == VTA_OK) {
        node->VTA_Type = VTA_OBJ_VALUE;
        VTAObj_SetData(node, &value, sizeof value);
        // Set during a refresh, the message is what the refresh found: it must not be pruned.
        VTAObj_Touch(node);
        VTATree_Notify(tree, VTA_NOTE_UPDATED, node);
        return VTA_OK;
    }
    if (rc != VTA_ERR_NOT_FOUND) {
        set_message(msg, msg_size, "Unexpected error %d Message node", rc);
        return rc;
    }
    node = VTAObj_Alloc(VTAObj_ValueOpFunc);
    if (node == nullptr) {
        set_message(msg, msg_size, "Out of memory on Message node '%s'", name);
        return VTA_ERR_NO_MEMORY;
    }
    VTAObj_SetName(node, name);
    node->VTA_Type = VTA_OBJ_VALUE;
    VTAObj_SetData(node, &value, sizeof value);
    rc = VTAObj_Insert(tree, parent, node);
    if (rc != VTA_OK) {
        // A value node is no lazy folder, so a failed insertion never linked it.
        set_message(msg, msg_size, "Unexpected error inserting node '%s'", name);
        VTAObj_Free(&node);
    }
    return rc;
}

// ---- Generic operation functions ----

int32_t VTAObj_DummyOpFunc(VTATree *, uint32_t, VTAObj *, void *, size_t, char *, size_t) {
    return VTA_ERR_NOT_HANDLED;
}

int32_t VTAObj_ValueOpFunc(VTATree *, uint32_t, VTAObj *, void *, size_t, char *msg,
                           size_t msg_size) {
    // Every non-zero result carries a text; a value leaf acts like a node without a function.
    set_message(msg, msg_size, "Internal Error: Object has no OpFunc support.\n");
    return VTA_ERR_NO_OPFUNC;
}

int32_t VTAObj_CheckboxOpFunc(VTATree *tree, uint32_t op, VTAObj *node, void *data,
                              size_t data_size, char *msg, size_t msg_size) {
    if (node == nullptr) {
        set_message(msg, msg_size, "Internal Error: No object for OP Checkbox");
        return VTA_ERR_INVALID;
    }
    if (op == VTA_OP_LV_ROW_GET) {
        auto *row = static_cast<VTA_LV_ROW *>(data);
        // The row describes the flag node it names; without one there is nothing to show.
        if (row->VTA_Node == nullptr) {
            set_message(msg, msg_size, "Internal Error: No object for OP Checkbox");
            return VTA_ERR_INVALID;
        }
        row->VTA_ColCount = 2;
        VTAObj_SetCell(row, 0, "");
        VTAObj_SetCell(row, 1, row->VTA_Node->VTA_Name);
        return VTA_OK;
    }
    if (op == VTA_OP_ALLOW_MENU)
        return VTATree_Op(tree, VTA_OP_ALLOW_MENU, node->VTA_Parent, data, data_size, msg,
                          msg_size);
    return VTA_ERR_NOT_HANDLED;
}

// ---- Tree ----

VTATree *VTATree_Create() {
    VTATree *tree = new (std::nothrow) VTATree();
    if (tree == nullptr)
        return nullptr;
    VTAObj *root = VTAObj_Alloc(VTAObj_RootOpFunc);
    if (root == nullptr) {
        delete tree;
        return nullptr;
    }
    root->VTA_IsFolder = 1;
    root->VTA_LoadOnDemand = 1;
    VTAObj_SetName(root, "Connections");
    root->VTA_Type = VTA_OBJ_ALL;
    // A root without its placeholder would never be loaded; treat that as out of memory too.
    if (VTAObj_Insert(tree, nullptr, root) != VTA_OK) {
        VTAObj_Delete(tree, &root);
        delete tree;
        return nullptr;
    }
    tree->VTA_Current = root;
    return tree;
}

void VTATree_Destroy(VTATree **tree) {
    if (tree == nullptr || *tree == nullptr)
        return;
    VTATree *obj = *tree;
    *tree = nullptr;
    while (obj->VTA_Root != nullptr) {
        VTAObj *top = obj->VTA_Root;
        VTAObj_Delete(obj, &top);
    }
    delete obj;
}

void VTATree_SetOwner(VTATree *tree, void *owner) {
    if (tree != nullptr)
        tree->VTA_Owner = owner;
}

void VTATree_SetNotify(VTATree *tree, VTATree_NotifyFunc notify) {
    if (tree != nullptr)
        tree->VTA_Notify = notify;
}

VTAObj *VTATree_GetCurrent(VTATree *tree) {
    return tree != nullptr ? tree->VTA_Current : nullptr;
}

void VTATree_Notify(VTATree *tree, uint32_t code, VTAObj *node) {
    // An update may have renamed the node or changed its folder flag in place.
    if (code == VTA_NOTE_UPDATED && node != nullptr)
        child_index_rekey(node);
    if (tree == nullptr || tree->VTA_Notify == nullptr)
        return;
    VTANote note{code, tree, node};
    tree->VTA_Notify(&note);
}

int32_t VTATree_SetCurrent(VTATree *tree, VTAObj *node, char *msg, size_t msg_size) {
    if (tree != nullptr && tree->VTA_Current == node)
        return VTA_OK;
    int32_t rc = VTATree_Op(tree, VTA_OP_REFRESH, node, nullptr, 0, msg, msg_size);
    if (rc != VTA_OK)
        return rc;
    tree->VTA_Current = node;
    VTATree_Notify(tree, VTA_NOTE_CURRENT, node);
    return VTA_OK;
}

int32_t VTATree_Op(VTATree *tree, uint32_t op, VTAObj *node, void *data, size_t data_size,
                   char *msg, size_t msg_size) {
    if (tree == nullptr || node == nullptr) {
        set_message(msg, msg_size, "Null arguments to VTATree_Op\n");
        return VTA_ERR_INVALID;
    }
    if (node->VTA_OpFunc == nullptr) {
        set_message(msg, msg_size, "Internal Error: Object has no OpFunc support.\n");
        return VTA_ERR_NO_OPFUNC;
    }

    // Validation failures send no progress messages: the message node is made afterwards.
    VTAObj *message = nullptr;
    const char *progress = nullptr;
    // The operation may delete the node (closing a computer), so its name is kept for the
    // closing message.
    char node_name[VTA_NAME_SIZE] = "";
    int32_t rc = prepare_operation(op, node, data, data_size, msg, msg_size);
    if (rc == VTA_OK && sends_progress(op)) {
        progress = progress_name(op);
        if (tree->VTA_Notify != nullptr) {
            message = VTAObj_Alloc(nullptr);
            if (message == nullptr) {
                set_message(msg, msg_size, "Out of memory in Tree OP\n");
                rc = VTA_ERR_INVALID;
            } else {
                memcpy(node_name, node->VTA_Name, sizeof node_name);
                node_name[sizeof node_name - 1] = '\0';
                message->VTA_Type = VTA_OBJ_MESSAGE;
                set_progress(message, 1, "Running: %s of '%s'", progress, node_name);
                VTATree_Notify(tree, VTA_NOTE_MESSAGE, message);
            }
        }
    }
    bool validated = rc == VTA_OK;
    if (validated) {
        rc = node->VTA_OpFunc(tree, op, node, data, data_size, msg, msg_size);
        if (rc == VTA_ERR_NOT_HANDLED)
            rc = default_handling(tree, op, node, data, msg, msg_size);
    }

    if (op == VTA_OP_REFRESH) {
        // Also after a failure: children the refresh did not confirm go, as they would after
        // a failed cluster request.
        prune_stale_children(tree, node);
    } else if (op == VTA_OP_ALLOW_MENU && validated) {
        auto *allow = static_cast<VTA_ALLOW_MENU *>(data);
        if (allow->VTA_Op == VTA_OP_REFRESH_ALL && allow->VTA_Answer == VTA_MENU_NOT_ALLOWED)
            allow->VTA_Answer = VTA_MENU_ALLOWED;
    }

    if (message != nullptr) {
        if (tree->VTA_Notify != nullptr) {
            set_progress(message, 0, rc == VTA_OK ? "Done: %s of '%s'" : "* ERROR *: %s of '%s'",
                         progress, node_name);
            VTATree_Notify(tree, VTA_NOTE_MESSAGE, message);
        }
        VTAObj_Free(&message);
    }
    return rc;
}
