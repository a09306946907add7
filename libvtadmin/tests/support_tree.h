// Test helpers for the admin object tree: a notification recorder and node builders.
#pragma once

#include "libvtadmin/vtadmin_tree.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

// Records every notification of the trees it is attached to (as their owner), as texts such
// as "inserted Alpha", "removed _NEED_REFRESH_", "message Running: Refresh of 'x' busy".
struct TreeRecorder {
    std::vector<std::string> notes;
    std::vector<VTAObj *> message_nodes; // the VTA_OBJ_MESSAGE node of each message note

    void attach(VTATree *tree);
    void clear();
    // Only the message notes, as their texts.
    std::vector<std::string> messages() const;
};

// Allocates a node of `kind` named `name` with `op_func` (not inserted).
VTAObj *make_node(const char *name, uint32_t kind, bool folder, bool lazy,
                  VTAObj_OpFunc op_func = VTAObj_DummyOpFunc);
// Allocates and inserts; fails the test when the insertion fails.
VTAObj *add_node(VTATree *tree, VTAObj *parent, const char *name, uint32_t kind, bool folder,
                 bool lazy, VTAObj_OpFunc op_func = VTAObj_DummyOpFunc);
// Names of the children of `parent` (of the top level when null), in sibling order, checking
// the back links and parent pointers on the way.
std::vector<std::string> child_names(VTATree *tree, VTAObj *parent);
// The node's name, kind name and flags, as "Connections|All|folder|lazy" or "x|Value|leaf".
std::string shape(const VTAObj *node);
// The children of `parent`, in sibling order.
std::vector<VTAObj *> children(VTAObj *parent);
// The row's cells (VTA_ColCount of them) joined by "|".
std::string row_text(const VTA_LV_ROW &row);

// A new tree with a recorder attached and a folder "Parent" under the root, of `op_func` and
// loaded on demand when `lazy`; the recorder is cleared after the parent's insertion.
class TreeWithParent : public ::testing::Test {
protected:
    explicit TreeWithParent(VTAObj_OpFunc op_func = VTAObj_DummyOpFunc, bool lazy = false)
        : parent_op_(op_func), parent_lazy_(lazy) {}
    void SetUp() override;
    void TearDown() override;
    // VTATree_Op on `node`; the message lands in msg.
    int32_t op(uint32_t code, VTAObj *node, void *data = nullptr, size_t size = 0);

    VTATree *tree = nullptr;
    VTAObj *parent = nullptr;
    TreeRecorder recorder;
    char msg[256] = "";

private:
    VTAObj_OpFunc parent_op_;
    bool parent_lazy_;
};
