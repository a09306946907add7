// Navigation tree and detail list on test nodes: first display, notifications and user actions.
#include "kxntadmin/tests/support_shell.h"

#include <QTest>
#include <gtest/gtest.h>

namespace {

QTreeWidgetItem *item_of(const VTAObj *node) {
    return CKxAdminTreeView::NodeItem(node);
}

TEST(TreeView, ShowsOnlyFoldersInTheTreesOrderAndFollowsTheirNotices) {
    ShellWindow w;
    QTreeWidgetItem *top = item_of(w.root());
    ASSERT_NE(top, nullptr);
    EXPECT_TRUE(top->isSelected());
    EXPECT_TRUE(top->isExpanded());
    EXPECT_EQ(CKxAdminTreeView::ItemNode(top), w.root());

    VTAObj *beta = add_test_node(w.tree(), w.root(), "beta", VTA_OBJ_COMPUTER, true);
    VTAObj *other_leaf =
        add_test_node(w.tree(), w.root(), "a-leaf", VTA_OBJ_VALUE, false, VTAObj_ValueOpFunc);
    VTAObj *alpha = add_test_node(w.tree(), w.root(), "alpha", VTA_OBJ_COMPUTER, true);
    add_test_node(w.tree(), w.root(), "Zeta", VTA_OBJ_COMPUTER, true);
    add_test_node(w.tree(), alpha, "fs2", VTA_OBJ_FS_ACTIVE, true);
    add_test_node(w.tree(), alpha, "fs1", VTA_OBJ_FS_DOWN, true);
    add_test_node(w.tree(), alpha, "quota", VTA_OBJ_QUOTA_USER, false);
    EXPECT_EQ(w.tree_items(),
              Lines({"Connections", "  Zeta", "  alpha", "    fs1", "    fs2", "  beta"}));

    VTAObj_SetName(beta, "beta.example");
    beta->VTA_Type = VTA_OBJ_FS_STANDBY;
    VTATree_Notify(w.tree(), VTA_NOTE_UPDATED, beta);
    VTAObj_Delete(w.tree(), &alpha);
    VTAObj_Delete(w.tree(), &other_leaf);
    EXPECT_EQ(w.tree_items(), Lines({"Connections", "  Zeta", "  beta.example"}));

    // A node that turns into a folder appears on its update, after the folders before it even
    // when its left sibling is a leaf.
    add_test_node(w.tree(), w.root(), "k-leaf", VTA_OBJ_VALUE, false);
    VTAObj *leaf = add_test_node(w.tree(), w.root(), "later", VTA_OBJ_VALUE, false);
    EXPECT_EQ(item_of(leaf), nullptr);
    leaf->VTA_IsFolder = 1;
    VTATree_Notify(w.tree(), VTA_NOTE_UPDATED, leaf);
    EXPECT_EQ(w.tree_items(), Lines({"Connections", "  Zeta", "  beta.example", "  later"}));

    // The current-node notice selects and expands its item.
    add_test_node(w.tree(), beta, "fs1", VTA_OBJ_FS_ACTIVE, true);
    make_current(w.tree(), beta);
    EXPECT_TRUE(item_of(beta)->isSelected());
    EXPECT_TRUE(item_of(beta)->isExpanded());
    EXPECT_FALSE(item_of(w.root())->isSelected());
}

TEST(TreeView, ExpandingALazyFolderRefreshesItFirst) {
    ShellWindow w;
    VTAObj *host =
        add_test_node(w.tree(), w.root(), "alpha", VTA_OBJ_COMPUTER, true, TestFolderOpFunc, true);
    // The placeholder gives the folder its expander until the refresh replaces it.
    EXPECT_EQ(w.tree_items(), Lines({"Connections", "  alpha", "    _NEED_REFRESH_"}));
    MessageRecorder recorder;
    item_of(host)->setExpanded(true);
    EXPECT_TRUE(recorder.messages().empty());
    EXPECT_EQ(w.tree_items(), Lines({"Connections", "  alpha"}));
    EXPECT_EQ(w.frame->MessageText(), "Done: Refresh of 'alpha'");
}

class ListViewTest : public ::testing::Test {
protected:
    void SetUp() override {
        alpha = add_test_node(w.tree(), w.root(), "alpha", VTA_OBJ_COMPUTER, true);
        beta = add_test_node(w.tree(), w.root(), "beta", VTA_OBJ_COMPUTER, true);
        add_test_node(w.tree(), alpha, "fs1", VTA_OBJ_FS_ACTIVE, true);
        add_test_node(w.tree(), alpha, "fs2", VTA_OBJ_FS_DOWN, true);
        add_test_node(w.tree(), w.root(), "note", VTA_OBJ_VALUE, false);
    }
    CKxAdminListView *list() const { return w.child->ListView(); }

