// A fixture for tree tests over the cluster simulator: an in-process cluster of the test's
// scenario on the program's private root, the library, and a tree whose root has been loaded,
// with helpers that act on nodes as the views do.
#pragma once

#include "support_tree.h"

#include "clustersim/cluster.h"
#include "libvtadmin/vtadmin_tree.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

class ClusterTreeTest : public ::testing::Test {
protected:
    // The scenario (JSON) the cluster runs.
    virtual std::string scenario_json() const = 0;

    void SetUp() override;
    void TearDown() override;

    // VTATree_Op on `node`; the message lands in msg_.
    int32_t op(uint32_t code, VTAObj *node, void *data = nullptr, size_t size = 0);
    // Connects to `host` (a new computer under the root) and refreshes it.
    VTAObj *computer(const char *host);
    // The n-th (from 1) child named `name`, refreshed.
    VTAObj *open(VTAObj *parent, const char *name, int occurrence = 1);
    // The node's list rows (row 0, the header, first), each as its cells joined by "|".
    std::vector<std::string> rows(VTAObj *node);
    // Text of the value child `label` of `node`.
    static std::string value(VTAObj *node, const char *label);
    // The child of `folder` named `name` of node type `kind`, or null.
    static VTAObj *child(VTAObj *folder, const char *name, uint32_t kind);
    // The menu answer (VTA_MENU_*) of `node` for the operation `asked`.
    uint32_t allowed(VTAObj *node, uint32_t asked);
    void edit(void (*fn)(sim_scenario &, void *)) { cluster_edit(cluster_, fn, nullptr); }

    sim_cluster *cluster_ = nullptr;
    VTATree *tree_ = nullptr;
    TreeRecorder recorder_;
    char msg_[256] = "";
};
