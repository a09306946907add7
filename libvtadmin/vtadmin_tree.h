// Admin object tree: nodes, node kinds, notifications and the single operation entry
// (VTATree_Op) through which the window shell acts on nodes.
#pragma once

#include <cstddef>
#include <cstdint>

struct VTAObj;
struct VTATree;
struct VTAChildIndex;
struct VTAChildLeaf;

// Node kinds. The display names are those of VTAObj_TypeName.
enum : uint32_t {
    VTA_OBJ_INVALID = 0,
    VTA_OBJ_FREE = 1,
    VTA_OBJ_DUMMY = 2, // placeholder child "_NEED_REFRESH_" of a lazy folder
    VTA_OBJ_MESSAGE = 3,
    VTA_OBJ_VALUE = 4,
    VTA_OBJ_ALL = 5, // the "Connections" root
    VTA_OBJ_DEBUG_FLAG = 6,
    VTA_OBJ_COMPUTER = 7,
    VTA_OBJ_ALL_FS = 8,
    VTA_OBJ_FS_ACTIVE = 9,
    VTA_OBJ_FS_STANDBY = 10,
    VTA_OBJ_FS_DOWN = 11,
    VTA_OBJ_ALL_DISKS = 12,
    VTA_OBJ_DISK = 13,
    VTA_OBJ_ALL_SG = 14,
    VTA_OBJ_SG_ONLINE = 15,
    VTA_OBJ_SG_OFFLINE = 16,
    VTA_OBJ_SG_DISABLED = 17,
    VTA_OBJ_ALL_QUOTAS = 18,
    VTA_OBJ_QUOTAS_UG = 19,
    VTA_OBJ_QUOTA_USER = 20,
    VTA_OBJ_QUOTA_GROUP = 21,
    VTA_OBJ_QUOTAS_DIR = 22,
    VTA_OBJ_QUOTA_DIR = 23,
    VTA_OBJ_ALL_CLIENTS = 24,
    VTA_OBJ_CLIENT = 25,
    VTA_OBJ_ALL_QOS = 26,
    VTA_OBJ_QOS = 27,
    VTA_OBJ_DEBUG = 28,
    VTA_OBJ_LAST = 29,
};

// Notification codes (VTANote::VTA_Code).
enum : uint32_t {
    VTA_NOTE_MESSAGE = 0,  // progress message; the node is a transient VTA_OBJ_MESSAGE node
    VTA_NOTE_INSERTED = 1, // node linked into the tree
    VTA_NOTE_REMOVED = 2,  // node unlinked; it is freed right after
    VTA_NOTE_UPDATED = 3,  // kind, name, flags or data changed
    VTA_NOTE_CURRENT = 4,  // the tree's current node changed
};

// Operation codes of VTATree_Op.
enum : uint32_t {
    VTA_OP_LV_ROW_GET = 1,      // data: VTA_LV_ROW with its node set to a child of the target
    VTA_OP_LV_ROW_GETBYNBR = 2, // data: VTA_LV_ROW with its row number set (0 = header)
    VTA_OP_REDISPLAY = 3,
    VTA_OP_REFRESH = 4,
    VTA_OP_CREATE = 5,
    VTA_OP_OPEN = 6,
    VTA_OP_SAVE = 7,
    VTA_OP_CLOSE = 8,
    VTA_OP_DELETE = 9,
    VTA_OP_START = 10,
    VTA_OP_STOP = 11,
    VTA_OP_FAILOVER = 12,
    VTA_OP_ACTIVATE = 13,
    VTA_OP_REFRESH_ALL = 14,
    VTA_OP_PROPERTIES = 15,
    VTA_OP_ALLOW_MENU = 16, // data: VTA_ALLOW_MENU
};

