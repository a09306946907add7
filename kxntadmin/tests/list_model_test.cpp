// The detail list's model: consistency under the item-model checker and row lookup by node.
#include "kxntadmin/tests/support_shell.h"

#include "libutil/fatal.h"

#include <QAbstractItemModelTester>
#include <gtest/gtest.h>

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

TEST_F(ListModelTest, AnotherListsWordDoesNotCountAsARowHere) {
    CKxListModel first;
    CKxListModel second;
    first.SetColumns(make_row(nullptr, {"Name"}));
    second.SetColumns(make_row(nullptr, {"Name"}));
    first.SetRow(make_row(&nodes_[0], {"a"}), QIcon());
    EXPECT_EQ(second.RowOf(&nodes_[0]), -1);
    {
        CKxListModel gone;
        gone.SetColumns(make_row(nullptr, {"Name"}));
        gone.SetRow(make_row(&nodes_[1], {"b"}), QIcon());
    }
    EXPECT_EQ(nodes_[1].VTA_ViewWords[1], 0u);
}

} // namespace
