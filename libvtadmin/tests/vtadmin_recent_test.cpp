// The "Connections" root and the recent-connections file: loading with the gap and
// duplicate-key rules, sorted saving, stale keys, file creation, the once-per-process load.

#include "support_tree.h"
#include "support_vtadmin.h"

#include "libvtadmin/vorud.h"
#include "libvtadmin/vtadmin_recent.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {

const char *const kFile = "cfg.kxntadmin";

class Recent : public ::testing::Test {
protected:
    void SetUp() override {
        test_root();
        write_config_file(kFile, "");
        VTAObj_RecentResetForTests();
    }
    void TearDown() override {
        VTATree_Destroy(&tree_);
        write_config_file(kFile, "");
    }
    // A new tree whose root is announced and loaded as the tree view does at start.
    int32_t open_tree() {
        VTATree_Destroy(&tree_);
        tree_ = VTATree_Create();
        recorder_.attach(tree_);
        char msg[256] = "";
        int32_t rc = VTATree_Op(tree_, VTA_OP_REDISPLAY, root(), nullptr, 0, msg, sizeof msg);
        EXPECT_EQ(rc, 0) << msg;
        rc = VTATree_Op(tree_, VTA_OP_REFRESH, root(), nullptr, 0, msg, sizeof msg);
        EXPECT_EQ(rc, 0) << msg;
        return rc;
    }
    VTAObj *root() { return tree_->VTA_Root; }
    void connect(const char *host) {
        char msg[256] = "";
        std::string text = host;
        ASSERT_EQ(
            VTATree_Op(tree_, VTA_OP_CREATE, root(), text.data(), text.size() + 1, msg, sizeof msg),
            0)
            << msg;
    }
    int32_t save() {
        char msg[256] = "";
        return VTATree_Op(tree_, VTA_OP_SAVE, root(), nullptr, 0, msg, sizeof msg);
    }
    // The file's lines without their line ends (the store writes CR LF).
    static std::vector<std::string> file_lines() {
        std::vector<std::string> lines = read_lines(test_config_dir() + "/" + kFile);
        for (std::string &line : lines)
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
        return lines;
    }

    VTATree *tree_ = nullptr;
    TreeRecorder recorder_;
};

TEST_F(Recent, GapEndsTheListAndDuplicateKeysLoadOnce) {
    write_config_file(kFile, "RecentConn0=alpha\nRecentConn2=gamma\n");
    open_tree();
    EXPECT_EQ(child_names(tree_, root()), (std::vector<std::string>{"alpha"}));

    write_config_file(kFile, "RecentConn0=one\nRecentConn0=two\nRecentConn1=three\n");
    VTAObj_RecentResetForTests();
    open_tree();
    EXPECT_EQ(child_names(tree_, root()), (std::vector<std::string>{"one", "three"}));
    ASSERT_EQ(save(), 0);
    EXPECT_EQ(file_lines(), (std::vector<std::string>{"RecentConn0=one", "RecentConn1=three"}))
        << "both RecentConn0 records went before writing";
}

TEST_F(Recent, LoadedComputersAreLazyFoldersWithoutConnection) {
    write_config_file(kFile, "RecentConn0=alpha\n");
    open_tree();
    VTAObj *alpha = root()->VTA_Child;
    ASSERT_NE(alpha, nullptr);
    EXPECT_EQ(alpha->VTA_Type, VTA_OBJ_COMPUTER);
    EXPECT_EQ(alpha->VTA_IsFolder, 1);
    ASSERT_NE(alpha->VTA_Child, nullptr);
    EXPECT_EQ(alpha->VTA_Child->VTA_Type, VTA_OBJ_DUMMY);
    VTA_CONN_INFO conn;
    VTAObj_GetData(alpha, &conn, sizeof conn);
    EXPECT_EQ(conn.reserved, ~uint64_t{0});
    EXPECT_EQ(conn.type, 1);
    EXPECT_STREQ(conn.host, "alpha");
}

TEST_F(Recent, SavingWritesComputersInSortedOrderAndKeepsOtherRecords) {
    write_config_file(kFile, "Window=3\n");
    open_tree();
    connect("beta");
    connect("alpha");
    connect("beta"); // no check for an existing computer: two nodes, both saved
    ASSERT_EQ(save(), 0);
    EXPECT_EQ(file_lines(), (std::vector<std::string>{"Window=3", "RecentConn0=alpha",
                                                      "RecentConn1=beta", "RecentConn2=beta"}));
}