// Results of the tree functions (errno-style numbers). Codes passed up from the admin API
// library keep their own numbers.
enum : int32_t {
    VTA_OK = 0,
    VTA_ERR_NOT_FOUND = 2,    // not found, or no more rows
    VTA_ERR_NO_MEMORY = 12,   // out of memory
    VTA_ERR_NOT_HANDLED = 19, // kind does not handle it: use the default handling
    VTA_ERR_INVALID = 22,     // invalid argument or operation not supported
    VTA_ERR_NO_OPFUNC = 48,   // the node has no operation function
};

// Operation function of a node kind: (tree, operation code, node, data, data size, message
// buffer, message size). Returning VTA_ERR_NOT_HANDLED asks VTATree_Op for the default handling.
using VTAObj_OpFunc = int32_t (*)(VTATree *tree, uint32_t op, VTAObj *node, void *data,
                                  size_t data_size, char *msg, size_t msg_size);

constexpr size_t VTA_NAME_SIZE = 256;
constexpr size_t VTA_DATA_SIZE = 1576;
constexpr size_t VTA_TEXT_SIZE = 80; // value and message texts, NUL included

struct VTAObj {
    char VTA_Name[VTA_NAME_SIZE]; // display name and search key, NUL-terminated
    uint32_t VTA_Type;            // node kind (VTA_OBJ_*)
    // Kind-specific data. Aligned for the 64-bit fields of the records copied into it.
    alignas(8) unsigned char VTA_Data[VTA_DATA_SIZE];
    uint8_t VTA_IsFolder;     // container: shown in the tree view, sorts before non-containers
    uint8_t VTA_LoadOnDemand; // children are built by the first refresh (placeholder until then)
    uint8_t VTA_Stale;        // set before a refresh of the parent, cleared when found again
    VTAObj *VTA_Parent;
    VTAObj *VTA_Child; // first child
    VTAObj *VTA_SibLeft;
    VTAObj *VTA_SibRight;
    VTAObj_OpFunc VTA_OpFunc;   // null only for the transient message node
    uintptr_t VTA_ViewWords[2]; // owned by the views; zeroed at allocation
    // Kept by the tree beside the sibling links (vtadmin_child_index.h): the index of the list
    // the node is linked in and the leaf of it that holds the node, and the index of the node's
    // own children.
    VTAChildIndex *VTA_ListIndex;
    VTAChildLeaf *VTA_ListLeaf;
    VTAChildIndex *VTA_ChildIndex;
    uint8_t VTA_Pooled; // the node's memory came from the node pool (VTAObj_SetNodeMemory)
};
static_assert(sizeof(VTAObj::VTA_Data) == 1576, "kinds copy library records into VTA_Data");

// VTA_Data of a VTA_OBJ_VALUE node; compared and copied as one block, so producers start
// from a zeroed record.
struct VTA_VALUE_DATA {
    char VTA_Text[VTA_TEXT_SIZE]; // shown when not empty
    uint8_t VTA_HasSize;
    uint64_t VTA_Size; // shown through size_format
    uint8_t VTA_HasNumber;
    uint64_t VTA_Number; // shown as 0x<hex>
};
static_assert(sizeof(VTA_VALUE_DATA) <= VTA_DATA_SIZE);

// VTA_Data of the transient VTA_OBJ_MESSAGE node of VTATree_Op.
struct VTA_MESSAGE_DATA {
    char VTA_Text[VTA_TEXT_SIZE]; // the status line
    uint8_t VTA_Busy;             // 1 while the operation runs, 0 when it has ended
};
static_assert(sizeof(VTA_MESSAGE_DATA) <= VTA_DATA_SIZE);

struct VTANote {
    uint32_t VTA_Code; // VTA_NOTE_*
    VTATree *VTA_Tree;
    VTAObj *VTA_Obj;
};

using VTATree_NotifyFunc = void (*)(VTANote *note);

struct VTATree {
    VTAObj *VTA_Root;    // the one top-level node, "Connections"
    VTAObj *VTA_Current; // node whose children the list view shows; null once it is unlinked
    void *VTA_Owner;     // the shell's document
    VTATree_NotifyFunc VTA_Notify; // null: no notifications are sent
    VTAChildIndex *VTA_TopIndex;   // index of the top-level list, kept by the tree
};

