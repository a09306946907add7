// The window shell over the simulated cluster: start-up from the recent connections, expanding,
// selecting and double-clicking real computer and file-system nodes, and the recent-connections
// file written when the window closes. One install root and one cluster serve the whole program
// (the admin library reads the agent port once per process).

#include "kxntadmin/tests/support_cluster.h"

#include "libvtadmin/vtadminlib.h"

#include <QHeaderView>
#include <QTest>
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

namespace {

constexpr const char *kScenario = R"({"hosts": [
    {"address": "127.0.0.1", "name": "alpha",
     "disks": [{"label": "d0", "serial": "SN0", "size": 68719476736, "hba_id": 0, "lun_id": 0}]},
    {"address": "127.0.0.2", "name": "beta"}],
  "filesystems": [
    {"name": "snfs1", "block_size": 4096, "total_blocks": 1220703, "free_blocks": 610351,
     "status": {"capability_flags": 4096},
     "managers": [{"host": "127.0.0.1", "state": "active", "priority": 0},
                  {"host": "127.0.0.2", "state": "standby", "priority": 1}],
     "stripe_groups": [{"name": "MetaFiles", "flags": 13, "total_blocks": 2000},
                       {"name": "Data", "flags": 1, "total_blocks": 8000}]},
    {"name": "scratch", "block_size": 4096, "total_blocks": 1000, "free_blocks": 1000,
     "managers": [{"host": "127.0.0.1", "state": "active"}]}]})";

ClusterEnvironment *const environment = register_cluster(kScenario);

TEST_F(ShellOnCluster, StartUpShowsTheRecentComputerWithOnlyItsFoldersInTreeOrder) {
    EXPECT_TRUE(messages_.messages().empty());
    ASSERT_EQ(VTATree_GetCurrent(tree()), tree()->VTA_Root);
    QTreeWidgetItem *top = item({"Connections"});
    ASSERT_NE(top, nullptr);
    EXPECT_TRUE(top->isSelected());
    EXPECT_TRUE(top->isExpanded());
    QTreeWidgetItem *localhost = item({"Connections", "localhost"});
    ASSERT_NE(localhost, nullptr);

    // Opening the computer loads its folders; the tree lists them in the node order.
    localhost->setExpanded(true);
    EXPECT_TRUE(messages_.messages().empty());
    VTAObj *computer = CKxAdminTreeView::ItemNode(localhost);
    ASSERT_NE(computer, nullptr);
    EXPECT_EQ(folder_children(computer), (std::vector<std::string>{"Disks", "File Systems"}));
    // Lazy folders carry their placeholder folder until they are opened.
    EXPECT_EQ(tree_items(), (std::vector<std::string>{"Connections", "  localhost", "    Disks",
                                                      "      _NEED_REFRESH_", "    File Systems",
                                                      "      _NEED_REFRESH_"}));

    // An active file system holds folders and value rows: only the folders become items.
    select(item({"Connections", "localhost", "File Systems"}));
    QTreeWidgetItem *snfs1 = item({"Connections", "localhost", "File Systems", "snfs1"});
    ASSERT_NE(snfs1, nullptr);
    VTAObj *fs = CKxAdminTreeView::ItemNode(snfs1);
    ASSERT_EQ(fs->VTA_Type, VTA_OBJ_FS_ACTIVE);
    select(snfs1);
    ASSERT_EQ(VTATree_GetCurrent(tree()), fs);
    std::vector<std::string> shown;
    for (int i = 0; i < snfs1->childCount(); ++i)
        shown.push_back(snfs1->child(i)->text(0).toStdString());
    EXPECT_FALSE(shown.empty());
    EXPECT_EQ(shown, folder_children(fs));
    EXPECT_GT(list_view()->Model()->rowCount(), static_cast<int>(shown.size()))
        << "the list also shows the file system's value rows";
}

