// Test helpers for the window shell: the Qt application, captured message boxes, small node
// kinds whose behaviour each test chooses, and the panes' contents as text.
#pragma once

#include "kxntadmin/app.h"
#include "kxntadmin/message_box.h"

#include <string>
#include <vector>

using Lines = std::vector<std::string>;

// Captures every message box for as long as it lives.
class MessageRecorder {
public:
    MessageRecorder();
    ~MessageRecorder();
    MessageRecorder(const MessageRecorder &) = delete;
    MessageRecorder &operator=(const MessageRecorder &) = delete;

    const std::vector<KxMessage> &messages() const;
    // Each box as "<title>|<text>|<icon>", the icon "information", "critical", "question" or
    // "warning", followed by " on top" for a box kept above the other windows.
    Lines boxes() const;
    void clear();
};

// Folder kind of the tests: code 3 announces the node, a refresh keeps every child but the
// placeholder, rows have the columns "Name", "Type" and a right-aligned "Size" (the node's
// number of children).
int32_t TestFolderOpFunc(VTATree *tree, uint32_t op, VTAObj *node, void *data, size_t data_size,
                         char *msg, size_t msg_size);
// The number of saves asked of test folders.
extern int saves_asked;

// Allocates and inserts a node; the test fails when the insertion fails.
VTAObj *add_test_node(VTATree *tree, VTAObj *parent, const char *name, uint32_t kind, bool folder,
                      VTAObj_OpFunc op_func = TestFolderOpFunc, bool lazy = false);

// Texts of a tree view's items, depth first, indented by two spaces per level.
Lines item_texts(const CKxAdminTreeView *view);
// A list's header and rows, cells joined with "|".
Lines list_lines(const CKxListModel *model);
// Makes `node` current; the test fails when it cannot be.
void make_current(VTATree *tree, VTAObj *node);

// A main frame with one document window whose tree root is a test folder (or `root_op`).
struct ShellWindow {
    explicit ShellWindow(VTAObj_OpFunc root_op = TestFolderOpFunc);
    ~ShellWindow();
    ShellWindow(const ShellWindow &) = delete;
    ShellWindow &operator=(const ShellWindow &) = delete;

    VTATree *tree() const { return doc->Tree(); }
    VTAObj *root() const { return doc->Tree()->VTA_Root; }
    Lines tree_items() const { return item_texts(child->TreeView()); }
    Lines list_rows() const { return list_lines(child->ListView()->Model()); }

    CKxAdminFrm *frame = nullptr;
    CVTADoc *doc;
    CkxAdminChildFrm *child;
};

// Sends a status notice as the tree does around an operation.
void send_status(VTATree *tree, bool busy, const char *text);
