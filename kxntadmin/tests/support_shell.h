// Test helpers for the window shell: the Qt application, captured message boxes and small
// node kinds whose behaviour each test chooses.
#pragma once

#include "kxntadmin/app.h"
#include "kxntadmin/message_box.h"

#include <string>
#include <vector>

// Captures every message box for as long as it lives.
class MessageRecorder {
public:
    MessageRecorder();
    ~MessageRecorder();
    MessageRecorder(const MessageRecorder &) = delete;
    MessageRecorder &operator=(const MessageRecorder &) = delete;

    const std::vector<KxMessage> &messages() const;
    void clear();
};

// Folder kind of the tests: code 3 announces the node, a refresh keeps every child but the
// placeholder, rows have the columns "Name", "Type" and a right-aligned "Size" (the node's
// number of children).
int32_t TestFolderOpFunc(VTATree *tree, uint32_t op, VTAObj *node, void *data, size_t data_size,
                         char *msg, size_t msg_size);
// Folder whose refresh fails with "Cannot reach the file system manager".
int32_t TestUnreachableOpFunc(VTATree *tree, uint32_t op, VTAObj *node, void *data,
                              size_t data_size, char *msg, size_t msg_size);
// Root whose save (code 7) fails with "Cannot write the recent connections"; otherwise a
// test folder. The number of saves asked of either root kind is counted in saves_asked.
int32_t TestUnsavableRootOpFunc(VTATree *tree, uint32_t op, VTAObj *node, void *data,
                                size_t data_size, char *msg, size_t msg_size);
extern int saves_asked;

// Allocates and inserts a node; the test fails when the insertion fails.
VTAObj *add_test_node(VTATree *tree, VTAObj *parent, const char *name, uint32_t kind, bool folder,
                      VTAObj_OpFunc op_func = TestFolderOpFunc);

// A main frame with one document window whose tree root is a test folder (or `root_op`).
struct ShellWindow {
    explicit ShellWindow(VTAObj_OpFunc root_op = TestFolderOpFunc);
    ~ShellWindow();
    ShellWindow(const ShellWindow &) = delete;
    ShellWindow &operator=(const ShellWindow &) = delete;

    VTATree *tree() const { return doc->Tree(); }
    VTAObj *root() const { return doc->Tree()->VTA_Root; }
    // Texts of the tree view's items, depth first, indented by two spaces per level.
    std::vector<std::string> tree_items() const;
    // Cell texts of every list row, joined with "|".
    std::vector<std::string> list_rows() const;

    CKxAdminFrm *frame = nullptr;
    CVTADoc *doc;
    CkxAdminChildFrm *child;
};

// Sends a status notice as the tree does around an operation.
void send_status(VTATree *tree, bool busy, const char *text);