// Listing the file systems reads the status of every active one from its manager; a file
// system's own folders are built without it, but what is below them needs it.
TEST_F(ShellOnCluster, ExpandingOrSelectingBelowAnUnreachableManagerShowsTheErrorAndStaysPut) {
    item({"Connections", "localhost"})->setExpanded(true);
    set_fault("fsm:snfs1", "refuse");
    const std::vector<std::string> folder_path = {"Connections", "localhost", "File Systems"};
    ASSERT_NE(item(folder_path), nullptr);
    ASSERT_TRUE(messages_.messages().empty());
    item(folder_path)->setExpanded(true);
    ASSERT_EQ(messages_.boxes().size(), 1u);
    EXPECT_TRUE(messages_.boxes()[0].starts_with("Error|")) << messages_.boxes()[0];
    EXPECT_TRUE(messages_.boxes()[0].ends_with("|critical on top")) << messages_.boxes()[0];
    EXPECT_TRUE(messages_.messages()[0].text.contains(QStringLiteral("snfs1")));
    ASSERT_NE(item(folder_path), nullptr);
    EXPECT_FALSE(item(folder_path)->isExpanded());
    EXPECT_EQ(VTATree_GetCurrent(tree()), tree()->VTA_Root) << "expanding does not select";
    EXPECT_EQ(child_->BusyCount(), 0);

    // Selecting it fails the same way, under the selection's information icon.
    messages_.clear();
    select(item(folder_path));
    ASSERT_EQ(messages_.boxes().size(), 1u);
    EXPECT_TRUE(messages_.boxes()[0].starts_with("Error|")) << messages_.boxes()[0];
    EXPECT_TRUE(messages_.boxes()[0].ends_with("|information on top")) << messages_.boxes()[0];
    EXPECT_EQ(VTATree_GetCurrent(tree()), tree()->VTA_Root);
    EXPECT_EQ(list_view()->ListDir(), tree()->VTA_Root);

    set_fault("fsm:snfs1", "none");
    messages_.clear();
    select(item(folder_path));
    QTreeWidgetItem *snfs1 = item({"Connections", "localhost", "File Systems", "snfs1"});
    ASSERT_NE(snfs1, nullptr);
    ASSERT_EQ(CKxAdminTreeView::ItemNode(snfs1)->VTA_Type, VTA_OBJ_FS_ACTIVE);
    snfs1->setExpanded(true);
    ASSERT_TRUE(messages_.messages().empty());
    set_fault("fsm:snfs1", "refuse");

    const std::vector<std::string> groups_path = {"Connections", "localhost", "File Systems",
                                                  "snfs1", "Stripe Groups"};
    QTreeWidgetItem *groups = item(groups_path);
    ASSERT_NE(groups, nullptr);
    ASSERT_GT(groups->childCount(), 0) << "a lazy folder shows its placeholder";
    groups->setExpanded(true);
    ASSERT_EQ(messages_.boxes().size(), 1u);
    EXPECT_TRUE(messages_.boxes()[0].starts_with("Error|")) << messages_.boxes()[0];
    EXPECT_TRUE(messages_.boxes()[0].ends_with("|critical on top")) << messages_.boxes()[0];
    EXPECT_TRUE(messages_.messages()[0].text.contains(QStringLiteral("snfs1")));
    // Look the item up again: the failed refresh may have rebuilt the folder.
    groups = item(groups_path);
    ASSERT_NE(groups, nullptr);
    EXPECT_FALSE(groups->isExpanded());
    EXPECT_EQ(child_->BusyCount(), 0);
    EXPECT_EQ(child_->cursor().shape(), Qt::ArrowCursor);
    EXPECT_TRUE(frame_->MessageText().startsWith(QStringLiteral("* ERROR *: ")))
        << frame_->MessageText().toStdString();

    // With the manager reachable again the same item expands into the stripe groups, in the
    // node order (names sorted), not the cluster's order.
    set_fault("fsm:snfs1", "none");
    messages_.clear();
    groups->setExpanded(true);
    EXPECT_TRUE(messages_.messages().empty());
    groups = item(groups_path);
    ASSERT_NE(groups, nullptr);
    EXPECT_TRUE(groups->isExpanded());
    EXPECT_EQ(folder_children(CKxAdminTreeView::ItemNode(groups)), (Lines{"Data", "MetaFiles"}));
    ASSERT_EQ(groups->childCount(), 2);
    EXPECT_EQ(groups->child(0)->text(0), QStringLiteral("Data"));
    EXPECT_EQ(groups->child(1)->text(0), QStringLiteral("MetaFiles"));
}

