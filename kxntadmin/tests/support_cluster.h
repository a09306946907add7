// The window shell over the simulated cluster: one install root and one in-process cluster per
// test program (the admin library reads the agent port once per process), and a fixture with
// the console as the program starts it, on "localhost" from the recent connections.
#pragma once

#include "kxntadmin/tests/support_shell.h"

#include "clustersim/cluster.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

class QTreeWidgetItem;

class ClusterEnvironment : public ::testing::Environment {
public:
    explicit ClusterEnvironment(const char *scenario) : scenario_(scenario) {}
    void SetUp() override;
    void TearDown() override;

    std::string root() const { return root_; }
    std::string recent_path() const { return root_ + "/config/cfg.kxntadmin"; }
    sim_cluster *cluster = nullptr;

private:
    const char *scenario_;
    std::string root_;
};

// Registers the program's cluster, running `scenario` (JSON); called once at namespace scope.
ClusterEnvironment *register_cluster(const char *scenario);
extern ClusterEnvironment *cluster_env;

std::vector<std::string> file_lines(const std::string &path);
std::string node_name(const VTAObj *node);

class ShellOnCluster : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    CKxAdminTreeView *tree_view() const { return child_->TreeView(); }
    CKxAdminListView *list_view() const { return child_->ListView(); }
    VTATree *tree() const { return child_->Document()->Tree(); }

    // Sets a fault of the cluster for this test; TearDown clears it.
    void set_fault(const char *target, const char *fault);
    // The item reached by following item texts from the top, or null.
    QTreeWidgetItem *item(const std::vector<std::string> &path) const;
    // The node of that item; null (with a test failure) when there is none.
    VTAObj *node_at(const std::vector<std::string> &path) const;
    Lines tree_items() const { return item_texts(tree_view()); }
    // Names of the folder children of `node`, in the tree's order.
    static std::vector<std::string> folder_children(const VTAObj *node);
    // Rows of `node` as the tree answers them (header first), cells joined by "|".
    std::vector<std::string> tree_rows(VTAObj *node, std::vector<bool> *right_align);
    Lines list_lines() const { return ::list_lines(list_view()->Model()); }
    // Selects the item at `path` and checks that the list shows its node's rows as the tree
    // answers them (at least `min_rows` with the header), with the header's alignment.
    void expect_list_shows_current(const std::vector<std::string> &path, size_t min_rows);
    // Selects an item as a user's click does.
    void select(QTreeWidgetItem *at) { tree_view()->setCurrentItem(at); }
    // Selects each item of `path` in turn, as the user would; false when one is missing.
    bool select_path(const std::vector<std::string> &path);

    MessageRecorder messages_;
    CKxAdminFrm *frame_ = nullptr;
    CkxAdminChildFrm *child_ = nullptr;

private:
    std::vector<std::string> faults_;
};