    ShellWindow w;
    VTAObj *alpha = nullptr;
    VTAObj *beta = nullptr;
};

TEST_F(ListViewTest, ShowsTheCurrentNodesRowsWithHeaderColumnsAndImages) {
    EXPECT_EQ(list()->Initialised(), 1u);
    EXPECT_EQ(list()->ListDir(), w.root());
    // Rows follow their own notifications only, so alpha's row still counts no children.
    EXPECT_EQ(w.list_rows()[1], "alpha|Computer|0");
    // Showing the node again asks for every row.
    make_current(w.tree(), beta);
    make_current(w.tree(), w.root());
    EXPECT_EQ(w.list_rows(),
              Lines({"Name|Type|Size", "alpha|Computer|2", "beta|Computer|0", "note|Value|0"}));
    QAbstractItemModel *model = list()->model();
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

TEST_F(ListViewTest, FollowsTheShownNodesChildrenOnly) {
    const Lines before = w.list_rows();
    VTAObj *fs3 = add_test_node(w.tree(), alpha, "fs3", VTA_OBJ_FS_ACTIVE, true);
    VTATree_Notify(w.tree(), VTA_NOTE_UPDATED, fs3);
    VTAObj_Delete(w.tree(), &fs3);
    EXPECT_EQ(w.list_rows(), before) << "notices of nodes outside the list";

    VTAObj *gamma = add_test_node(w.tree(), w.root(), "gamma", VTA_OBJ_COMPUTER, true);
    add_test_node(w.tree(), beta, "fs9", VTA_OBJ_FS_ACTIVE, true);
    VTATree_Notify(w.tree(), VTA_NOTE_UPDATED, beta);
    EXPECT_EQ(w.list_rows(), Lines({"Name|Type|Size", "alpha|Computer|0", "beta|Computer|1",
                                    "note|Value|0", "gamma|Computer|0"}));
    EXPECT_EQ(list()->Model()->RowOf(gamma), 3);
    VTAObj_Delete(w.tree(), &beta);
    EXPECT_EQ(w.list_rows(),
              Lines({"Name|Type|Size", "alpha|Computer|0", "note|Value|0", "gamma|Computer|0"}));
    EXPECT_EQ(list()->Model()->RowOf(gamma), 2);
}

TEST_F(ListViewTest, DoubleClickingALeafRowChangesNothing) {
    const QRect rect = list()->visualRect(list()->model()->index(2, 1));
    ASSERT_TRUE(rect.isValid());
    // The view only takes a double click on the row that the first click pressed.
    QTest::mouseClick(list()->viewport(), Qt::LeftButton, {}, rect.center());
    QTest::mouseDClick(list()->viewport(), Qt::LeftButton, {}, rect.center());
    EXPECT_EQ(VTATree_GetCurrent(w.tree()), w.root());
    EXPECT_EQ(list()->ListDir(), w.root());
}

TEST_F(ListViewTest, AnEmptyFolderGetsItsColumnsWithItsFirstChildAndAShownNodeRemovedEmpties) {
    make_current(w.tree(), beta);
    EXPECT_EQ(list()->model()->columnCount(), 0);
    add_test_node(w.tree(), beta, "fs1", VTA_OBJ_FS_STANDBY, true);
    EXPECT_EQ(w.list_rows(), Lines({"Name|Type|Size", "fs1|File System (Standby)|0"}));

    VTAObj_Delete(w.tree(), &beta);
    EXPECT_EQ(list()->ListDir(), nullptr);
    EXPECT_EQ(list()->model()->rowCount(), 0);
    EXPECT_EQ(list()->model()->columnCount(), 0);
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

    MessageRecorder recorder;
    CKxNodeImages missing;
    EXPECT_FALSE(missing.Load("/nonexistent/icons"));
    EXPECT_EQ(missing.Count(), 0);
    EXPECT_EQ(recorder.boxes(), Lines{"Error|Error Loading Image List|critical on top"});
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
    make_current(w.tree(), alpha);
    EXPECT_EQ(list->EmptyHint(), QString()) << "an empty computer is no empty Connections list";
}

} // namespace