TEST_F(ShellOnCluster, SelectingAFolderFillsTheListWithTheTreeRowsAndTheirAlignment) {
    select(item({"Connections", "localhost"}));
    // File systems: both managers of snfs1 and scratch.
    expect_list_shows_current({"Connections", "localhost", "File Systems"}, 4);
    expect_list_shows_current({"Connections", "localhost", "File Systems", "snfs1"}, 3);
    expect_list_shows_current(
        {"Connections", "localhost", "File Systems", "snfs1", "Stripe Groups"}, 3);
}

TEST_F(ShellOnCluster, ClosingTheWindowSavesEveryComputerInSortedOrder) {
    char msg[256] = "";
    std::string host = "127.0.0.2";
    ASSERT_EQ(VTATree_Op(tree(), VTA_OP_CREATE, tree()->VTA_Root, host.data(), host.size() + 1, msg,
                         sizeof msg),
              VTA_OK)
        << msg;
    EXPECT_EQ(tree_items(),
              (std::vector<std::string>{"Connections", "  127.0.0.2", "    _NEED_REFRESH_",
                                        "  localhost", "    _NEED_REFRESH_"}));

    child_->close();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(messages_.messages().empty());
    EXPECT_EQ(file_lines(cluster_env->recent_path()),
              (std::vector<std::string>{"RecentConn0=127.0.0.2", "RecentConn1=localhost"}));
    EXPECT_TRUE(frame_->MdiArea()->subWindowList().isEmpty());
    child_ = nullptr;
}

TEST_F(ShellOnCluster, DoubleClickingAFolderRowMakesItCurrent) {
    QTreeWidgetItem *localhost = item({"Connections", "localhost"});
    ASSERT_NE(localhost, nullptr);
    select(localhost);
    ASSERT_EQ(list_view()->ListDir(), CKxAdminTreeView::ItemNode(localhost));
    CKxListModel *model = list_view()->Model();
    int row = -1;
    for (int r = 0; r < model->rowCount(); ++r)
        if (model->index(r, 0).data().toString() == QStringLiteral("File Systems"))
            row = r;
    ASSERT_GE(row, 0);
    VTAObj *folder = model->NodeAt(row);

    const QRect cell = list_view()->visualRect(model->index(row, 0));
    ASSERT_TRUE(cell.isValid());
    // A real double click: press and release, then the double-click event.
    QTest::mouseClick(list_view()->viewport(), Qt::LeftButton, {}, cell.center());
    QTest::mouseDClick(list_view()->viewport(), Qt::LeftButton, {}, cell.center());
    EXPECT_TRUE(messages_.messages().empty());
    EXPECT_EQ(VTATree_GetCurrent(tree()), folder);
    EXPECT_EQ(list_view()->ListDir(), folder);
    QTreeWidgetItem *selected = tree_view()->currentItem();
    ASSERT_NE(selected, nullptr);
    EXPECT_EQ(CKxAdminTreeView::ItemNode(selected), folder);
    EXPECT_EQ(model->rowCount(), static_cast<int>(folder_children(folder).size()))
        << "the list now shows the file systems";
}

// The start-up option --select walks the tree as a user's clicks would.
TEST_F(ShellOnCluster, SelectPathOpensEachItemInTurnAndStopsAtAMissingOne) {
    ASSERT_TRUE(tree_view()->SelectPath(QStringLiteral("localhost/File Systems/snfs1")));
    QTreeWidgetItem *snfs1 = item({"Connections", "localhost", "File Systems", "snfs1"});
    ASSERT_NE(snfs1, nullptr);
    EXPECT_EQ(VTATree_GetCurrent(tree()), CKxAdminTreeView::ItemNode(snfs1));
    EXPECT_EQ(list_view()->ListDir(), CKxAdminTreeView::ItemNode(snfs1));
    EXPECT_FALSE(snfs1->isExpanded());
    EXPECT_TRUE(snfs1->parent()->isExpanded());
    EXPECT_EQ(frame_->MessageText(), QStringLiteral("Done: Refresh of 'snfs1'"))
        << "the last operation is the refresh of the item selected last";

    EXPECT_FALSE(tree_view()->SelectPath(QStringLiteral("localhost/Nowhere")));
    EXPECT_EQ(VTATree_GetCurrent(tree()),
              CKxAdminTreeView::ItemNode(item({"Connections", "localhost"})))
        << "the items before the missing one are selected";
    EXPECT_TRUE(messages_.messages().empty());
}

} // namespace