constexpr int VTA_LV_MAX_COLS = 20;
constexpr size_t VTA_LV_TEXT_SIZE = 81; // at most 80 characters and the NUL

struct VTA_LV_CELL {
    char VTA_Text[VTA_LV_TEXT_SIZE];
    uint8_t VTA_RightAlign; // 1 = right-aligned column (meaningful in the header row)
};
static_assert(sizeof(VTA_LV_CELL) == 82);

// One list-view row.
struct VTA_LV_ROW {
    int32_t VTA_RowNbr; // code 2: 0 = header, n = n-th entry; code 1: set to -1
    VTA_LV_CELL VTA_Cells[VTA_LV_MAX_COLS];
    uint32_t VTA_ColCount;
    VTAObj *VTA_Node; // the node the row stands for; null in the header row
};
static_assert(sizeof(VTA_LV_ROW) == 4 + 20 * 82 + 4 + sizeof(void *));

constexpr uint32_t VTA_MENU_NOT_ALLOWED = 0;
constexpr uint32_t VTA_MENU_ALLOWED = 2;

// Is operation VTA_Op allowed on the node? The caller sets VTA_Answer to 0 before asking.
struct VTA_ALLOW_MENU {
    uint32_t VTA_Op;
    uint32_t VTA_Answer; // VTA_MENU_ALLOWED or VTA_MENU_NOT_ALLOWED
};

// ---- Tree ----

// New tree with the "Connections" root (lazy folder with its placeholder) as current node;
// null when memory runs out.
VTATree *VTATree_Create();
// Clears *tree, deletes every node (announcing each removal) and frees the tree.
void VTATree_Destroy(VTATree **tree);
void VTATree_SetOwner(VTATree *tree, void *owner);
void VTATree_SetNotify(VTATree *tree, VTATree_NotifyFunc notify);
VTAObj *VTATree_GetCurrent(VTATree *tree);
// Refreshes the node (code 4) and makes it current (VTA_NOTE_CURRENT); 0 at once when it
// already is current. A failed refresh leaves the current node and returns its result.
int32_t VTATree_SetCurrent(VTATree *tree, VTAObj *node, char *msg, size_t msg_size);
// Sends a note of `code` about `node` when the tree has a notify callback.
void VTATree_Notify(VTATree *tree, uint32_t code, VTAObj *node);

// The single operation entry: validates, reports progress ("Running: %s of '%s'", then
// "Done: ..." or "* ERROR *: ...") when a notify callback is set, calls the node's operation
// function, applies the default handling for VTA_ERR_NOT_HANDLED and prunes what a refresh
// did not find again. Every non-zero result leaves a text in `msg`.
int32_t VTATree_Op(VTATree *tree, uint32_t op, VTAObj *node, void *data, size_t data_size,
                   char *msg, size_t msg_size);

// ---- Nodes ----

// Zeroed node (kind 0, no flags, no links) with the given operation function; null when
// memory runs out.
VTAObj *VTAObj_Alloc(VTAObj_OpFunc op_func);
// Clears *node and releases an unlinked node. Linked nodes stop the process.
void VTAObj_Free(VTAObj **node);
// Where nodes allocated from now on come from. By default from a pool of 2 MiB slabs that ask
// for huge pages (vtadmin_memory.h), so that a large folder costs few page faults; a slab
// whose nodes are all freed is kept for reuse while the kept slabs hold no more than
// `keep_empty_bytes` (VTA_NODE_MEMORY_KEPT at start), else it goes back to the system; the same
// holds for the blocks of the child indexes. With `pooled` false every node is allocated on its own
// with nothrow new, as memory checkers and tests that count or fail allocations want. Nodes are
// freed where they came from.
void VTAObj_SetNodeMemory(bool pooled, size_t keep_empty_bytes);
constexpr size_t VTA_NODE_MEMORY_KEPT = size_t(8) << 20;
// Copies `name` into VTA_Name, cut to 255 bytes. A node renamed while linked keeps its place;
// renaming it (or changing its folder flag) any other way must be announced with
// VTA_NOTE_UPDATED (VTATree_Notify), as refreshes do, so that searches see the change.
void VTAObj_SetName(VTAObj *node, const char *name);
// Copy a kind's record out of / into VTA_Data (memcpy; no notification is sent).
void VTAObj_GetData(const VTAObj *node, void *record, size_t size);
void VTAObj_SetData(VTAObj *node, const void *record, size_t size);

