// The navigation tree, the detail list and its model on test nodes: first display, notices,
// user actions, large folders (many row changes reach the list as one reset; tree items find
// their place by the left sibling's child number) and the status bar's count of arrived entries.
#include "kxntadmin/tests/support_shell.h"

#include "libutil/fatal.h"
#include "libvtadmin/vtadminlib.h"

#include <QAbstractItemModelTester>
#include <QLabel>
#include <QSignalSpy>
#include <QStatusBar>
#include <QTest>
#include <gtest/gtest.h>

#include <string>
#include <vector>

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

    // An empty folder gets its columns with its first child; a shown node removed empties.
    VTAObj *empty = add_test_node(w.tree(), w.root(), "empty", VTA_OBJ_COMPUTER, true);
    make_current(w.tree(), empty);
    EXPECT_EQ(list()->model()->columnCount(), 0);
    add_test_node(w.tree(), empty, "fs1", VTA_OBJ_FS_STANDBY, true);
    EXPECT_EQ(w.list_rows(), Lines({"Name|Type|Size", "fs1|File System (Standby)|0"}));
    VTAObj_Delete(w.tree(), &empty);
    EXPECT_EQ(list()->ListDir(), nullptr);
    EXPECT_EQ(list()->model()->rowCount(), 0);
    EXPECT_EQ(list()->model()->columnCount(), 0);
}

