// Navigation tree and detail list: first display, notifications and user actions.
#include "kxntadmin/tests/support_shell.h"

#include <QHeaderView>
#include <QTest>
#include <gtest/gtest.h>

namespace {

using Items = std::vector<std::string>;

QTreeWidgetItem *item_of(const VTAObj *node) {
    return CKxAdminTreeView::NodeItem(node);
}

TEST(TreeView, FirstDisplayShowsSelectsAndExpandsTheTop) {
    ShellWindow w;
    EXPECT_EQ(w.tree_items(), Items({"Connections"}));
    QTreeWidgetItem *top = item_of(w.root());
    ASSERT_NE(top, nullptr);
    EXPECT_TRUE(top->isSelected());
    EXPECT_TRUE(top->isExpanded());
    EXPECT_EQ(CKxAdminTreeView::ItemNode(top), w.root());
}

TEST(TreeView, ShowsOnlyFoldersInTheTreesOrder) {
    ShellWindow w;
    add_test_node(w.tree(), w.root(), "beta", VTA_OBJ_COMPUTER, true);
    add_test_node(w.tree(), w.root(), "a-leaf", VTA_OBJ_VALUE, false, VTAObj_ValueOpFunc);
    VTAObj *alpha = add_test_node(w.tree(), w.root(), "alpha", VTA_OBJ_COMPUTER, true);
    add_test_node(w.tree(), w.root(), "Zeta", VTA_OBJ_COMPUTER, true);
    add_test_node(w.tree(), alpha, "fs2", VTA_OBJ_FS_ACTIVE, true);
    add_test_node(w.tree(), alpha, "fs1", VTA_OBJ_FS_DOWN, true);
    add_test_node(w.tree(), alpha, "quota", VTA_OBJ_QUOTA_USER, false);
    EXPECT_EQ(w.tree_items(),
              Items({"Connections", "  Zeta", "  alpha", "    fs1", "    fs2", "  beta"}));
}

TEST(TreeView, RemovalDeletesTheItemAndUpdateRewritesOrInsertsIt) {
    ShellWindow w;
    VTAObj *alpha = add_test_node(w.tree(), w.root(), "alpha", VTA_OBJ_COMPUTER, true);
    VTAObj *beta = add_test_node(w.tree(), w.root(), "beta", VTA_OBJ_COMPUTER, true);

    VTAObj_SetName(beta, "beta.example");
    beta->VTA_Type = VTA_OBJ_FS_STANDBY;
    VTATree_Notify(w.tree(), VTA_NOTE_UPDATED, beta);
    EXPECT_EQ(w.tree_items(), Items({"Connections", "  alpha", "  beta.example"}));

    VTAObj_Delete(w.tree(), &alpha);
    EXPECT_EQ(w.tree_items(), Items({"Connections", "  beta.example"}));

    // A node that turns into a folder appears on its update.
    VTAObj *leaf = add_test_node(w.tree(), w.root(), "later", VTA_OBJ_VALUE, false);
    EXPECT_EQ(item_of(leaf), nullptr);
    leaf->VTA_IsFolder = 1;
    VTATree_Notify(w.tree(), VTA_NOTE_UPDATED, leaf);
    EXPECT_EQ(w.tree_items(), Items({"Connections", "  beta.example", "  later"}));
}

TEST(TreeView, SelectingAnItemMakesItsNodeCurrent) {
    ShellWindow w;
    VTAObj *alpha = add_test_node(w.tree(), w.root(), "alpha", VTA_OBJ_COMPUTER, true);
    add_test_node(w.tree(), alpha, "fs1", VTA_OBJ_FS_ACTIVE, true);
    w.child->TreeView()->setCurrentItem(item_of(alpha));
    EXPECT_EQ(VTATree_GetCurrent(w.tree()), alpha);
    EXPECT_EQ(w.child->ListView()->ListDir(), alpha);
    EXPECT_EQ(w.list_rows(), Items({"fs1|File System (Active)|0"}));
}

TEST(TreeView, AFailedSelectionIsShownAndLeavesTheCurrentNode) {
    ShellWindow w;
    VTAObj *fs =
        add_test_node(w.tree(), w.root(), "fs1", VTA_OBJ_FS_ACTIVE, true, TestUnreachableOpFunc);
    MessageRecorder recorder;
    w.child->TreeView()->setCurrentItem(item_of(fs));
    EXPECT_EQ(VTATree_GetCurrent(w.tree()), w.root());
    ASSERT_EQ(recorder.messages().size(), 1u);
    EXPECT_EQ(recorder.messages()[0].title, "Error");
    EXPECT_EQ(recorder.messages()[0].text, "Cannot reach the file system manager");
    EXPECT_EQ(recorder.messages()[0].icon, QMessageBox::Information);
    EXPECT_TRUE(recorder.messages()[0].on_top);
}

TEST(TreeView, ExpandingAnUnreachableNodeShowsTheErrorAndStaysCollapsed) {
    ShellWindow w;
    VTAObj *fs =
        add_test_node(w.tree(), w.root(), "fs1", VTA_OBJ_FS_ACTIVE, true, TestUnreachableOpFunc);
    add_test_node(w.tree(), fs, "Stripe Groups", VTA_OBJ_ALL_SG, true);
    MessageRecorder recorder;
    item_of(fs)->setExpanded(true);
    EXPECT_FALSE(item_of(fs)->isExpanded());
    ASSERT_EQ(recorder.messages().size(), 1u);
    EXPECT_EQ(recorder.messages()[0].title, "Error");
    EXPECT_EQ(recorder.messages()[0].text, "Cannot reach the file system manager");
    EXPECT_EQ(recorder.messages()[0].icon, QMessageBox::Critical);
    EXPECT_EQ(VTATree_GetCurrent(w.tree()), w.root());
}

TEST(TreeView, ExpandingALazyFolderRefreshesItFirst) {
    ShellWindow w;
    VTAObj *host = VTAObj_Alloc(TestFolderOpFunc);
    ASSERT_NE(host, nullptr);
    VTAObj_SetName(host, "alpha");
    host->VTA_Type = VTA_OBJ_COMPUTER;
    host->VTA_IsFolder = 1;
    host->VTA_LoadOnDemand = 1;
    ASSERT_EQ(VTAObj_Insert(w.tree(), w.root(), host), VTA_OK);
    // The placeholder gives the folder its expander until the refresh replaces it.
    EXPECT_EQ(w.tree_items(), Items({"Connections", "  alpha", "    _NEED_REFRESH_"}));
    MessageRecorder recorder;
    item_of(host)->setExpanded(true);
    EXPECT_TRUE(recorder.messages().empty());
    EXPECT_EQ(w.tree_items(), Items({"Connections", "  alpha"}));
    EXPECT_EQ(w.frame->MessageText(), "Done: Refresh of 'alpha'");
}

TEST(TreeView, CurrentNodeNoticeSelectsAndExpandsItsItem) {
    ShellWindow w;
    VTAObj *alpha = add_test_node(w.tree(), w.root(), "alpha", VTA_OBJ_COMPUTER, true);
    add_test_node(w.tree(), alpha, "fs1", VTA_OBJ_FS_ACTIVE, true);
    char msg[256];
    ASSERT_EQ(VTATree_SetCurrent(w.tree(), alpha, msg, sizeof msg), VTA_OK);
    EXPECT_TRUE(item_of(alpha)->isSelected());
    EXPECT_TRUE(item_of(alpha)->isExpanded());
    EXPECT_FALSE(item_of(w.root())->isSelected());
}

class ListViewTest : public ::testing::Test {
protected:
    void SetUp() override {
        alpha = add_test_node(w.tree(), w.root(), "alpha", VTA_OBJ_COMPUTER, true);
        beta = add_test_node(w.tree(), w.root(), "beta", VTA_OBJ_COMPUTER, true);
        add_test_node(w.tree(), alpha, "fs1", VTA_OBJ_FS_ACTIVE, true);
        add_test_node(w.tree(), alpha, "fs2", VTA_OBJ_FS_DOWN, true);
        value = add_test_node(w.tree(), w.root(), "note", VTA_OBJ_VALUE, false);
    }
    CKxAdminListView *list() const { return w.child->ListView(); }
    void double_click_row(int row) {
        QModelIndex index = list()->model()->index(row, 1);
        QRect rect = list()->visualRect(index);
        ASSERT_TRUE(rect.isValid());
        // The view only takes a double click on the row that the first click pressed.
        QTest::mouseClick(list()->viewport(), Qt::LeftButton, {}, rect.center());
        QTest::mouseDClick(list()->viewport(), Qt::LeftButton, {}, rect.center());
    }

