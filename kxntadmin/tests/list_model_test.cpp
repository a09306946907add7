// The detail list's model: consistency under the item-model checker, row lookup by node, and
// the changes of a tree operation gathered into one reset once they are many.
#include "kxntadmin/tests/support_shell.h"

#include "libutil/fatal.h"

#include <QAbstractItemModelTester>
#include <QSignalSpy>
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

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

TEST_F(ListModelTest, StaysConsistentThroughFillingEditingAndClearing) {
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
    model.SetRow(make_row(&nodes_[1], {"b2"}), QIcon());
    model.RemoveNode(&nodes_[0]);
    model.RemoveNode(&nodes_[3]); // never had a row
    EXPECT_EQ(model.rowCount(), 2);
    EXPECT_EQ(model.columnCount(), 2);
    EXPECT_EQ(model.index(0, 0).data().toString(), "b2");
    EXPECT_EQ(model.index(0, 1).data().toString(), "");
    EXPECT_EQ(model.index(1, 1).data().toString(), "3k");
    model.Clear();
    EXPECT_EQ(model.rowCount(), 0);
    EXPECT_EQ(checker_warnings, 0);
}

TEST_F(ListModelTest, RowsAreFoundByNodeAndTheNodeWordFollowsTheRow) {
    CKxListModel model;
    model.SetColumns(make_row(nullptr, {"Name"}));
    for (auto &node : nodes_)
        model.SetRow(make_row(&node, {node.VTA_Name}), QIcon());
    EXPECT_EQ(model.RowOf(&nodes_[3]), 3);
    EXPECT_NE(nodes_[3].VTA_ViewWords[1], 0u);
    model.RemoveNode(&nodes_[1]);
    EXPECT_EQ(nodes_[1].VTA_ViewWords[1], 0u);
    EXPECT_EQ(model.RowOf(&nodes_[1]), -1);
    EXPECT_EQ(model.RowOf(&nodes_[3]), 2);
    EXPECT_EQ(model.NodeAt(2), &nodes_[3]);
    EXPECT_EQ(model.NodeAt(3), nullptr);
    // Re-adding a node that was updated keeps one row for it.
    model.SetRow(make_row(&nodes_[3], {"again"}), QIcon());
    EXPECT_EQ(model.rowCount(), 3);
    model.Clear();
    for (auto &node : nodes_)
        EXPECT_EQ(node.VTA_ViewWords[1], 0u);
}

TEST_F(ListModelTest, RowsLeaveFromTheFrontAndTheRestAreStillFound) {
    CKxListModel model;
    QAbstractItemModelTester tester(&model,
                                    QAbstractItemModelTester::FailureReportingMode::Warning);
    model.SetColumns(make_row(nullptr, {"Name"}));
    for (auto &node : nodes_)
        model.SetRow(make_row(&node, {"n"}), QIcon());
    model.RemoveNode(&nodes_[0]);
    model.RemoveNode(&nodes_[1]);
    model.RemoveNode(&nodes_[3]);
    EXPECT_EQ(model.rowCount(), 1);
    EXPECT_EQ(model.RowOf(&nodes_[2]), 0);
    EXPECT_EQ(model.NodeAt(0), &nodes_[2]);
    model.SetRow(make_row(&nodes_[0], {"back"}), QIcon());
    EXPECT_EQ(model.RowOf(&nodes_[0]), 1);
    EXPECT_EQ(checker_warnings, 0);

    // Another list's word does not count as a row there; a list gone clears its words.
    CKxListModel second;
    second.SetColumns(make_row(nullptr, {"Name"}));
    EXPECT_EQ(second.RowOf(&nodes_[0]), -1);
    {
        CKxListModel gone;
        gone.SetColumns(make_row(nullptr, {"Name"}));
        gone.SetRow(make_row(&nodes_[1], {"b"}), QIcon());
    }
    EXPECT_EQ(nodes_[1].VTA_ViewWords[1], 0u);
}

// What the views hear of one batch of changes.
struct batch_case {
    const char *label;
    size_t rows_before; // shown before the batch
    size_t added;       // rows added in the batch
    size_t removed;     // rows removed in the batch, from the front
    int row_signals;    // rows inserted and removed announced one by one
    int resets;         // model resets announced
};

TEST_F(ListModelTest, ABatchAnnouncesFewChangesRowByRowAndManyAsOneReset) {
    const int many = CKxListModel::kBatchChanges;
    const size_t long_list = CKxListModel::kLongList;
    const batch_case cases[] = {
        {"a few rows added", 2, 3, 0, 3, 0},
        {"a few rows removed", 5, 0, 2, 2, 0},
        {"more rows than announced one by one", 0, size_t(many) + 5, 0, many, 1},
        {"a removal from a long list", long_list + 1, 0, 1, 0, 1},
        {"additions, then a removal from a list grown long", long_list, 1, 1, 1, 1},
    };
    for (const batch_case &c : cases) {
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

TEST_F(ListModelTest, AFillWithinABatchReachesTheViewsWhenTheBatchEnds) {
    CKxListModel model;
    QAbstractItemModelTester tester(&model,
                                    QAbstractItemModelTester::FailureReportingMode::Warning);
    QSignalSpy resets(&model, &QAbstractItemModel::modelReset);
    model.BeginBatch();
    model.BeginFill();
    model.SetColumns(make_row(nullptr, {"Name"}));
    model.SetRow(make_row(&nodes_[0], {"a"}), QIcon());
    model.EndFill();
    EXPECT_TRUE(model.Resetting());
    model.RemoveNode(&nodes_[0]);
    model.SetRow(make_row(&nodes_[1], {"b"}), QIcon());
    model.EndBatch();
    EXPECT_FALSE(model.Resetting());
    EXPECT_EQ(resets.count(), 1);
    EXPECT_EQ(model.rowCount(), 1);
    EXPECT_EQ(model.RowOf(&nodes_[1]), 0);
    EXPECT_EQ(nodes_[0].VTA_ViewWords[1], 0u);
    EXPECT_EQ(checker_warnings, 0);
}

} // namespace
