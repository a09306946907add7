// The window under large folders: a refresh's many row changes reach the list as one reset,
// tree items are rewritten only when their node changed and find their place by the left
// sibling's child number, and the status bar counts the entries that have arrived.
#include "kxntadmin/tests/support_shell.h"

#include "libvtadmin/vtadminlib.h"

#include <QLabel>
#include <QSignalSpy>
#include <QStatusBar>
#include <QTest>
#include <gtest/gtest.h>

#include <string>

namespace {

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

TEST(LargeFolder, ARefreshAddingManyRowsReachesTheListAsOneReset) {
    ShellWindow w(GrowingFolderOpFunc);
    CKxAdminListView *list = w.child->ListView();
    ASSERT_EQ(list->ListDir(), w.root());
    // The list has its columns from the first row on.
    add_test_node(w.tree(), w.root(), "n0000", VTA_OBJ_VALUE, false);
    QSignalSpy inserted(list->model(), &QAbstractItemModel::rowsInserted);
    QSignalSpy resets(list->model(), &QAbstractItemModel::modelReset);
    children_to_add = CKxListModel::kBatchChanges + 10;
    char msg[256] = "";
    ASSERT_EQ(VTATree_Op(w.tree(), VTA_OP_REFRESH, w.root(), nullptr, 0, msg, sizeof msg), VTA_OK)
        << msg;
    EXPECT_EQ(inserted.count(), CKxListModel::kBatchChanges);
    EXPECT_EQ(resets.count(), 1);
    const Lines rows = w.list_rows();
    ASSERT_EQ(rows.size(), size_t(CKxListModel::kBatchChanges + 12));
    EXPECT_EQ(rows[1], "n0000|Value|0");
    EXPECT_EQ(rows[2], "n0000|Value|0") << "a namesake has a row of its own";
    EXPECT_EQ(rows.back(), "n1009|Value|0");
    EXPECT_FALSE(list->Model()->Resetting());

    // A refresh that changes little is shown row by row.
    children_to_add = 0;
    resets.clear();
    ASSERT_EQ(VTATree_Op(w.tree(), VTA_OP_REFRESH, w.root(), nullptr, 0, msg, sizeof msg), VTA_OK);
    EXPECT_EQ(resets.count(), 0);
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

TEST(LargeFolder, AnUpdateRewritesATreeItemOnlyWhenItsNodeChanged) {
    ShellWindow w;
    VTAObj *alpha = add_test_node(w.tree(), w.root(), "alpha", VTA_OBJ_COMPUTER, true);
    CKxAdminTreeView *view = w.child->TreeView();
    QSignalSpy changed(view, &QTreeWidget::itemChanged);
    VTATree_Notify(w.tree(), VTA_NOTE_UPDATED, alpha);
    EXPECT_EQ(changed.count(), 0);
    VTAObj_SetName(alpha, "alpha.example");
    VTATree_Notify(w.tree(), VTA_NOTE_UPDATED, alpha);
    EXPECT_EQ(changed.count(), 1);
    alpha->VTA_Type = VTA_OBJ_FS_DOWN;
    VTATree_Notify(w.tree(), VTA_NOTE_UPDATED, alpha);
    EXPECT_EQ(changed.count(), 2) << "a new kind brings a new image";
    EXPECT_EQ(w.tree_items(), Lines({"Connections", "  alpha.example"}));
}

TEST(LargeFolder, AnItemGoesAfterItsLeftSiblingsItemAlsoWhenAnEarlierFolderHasNone) {
    ShellWindow w;
    VTAObj *a = add_test_node(w.tree(), w.root(), "a", VTA_OBJ_COMPUTER, true);
    add_test_node(w.tree(), w.root(), "b", VTA_OBJ_COMPUTER, true);
    // The view forgets a's item, so b's item no longer sits at b's child number.
    VTATree_Notify(w.tree(), VTA_NOTE_REMOVED, a);
    ASSERT_EQ(w.tree_items(), Lines({"Connections", "  b"}));
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

// The repaint interval of the progress count for one test.
class ProgressInterval {
public:
    explicit ProgressInterval(int ms) : saved_(CKxAdminFrm::progress_interval_ms) {
        CKxAdminFrm::progress_interval_ms = ms;
    }
    ~ProgressInterval() { CKxAdminFrm::progress_interval_ms = saved_; }

private:
    int saved_;
};

struct progress_case {
    const char *label;
    int interval_ms;
    int received; // reported by the "library" before the rows arrive
    Lines painted;
};

TEST(StatusBar, CountsTheEntriesThatHaveArrivedWhileAnOperationRuns) {
    const progress_case cases[] = {
        {"each entry painted",
         0,
         0,
         {"Running: Refresh of 'Connections'", "Running: Refresh of 'Connections' (1 entries)",
          "Running: Refresh of 'Connections' (2 entries)",
          "Running: Refresh of 'Connections' (3 entries)", "Done: Refresh of 'Connections'"}},
        {"received before placed",
         0,
         500,
         {"Running: Refresh of 'Connections'", "Running: Refresh of 'Connections' (500 entries)",
          "Running: Refresh of 'Connections' (500 entries)",
          "Running: Refresh of 'Connections' (500 entries)",
          "Running: Refresh of 'Connections' (500 entries)", "Done: Refresh of 'Connections'"}},
        {"a quick operation shows no count",
         3600 * 1000,
         500,
         {"Running: Refresh of 'Connections'", "Done: Refresh of 'Connections'"}},
    };
    for (const progress_case &c : cases) {
        SCOPED_TRACE(c.label);
        ProgressInterval interval(c.interval_ms);
        ShellWindow w(GrowingFolderOpFunc);
        ASSERT_TRUE(QTest::qWaitForWindowExposed(w.frame));
        PaintedTexts painted(w.frame->statusBar()->findChild<QLabel *>("MessagePane"));
        children_to_add = 3;
        entries_received = c.received;
        char msg[256] = "";
        ASSERT_EQ(VTATree_Op(w.tree(), VTA_OP_REFRESH, w.root(), nullptr, 0, msg, sizeof msg),
                  VTA_OK);
        entries_received = 0;
        EXPECT_EQ(painted.texts, c.painted);

        // Between operations nothing is counted.
        painted.texts.clear();
        vtadmin_report_progress(9);
        add_test_node(w.tree(), w.root(), "later", VTA_OBJ_VALUE, false);
        EXPECT_TRUE(painted.texts.empty());
    }
}

} // namespace