    ShellWindow w;
    VTAObj *alpha = nullptr;
    VTAObj *beta = nullptr;
    VTAObj *value = nullptr;
};

TEST_F(ListViewTest, ShowsTheCurrentNodesRowsWithHeaderColumnsAndImages) {
    EXPECT_EQ(list()->Initialised(), 1u);
    EXPECT_EQ(list()->ListDir(), w.root());
    // Rows follow their own notifications only, so alpha's row still counts no children.
    EXPECT_EQ(w.list_rows()[0], "alpha|Computer|0");
    // Showing the node again asks for every row.
    char msg[256];
    ASSERT_EQ(VTATree_SetCurrent(w.tree(), beta, msg, sizeof msg), VTA_OK);
    ASSERT_EQ(VTATree_SetCurrent(w.tree(), w.root(), msg, sizeof msg), VTA_OK);
    EXPECT_EQ(w.list_rows(), Items({"alpha|Computer|2", "beta|Computer|0", "note|Value|0"}));
    QAbstractItemModel *model = list()->model();
    ASSERT_EQ(model->columnCount(), 3);
    EXPECT_EQ(model->headerData(0, Qt::Horizontal).toString(), "Name");
    EXPECT_EQ(model->headerData(2, Qt::Horizontal).toString(), "Size");
    auto alignment = [&](int column) {
        return model->index(0, column).data(Qt::TextAlignmentRole).value<Qt::Alignment>();
    };
    EXPECT_TRUE(alignment(2) & Qt::AlignRight);
    EXPECT_TRUE(alignment(0) & Qt::AlignLeft);
    EXPECT_FALSE(model->index(0, 0).data(Qt::DecorationRole).value<QIcon>().isNull());
    EXPECT_TRUE(model->index(0, 1).data(Qt::DecorationRole).isNull());
    // Columns are sized to their contents, so no text is cut.
    QFontMetrics metrics(list()->font());
    EXPECT_GE(list()->columnWidth(1), metrics.horizontalAdvance("Computer"));
}

TEST_F(ListViewTest, NotificationsForNodesOutsideTheListLeaveItAlone) {
    Items before = w.list_rows();
    VTAObj *fs3 = add_test_node(w.tree(), alpha, "fs3", VTA_OBJ_FS_ACTIVE, true);
    VTATree_Notify(w.tree(), VTA_NOTE_UPDATED, fs3);
    VTAObj_Delete(w.tree(), &fs3);
    EXPECT_EQ(w.list_rows(), before);
}

TEST_F(ListViewTest, ChildrenOfTheShownNodeAreAddedUpdatedAndRemoved) {
    VTAObj *gamma = add_test_node(w.tree(), w.root(), "gamma", VTA_OBJ_COMPUTER, true);
    EXPECT_EQ(w.list_rows(),
              Items({"alpha|Computer|0", "beta|Computer|0", "note|Value|0", "gamma|Computer|0"}));
    add_test_node(w.tree(), beta, "fs9", VTA_OBJ_FS_ACTIVE, true);
    VTATree_Notify(w.tree(), VTA_NOTE_UPDATED, beta);
    EXPECT_EQ(w.list_rows()[1], "beta|Computer|1");
    EXPECT_EQ(list()->Model()->RowOf(gamma), 3);
    VTAObj_Delete(w.tree(), &beta);
    EXPECT_EQ(w.list_rows(), Items({"alpha|Computer|0", "note|Value|0", "gamma|Computer|0"}));
    EXPECT_EQ(list()->Model()->RowOf(gamma), 2);
}

TEST_F(ListViewTest, DoubleClickingAFolderRowMakesItCurrent) {
    double_click_row(0);
    EXPECT_EQ(VTATree_GetCurrent(w.tree()), alpha);
    EXPECT_EQ(list()->ListDir(), alpha);
    EXPECT_EQ(w.list_rows(), Items({"fs1|File System (Active)|0", "fs2|File System (Down)|0"}));
    EXPECT_TRUE(item_of(alpha)->isSelected());
}

TEST_F(ListViewTest, DoubleClickingALeafRowChangesNothing) {
    double_click_row(2);
    EXPECT_EQ(VTATree_GetCurrent(w.tree()), w.root());
    EXPECT_EQ(list()->ListDir(), w.root());
}

TEST_F(ListViewTest, RemovingTheShownNodeEmptiesTheList) {
    char msg[256];
    ASSERT_EQ(VTATree_SetCurrent(w.tree(), alpha, msg, sizeof msg), VTA_OK);
    VTAObj_Delete(w.tree(), &alpha);
    EXPECT_EQ(list()->ListDir(), nullptr);
    EXPECT_EQ(list()->model()->rowCount(), 0);
    EXPECT_EQ(list()->model()->columnCount(), 0);
}

TEST_F(ListViewTest, AFolderShownEmptyGetsItsColumnsWithItsFirstChild) {
    char msg[256];
    ASSERT_EQ(VTATree_SetCurrent(w.tree(), beta, msg, sizeof msg), VTA_OK);
    EXPECT_EQ(list()->model()->columnCount(), 0);
    add_test_node(w.tree(), beta, "fs1", VTA_OBJ_FS_STANDBY, true);
    EXPECT_EQ(list()->model()->columnCount(), 3);
    EXPECT_EQ(w.list_rows(), Items({"fs1|File System (Standby)|0"}));
}

TEST(NodeImages, OneImagePerKindAndTheFlagPair) {
    CKxNodeImages images;
    ASSERT_TRUE(images.Load());
    EXPECT_EQ(images.Count(), VTA_OBJ_LAST + 3);
    auto image_of = [&](const VTAObj *node) { return images.Icon(node).pixmap(16, 16).toImage(); };
    VTAObj node{};
    node.VTA_Type = VTA_OBJ_ALL;
    QImage all = image_of(&node);
    EXPECT_FALSE(all.isNull());
    EXPECT_EQ(image_of(nullptr), all);
    node.VTA_Type = VTA_OBJ_COMPUTER;
    EXPECT_NE(image_of(&node), all);
    node.VTA_Type = VTA_OBJ_DEBUG_FLAG;
    QImage clear = image_of(&node);
    node.VTA_Data[0] = 1;
    EXPECT_NE(image_of(&node), clear);
    node.VTA_Type = VTA_OBJ_LAST + 1;
    EXPECT_TRUE(images.Icon(&node).isNull());
}

TEST(NodeImages, AnImageThatCannotBeLoadedStopsTheList) {
    MessageRecorder recorder;
    CKxNodeImages images;
    EXPECT_FALSE(images.Load("/nonexistent/icons"));
    EXPECT_EQ(images.Count(), 0);
    ASSERT_EQ(recorder.messages().size(), 1u);
    EXPECT_EQ(recorder.messages()[0].title, "Error");
    EXPECT_EQ(recorder.messages()[0].text, "Error Loading Image List");
    EXPECT_EQ(recorder.messages()[0].icon, QMessageBox::Critical);
    EXPECT_TRUE(recorder.messages()[0].on_top);
}

// A first-time user sees how to add a host in the empty "Connections" list, and only there.
TEST(ListView, AnEmptyConnectionsListTellsHowToAddAHost) {
    ShellWindow w;
    CKxAdminListView *list = w.child->ListView();
    ASSERT_EQ(list->ListDir(), w.root());
    EXPECT_TRUE(list->EmptyHint().contains("New (Ctrl+N)")) << list->EmptyHint().toStdString();
    list->grab(); // paints the hint

    VTAObj *alpha = add_test_node(w.tree(), w.root(), "alpha", VTA_OBJ_COMPUTER, true);
    EXPECT_EQ(list->EmptyHint(), QString()) << "a computer is listed";
    char msg[256];
    ASSERT_EQ(VTATree_SetCurrent(w.tree(), alpha, msg, sizeof msg), VTA_OK);
    EXPECT_EQ(list->EmptyHint(), QString()) << "an empty computer is no empty Connections list";
}

} // namespace