TEST_F(ListViewTest, DoubleClickingAFolderRowMakesItCurrentAndALeafRowChangesNothing) {
    make_current(w.tree(), w.root());
    for (const auto &[row, now] : {std::pair{2, w.root()}, std::pair{0, alpha}}) {
        const QRect rect = list()->visualRect(list()->model()->index(row, 1));
        // The view only takes a double click on the row that the first click pressed.
        QTest::mouseClick(list()->viewport(), Qt::LeftButton, {}, rect.center());
        QTest::mouseDClick(list()->viewport(), Qt::LeftButton, {}, rect.center());
        EXPECT_EQ(VTATree_GetCurrent(w.tree()), now) << "row " << row;
        EXPECT_EQ(list()->ListDir(), now) << "row " << row;
        EXPECT_EQ(w.child->TreeView()->currentItem(), item_of(now)) << "row " << row;
    }
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

int checker_warnings = 0;

void count_warnings(QtMsgType type, const QMessageLogContext &, const QString &text) {
    if (type != QtDebugMsg && type != QtInfoMsg) {
        ++checker_warnings;
        fprintf(stderr, "%s\n", qPrintable(text));
    }
}

VTA_LV_ROW make_row(VTAObj *node, std::initializer_list<const char *> cells,
                    std::initializer_list<int> right = {}) {
    VTA_LV_ROW row{};
    row.VTA_Node = node;
    for (const char *cell : cells)
        bounded_format(row.VTA_Cells[row.VTA_ColCount++].VTA_Text, VTA_LV_TEXT_SIZE, "%s", cell);
    for (int column : right)
        row.VTA_Cells[column].VTA_RightAlign = 1;
    return row;
}

class ListModelTest : public ::testing::Test {
protected:
    void SetUp() override {
        checker_warnings = 0;
        previous_ = qInstallMessageHandler(count_warnings);
        for (auto &node : nodes_)
            node.VTA_Type = VTA_OBJ_COMPUTER;
    }
    void TearDown() override { qInstallMessageHandler(previous_); }

    QtMessageHandler previous_ = nullptr;
    VTAObj nodes_[4]{};
};

TEST_F(ListModelTest, StaysConsistentAndFindsRowsByNodeThroughEditsAndRemovals) {
    CKxListModel model;
    QAbstractItemModelTester tester(&model,
                                    QAbstractItemModelTester::FailureReportingMode::Warning);
    model.BeginFill();
    model.Clear();
    model.SetColumns(make_row(nullptr, {"Name", "Size"}, {1}));
    model.SetRow(make_row(&nodes_[0], {"a", "1k"}), QIcon());
    model.SetRow(make_row(&nodes_[1], {"b", "2k"}), QIcon());
    model.EndFill();
    model.SetRow(make_row(&nodes_[2], {"c", "3k", "extra cell"}), QIcon());
    model.SetRow(make_row(&nodes_[3], {"d", "4k"}), QIcon());
    model.SetRow(make_row(&nodes_[1], {"b2"}), QIcon()); // one row per node
    model.RemoveNode(&nodes_[0]);
    EXPECT_EQ(list_lines(&model), Lines({"Name|Size", "b2|", "c|3k", "d|4k"}));
    model.RemoveNode(&nodes_[1]);
    model.RemoveNode(&nodes_[0]); // has no row
    EXPECT_EQ(model.RowOf(&nodes_[3]), 1);
    EXPECT_EQ(model.NodeAt(1), &nodes_[3]);
    EXPECT_EQ(model.NodeAt(2), nullptr);
    EXPECT_EQ(nodes_[1].VTA_ViewWords[1], 0u);
    model.SetRow(make_row(&nodes_[0], {"back"}), QIcon());
    EXPECT_EQ(model.RowOf(&nodes_[0]), 2);
    EXPECT_EQ(checker_warnings, 0);

    // Another list's word does not count as a row there; a list gone clears its words.
    {
        CKxListModel second;
        second.SetColumns(make_row(nullptr, {"Name"}));
        EXPECT_EQ(second.RowOf(&nodes_[0]), -1);
        second.SetRow(make_row(&nodes_[1], {"b"}), QIcon());
    }
    EXPECT_EQ(nodes_[1].VTA_ViewWords[1], 0u);
    model.Clear();
    EXPECT_EQ(model.rowCount(), 0);
    EXPECT_EQ(nodes_[3].VTA_ViewWords[1], 0u);
}

// What the views hear of one batch of changes.
TEST_F(ListModelTest, ABatchAnnouncesFewChangesRowByRowAndManyAsOneReset) {
    const int many = CKxListModel::kBatchChanges;
    const size_t long_list = CKxListModel::kLongList;
    const struct {
        const char *label;
        size_t rows_before; // shown before the batch
        size_t added;       // rows added in the batch
        size_t removed;     // rows removed in the batch, from the front
        int row_signals;    // rows inserted and removed announced one by one
        int resets;         // model resets announced
    } cases[] = {
        {"a few rows added", 2, 3, 0, 3, 0},
        {"a few rows removed", 5, 0, 2, 2, 0},
        {"more rows than announced one by one", 0, size_t(many) + 5, 0, many, 1},
        {"a removal from a long list", long_list + 1, 0, 1, 0, 1},
        {"additions, then a removal from a list grown long", long_list, 1, 1, 1, 1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.label);
        std::vector<VTAObj> nodes(c.rows_before + c.added);
        CKxListModel model;
        QAbstractItemModelTester tester(&model,
                                        QAbstractItemModelTester::FailureReportingMode::Warning);
        model.BeginFill();
        model.SetColumns(make_row(nullptr, {"Name"}));
        for (size_t i = 0; i < c.rows_before; ++i)
            model.SetRow(make_row(&nodes[i], {"before"}), QIcon());
        model.EndFill();

        QSignalSpy inserted(&model, &QAbstractItemModel::rowsInserted);
        QSignalSpy removed(&model, &QAbstractItemModel::rowsRemoved);
        QSignalSpy resets(&model, &QAbstractItemModel::modelReset);
        model.BeginBatch();
        for (size_t i = c.rows_before; i < nodes.size(); ++i)
            model.SetRow(make_row(&nodes[i], {"added"}), QIcon());
        for (size_t i = 0; i < c.removed; ++i)
            model.RemoveNode(&nodes[i]);
        EXPECT_EQ(resets.count(), 0) << "a reset is announced when the batch ends";
        model.EndBatch();

        EXPECT_EQ(inserted.count() + removed.count(), c.row_signals);
        EXPECT_EQ(resets.count(), c.resets);
        ASSERT_EQ(model.rowCount(), int(nodes.size() - c.removed));
        for (size_t i = 0; i < nodes.size(); ++i)
            EXPECT_EQ(model.RowOf(&nodes[i]), i < c.removed ? -1 : int(i - c.removed)) << i;
        EXPECT_EQ(model.index(model.rowCount() - 1, 0).data().toString(),
                  c.added > 0 ? "added" : "before");
        EXPECT_EQ(checker_warnings, 0);
    }
}

// Children the next refresh of a GrowingFolderOpFunc folder adds ("n0000", "n0001", ...), and
// what it reports as arrived from the cluster first (as a library listing would; 0: nothing).
int children_to_add = 0;
int entries_received = 0;

int32_t GrowingFolderOpFunc(VTATree *tree, uint32_t op, VTAObj *node, void *data, size_t data_size,
                            char *msg, size_t msg_size) {
    if (op != VTA_OP_REFRESH)
        return TestFolderOpFunc(tree, op, node, data, data_size, msg, msg_size);
    for (VTAObj *child = node->VTA_Child; child != nullptr; child = child->VTA_SibRight)
        if (child->VTA_Type != VTA_OBJ_DUMMY)
            VTAObj_Touch(child);
    if (entries_received > 0)
        vtadmin_report_progress(entries_received);
    char name[16];
    for (int i = 0; i < children_to_add; ++i) {
        snprintf(name, sizeof name, "n%04d", i);
        add_test_node(tree, node, name, VTA_OBJ_VALUE, false);
    }
    children_to_add = 0;
    return VTA_OK;
}

TEST(LargeFolder, AFillWithinAnOperationSizesTheColumnsWhenItEnds) {
    ShellWindow w;
    VTAObj *alpha = add_test_node(w.tree(), w.root(), "alpha", VTA_OBJ_COMPUTER, true);
    add_test_node(w.tree(), alpha, "a-file-system-with-a-long-name", VTA_OBJ_FS_ACTIVE, true);
    CKxAdminListView *list = w.child->ListView();
    // The current node changes while an operation runs, as when an action moves elsewhere.
    send_status(w.tree(), true, "Running: Failover of 'x'");
    make_current(w.tree(), alpha);
    EXPECT_TRUE(list->Model()->Resetting());
    send_status(w.tree(), false, "Done: Failover of 'x'");
    EXPECT_FALSE(list->Model()->Resetting());
    EXPECT_EQ(w.list_rows(),
              Lines({"Name|Type|Size", "a-file-system-with-a-long-name|File System (Active)|0"}));
    QFontMetrics metrics(list->font());
    EXPECT_GE(list->columnWidth(0), metrics.horizontalAdvance("a-file-system-with-a-long-name"));
}

// Updates rewrite an item only when its node changed; an item finds its place after its left
// sibling's item, also when an earlier folder has none.
TEST(LargeFolder, TreeItemsAreRewrittenOnlyOnChangeAndPlacedByTheirLeftSibling) {
    ShellWindow w;
    VTAObj *a = add_test_node(w.tree(), w.root(), "a", VTA_OBJ_COMPUTER, true);
    add_test_node(w.tree(), w.root(), "b", VTA_OBJ_COMPUTER, true);
    QSignalSpy changed(w.child->TreeView(), &QTreeWidget::itemChanged);
    VTATree_Notify(w.tree(), VTA_NOTE_UPDATED, a);
    EXPECT_EQ(changed.count(), 0);
    VTAObj_SetName(a, "a.example");
    VTATree_Notify(w.tree(), VTA_NOTE_UPDATED, a);
    EXPECT_EQ(changed.count(), 1);
    a->VTA_Type = VTA_OBJ_FS_DOWN;
    VTATree_Notify(w.tree(), VTA_NOTE_UPDATED, a);
    EXPECT_EQ(changed.count(), 2) << "a new kind brings a new image";
    EXPECT_EQ(w.tree_items(), Lines({"Connections", "  a.example", "  b"}));
    // The view forgets a's item, so b's item no longer sits at b's child number.
    VTATree_Notify(w.tree(), VTA_NOTE_REMOVED, a);
    add_test_node(w.tree(), w.root(), "c", VTA_OBJ_COMPUTER, true);
    add_test_node(w.tree(), w.root(), "bb", VTA_OBJ_COMPUTER, true);
    EXPECT_EQ(w.tree_items(), Lines({"Connections", "  b", "  bb", "  c"}));
}

// Records the message pane's text at every paint.
class PaintedTexts : public QObject {
public:
    explicit PaintedTexts(QLabel *pane) : pane_(pane) { pane->installEventFilter(this); }
    bool eventFilter(QObject *, QEvent *event) override {
        if (event->type() == QEvent::Paint)
            texts.push_back(pane_->text().toStdString());
        return false;
    }
    Lines texts;

private:
    QLabel *pane_;
};

TEST(StatusBar, CountsTheEntriesThatHaveArrivedWhileAnOperationRuns) {
    const struct {
        const char *label;
        int interval_ms;
        int received;            // reported by the "library" before the rows arrive
        std::vector<int> counts; // painted while running (0: no count)
    } cases[] = {
        {"each entry painted", 0, 0, {0, 1, 2, 3}},
        {"received before placed", 0, 500, {0, 500, 500, 500, 500}},
        {"a quick operation shows no count", 3600 * 1000, 500, {0}},
    };
    const int saved_interval = CKxAdminFrm::progress_interval_ms;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.label);
        Lines expected;
        for (int count : c.counts)
            expected.push_back("Running: Refresh of 'Connections'" +
                               (count ? " (" + std::to_string(count) + " entries)" : ""));
        expected.push_back("Done: Refresh of 'Connections'");
        CKxAdminFrm::progress_interval_ms = c.interval_ms;
        ShellWindow w(GrowingFolderOpFunc);
        ASSERT_TRUE(QTest::qWaitForWindowExposed(w.frame));
        PaintedTexts painted(w.frame->statusBar()->findChild<QLabel *>("MessagePane"));
        children_to_add = 3;
        entries_received = c.received;
        char msg[256] = "";
        ASSERT_EQ(VTATree_Op(w.tree(), VTA_OP_REFRESH, w.root(), nullptr, 0, msg, sizeof msg),
                  VTA_OK);
        entries_received = 0;
        EXPECT_EQ(painted.texts, expected);

        // Between operations nothing is counted.
        painted.texts.clear();
        vtadmin_report_progress(9);
        add_test_node(w.tree(), w.root(), "later", VTA_OBJ_VALUE, false);
        EXPECT_TRUE(painted.texts.empty());
    }
    CKxAdminFrm::progress_interval_ms = saved_interval;
}

} // namespace