// Links an unlinked node under `parent` (null: top level) in sorted position: folders first,
// each group in byte order of names, namesakes after the existing ones. A lazy folder gets its
// placeholder child. 0; 22 for a null tree or node; 12 when the placeholder cannot be made
// (the node itself stays linked).
int32_t VTAObj_Insert(VTATree *tree, VTAObj *parent, VTAObj *node);
// Takes a childless node out of its sibling list and announces the removal.
void VTAObj_Unlink(VTATree *tree, VTAObj *node);
// Clears *node, then deletes the subtree, children announced and freed before their parent.
void VTAObj_Delete(VTATree *tree, VTAObj **node);

// First node named `name` from `start` (inclusive) or from the parent's first child. 0 and
// the node; 2 and null when none matches; 22 and null without start and parent, or name.
int32_t VTAObj_FindChild(VTAObj *parent, VTAObj *start, const char *name, VTAObj **found);
VTAObj *VTAObj_FindChildOfType(VTATree *tree, VTAObj *node, uint32_t kind);
// The node itself or its nearest ancestor of that kind, else null.
VTAObj *VTAObj_FindUpOfType(VTATree *tree, VTAObj *node, uint32_t kind);
// n-th child counting from 1 (n below 2 gives the first); null when there are fewer.
VTAObj *VTAObj_GetNthChild(VTATree *tree, VTAObj *node, int32_t n);
// The n for which VTAObj_GetNthChild gives `node` among its siblings (1 for the first);
// 0 for null.
int32_t VTAObj_ChildNumber(const VTAObj *node);
void VTAObj_Touch(VTAObj *node);
// Display name of a kind; "" for kinds without one and above VTA_OBJ_LAST.
const char *VTAObj_TypeName(uint32_t kind);
// Writes `text` into cell `column` of the row, cut to 80 characters; no more than 80 bytes of it
// are read, so a text array of 80 bytes or more need not end in a NUL.
void VTAObj_SetCell(VTA_LV_ROW *row, uint32_t column, const char *text);
// Two columns for the value node in row->VTA_Node: name, then the value text, the size, the
// number or "<Not Initialized>"; "<No Object>", "????" when it is not a value node.
void VTAObj_ValueRow(VTA_LV_ROW *row);
// Makes child `name` of `parent` a value node with `text` (at most 79 characters), reusing
// (and touching) an existing child of that name.
int32_t VTAObj_SetMessage(VTATree *tree, VTAObj *parent, const char *name, const char *text,
                          char *msg, size_t msg_size);

// ---- Generic operation functions ----

// Placeholder child: never handles anything, so the default handling applies.
int32_t VTAObj_DummyOpFunc(VTATree *tree, uint32_t op, VTAObj *node, void *data, size_t data_size,
                           char *msg, size_t msg_size);
// Value leaf: answers every operation with 48.
int32_t VTAObj_ValueOpFunc(VTATree *tree, uint32_t op, VTAObj *node, void *data, size_t data_size,
                           char *msg, size_t msg_size);
// Debug-flag check-box row: code 1 fills an empty check-box column and the flag name; code 16
// is answered by the parent "Debug" folder.
int32_t VTAObj_CheckboxOpFunc(VTATree *tree, uint32_t op, VTAObj *node, void *data,
                              size_t data_size, char *msg, size_t msg_size);
// The "Connections" root (vtadmin_root.cpp).
int32_t VTAObj_RootOpFunc(VTATree *tree, uint32_t op, VTAObj *node, void *data, size_t data_size,
                          char *msg, size_t msg_size);