TEST_F(Recent, MoreThanElevenComputersLeaveNoStaleKeys) {
    open_tree();
    for (int i = 0; i < 14; ++i)
        connect(("host" + std::to_string(100 + i)).c_str());
    ASSERT_EQ(save(), 0);
    EXPECT_EQ(file_lines().size(), 14u);
    EXPECT_EQ(file_lines().back(), "RecentConn13=host113");

    for (int i = 0; i < 12; ++i) {
        char msg[256];
        ASSERT_EQ(VTATree_Op(tree_, VTA_OP_CLOSE, root()->VTA_Child, nullptr, 0, msg, sizeof msg),
                  0);
    }
    ASSERT_EQ(save(), 0);
    EXPECT_EQ(file_lines(),
              (std::vector<std::string>{"RecentConn0=host112", "RecentConn1=host113"}));
}

TEST_F(Recent, MissingFileIsCreatedEmptyByTheLoadAndFilledByTheFirstSave) {
    open_tree();
    EXPECT_TRUE(child_names(tree_, root()).empty()) << "the placeholder is gone, nothing loaded";
    EXPECT_TRUE(file_lines().empty());
    connect("alpha");
    write_config_file(kFile, ""); // removed again: the save must create it
    ASSERT_EQ(save(), 0);
    EXPECT_EQ(file_lines(), (std::vector<std::string>{"RecentConn0=alpha"}));
}

TEST_F(Recent, RefreshConfirmsChildrenAndLaterTreesStartEmpty) {
    write_config_file(kFile, "RecentConn0=alpha\nRecentConn1=beta\n");
    open_tree();
    recorder_.clear();
    char msg[256];
    ASSERT_EQ(VTATree_Op(tree_, VTA_OP_REFRESH, root(), nullptr, 0, msg, sizeof msg), 0);
    EXPECT_EQ(child_names(tree_, root()), (std::vector<std::string>{"alpha", "beta"}));
    for (const std::string &note : recorder_.notes)
        EXPECT_EQ(note.rfind("removed", 0), std::string::npos) << note;

    open_tree(); // a second document of the same process
    EXPECT_TRUE(child_names(tree_, root()).empty());
}

TEST_F(Recent, RootMenuAllowsNewSaveAndRefreshOnly) {
    open_tree();
    for (uint32_t op = 1; op <= 16; ++op) {
        VTA_ALLOW_MENU allow{op, 0};
        char msg[256];
        ASSERT_EQ(
            VTATree_Op(tree_, VTA_OP_ALLOW_MENU, root(), &allow, sizeof allow, msg, sizeof msg), 0);
        const bool expected = op == VTA_OP_CREATE || op == VTA_OP_SAVE || op == VTA_OP_REFRESH_ALL;
        EXPECT_EQ(allow.VTA_Answer, expected ? VTA_MENU_ALLOWED : VTA_MENU_NOT_ALLOWED) << op;
    }
}

TEST_F(Recent, UnreadableFileLeavesTheRootEmptyAndTheNextRefreshRetries) {
    write_config_file(kFile, "RecentConn0=alpha\n");
    const std::string dir = test_config_dir();
    // A directory in the file's place cannot be read as a file.
    write_config_file(kFile, "");
    ASSERT_EQ(mkdir((dir + "/" + kFile).c_str(), 0700), 0);
    tree_ = VTATree_Create();
    char msg[256] = "";
    EXPECT_NE(VTATree_Op(tree_, VTA_OP_REFRESH, root(), nullptr, 0, msg, sizeof msg), 0);
    EXPECT_STRNE(msg, "");
    ASSERT_EQ(rmdir((dir + "/" + kFile).c_str()), 0);
    write_config_file(kFile, "RecentConn0=alpha\n");
    ASSERT_EQ(VTATree_Op(tree_, VTA_OP_REFRESH, root(), nullptr, 0, msg, sizeof msg), 0) << msg;
    EXPECT_EQ(child_names(tree_, root()), (std::vector<std::string>{"alpha"}));
}

} // namespace
