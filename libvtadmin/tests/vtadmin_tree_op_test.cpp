// VTATree_Op: validation, progress messages, default handling, allow-menu answers, the
// refresh protocol and the change of the current node.
#include "libvtadmin/vtadmin_tree.h"
#include "support_tree.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

using Names = std::vector<std::string>;

// A scripted node kind standing in for the cluster-backed kinds.
struct FakeKind {
    Names items;           // what the cluster reports on a refresh, in its order
    int fail_at = -1;      // index of the refresh request that fails
    int32_t fail_code = 0; // result of that failure
    int32_t other_result = VTA_ERR_NOT_HANDLED; // result for the codes it does not script
    std::vector<uint32_t> allowed;              // operations it answers with 2
    bool close_deletes = false;                 // code 8 deletes the node itself
    bool drop_notify = false;                   // the operation clears the tree's notify callback
    std::vector<uint32_t> calls;                // operation codes received
    VTA_LV_ROW row_seen{};                      // the row as the function received it
};

FakeKind g_kind;

int32_t refresh_items(VTATree *tree, VTAObj *node, char *msg, size_t msg_size) {
    for (size_t i = 0; i < g_kind.items.size(); ++i) {
        if (static_cast<int>(i) == g_kind.fail_at) {
            snprintf(msg, msg_size, "request %zu failed", i);
            return g_kind.fail_code;
        }
        const char *name = g_kind.items[i].c_str();
        VTAObj *child = nullptr;
        if (VTAObj_FindChild(node, nullptr, name, &child) == VTA_OK) {
            VTAObj_Touch(child);
            VTATree_Notify(tree, VTA_NOTE_UPDATED, child);
            continue;
        }
        child = make_node(name, VTA_OBJ_VALUE, false, false, VTAObj_ValueOpFunc);
        int32_t rc = VTAObj_Insert(tree, node, child);
        if (rc != VTA_OK)
            return rc;
    }
    return VTA_OK;
}

int32_t fake_op(VTATree *tree, uint32_t op, VTAObj *node, void *data, size_t, char *msg,
                size_t msg_size) {
    g_kind.calls.push_back(op);
    if (g_kind.drop_notify)
        VTATree_SetNotify(tree, nullptr);
    switch (op) {
    case VTA_OP_LV_ROW_GET:
    case VTA_OP_LV_ROW_GETBYNBR:
        g_kind.row_seen = *static_cast<VTA_LV_ROW *>(data);
        return VTA_ERR_NOT_HANDLED;
    case VTA_OP_REFRESH:
        return refresh_items(tree, node, msg, msg_size);
    case VTA_OP_CLOSE:
        if (!g_kind.close_deletes)
            break;
        VTAObj_Delete(tree, &node);
        return VTA_OK;
    case VTA_OP_ALLOW_MENU: {
        auto *allow = static_cast<VTA_ALLOW_MENU *>(data);
        bool yes = std::find(g_kind.allowed.begin(), g_kind.allowed.end(), allow->VTA_Op) !=
                   g_kind.allowed.end();
        allow->VTA_Answer = yes ? VTA_MENU_ALLOWED : VTA_MENU_NOT_ALLOWED;
        return VTA_OK;
    }
    default:
        break;
    }
    if (g_kind.other_result != VTA_ERR_NOT_HANDLED && g_kind.other_result != VTA_OK)
        snprintf(msg, msg_size, "kind failed");
    return g_kind.other_result;
}

class TreeOp : public ::testing::Test {
protected:
    void SetUp() override {
        g_kind = FakeKind{};
        tree = VTATree_Create();
        ASSERT_NE(tree, nullptr);
        recorder.attach(tree);
        folder = add_node(tree, tree->VTA_Root, "Folder", VTA_OBJ_ALL_FS, true, true, fake_op);
        recorder.clear();
    }
    void TearDown() override { VTATree_Destroy(&tree); }

    int32_t op(uint32_t code, VTAObj *node, void *data = nullptr, size_t size = 0) {
        msg[0] = '\0';
        return VTATree_Op(tree, code, node, data, size, msg, sizeof msg);
    }
    uint32_t allow(VTAObj *node, uint32_t asked, int32_t *result = nullptr) {
        VTA_ALLOW_MENU question{asked, VTA_MENU_NOT_ALLOWED};
        int32_t rc = op(VTA_OP_ALLOW_MENU, node, &question, sizeof question);
        if (result != nullptr)
            *result = rc;
        return question.VTA_Answer;
    }

    VTATree *tree = nullptr;
    VTAObj *folder = nullptr;
    TreeRecorder recorder;
    char msg[256] = "";
};

std::string cell(const VTA_LV_ROW &row, int col) {
    return row.VTA_Cells[col].VTA_Text;
}

// ---- Validation ----

TEST_F(TreeOp, ValidationFailuresCallNoOperationFunctionAndSendNoMessages) {
    VTA_LV_ROW row{};
    VTA_ALLOW_MENU question{VTA_OP_REFRESH_ALL, 0};
    VTAObj *bare = add_node(tree, folder, "bare", VTA_OBJ_DISK, true, false, nullptr);
    recorder.clear();
    struct Case {
        VTATree *tree;
        uint32_t code;
        VTAObj *node;
        void *data;
        size_t size;
        int32_t result;
        const char *text;
    } cases[] = {
        {nullptr, VTA_OP_REFRESH, folder, nullptr, 0, 22, "Null arguments to VTATree_Op\n"},
        {tree, VTA_OP_REFRESH, nullptr, nullptr, 0, 22, "Null arguments to VTATree_Op\n"},
        {tree, VTA_OP_CLOSE, bare, nullptr, 0, 48,
         "Internal Error: Object has no OpFunc support.\n"},
        {tree, VTA_OP_LV_ROW_GET, folder, &row, sizeof row - 1, 22,
         "Internal Error: Wrong size for table row structure.\n"},
        {tree, VTA_OP_LV_ROW_GET, folder, &row, sizeof row + 1, 22,
         "Internal Error: Wrong size for table row structure.\n"},
        {tree, VTA_OP_LV_ROW_GETBYNBR, folder, &row, sizeof row - 1, 22,
         "Internal Error: Wrong size for table row structure.\n"},
        {tree, VTA_OP_LV_ROW_GETBYNBR, folder, nullptr, sizeof row, 22,
         "Internal Error: Wrong size for table row structure.\n"},
        {tree, VTA_OP_ALLOW_MENU, folder, &question, sizeof question - 1, 22,
         "Internal Error: Wrong size for 'Allow Menu' structure.\n"},
        {tree, VTA_OP_ALLOW_MENU, folder, nullptr, sizeof question, 22,
         "Internal Error: Wrong size for 'Allow Menu' structure.\n"},
    };
    for (const Case &c : cases) {
        msg[0] = '\0';
        EXPECT_EQ(VTATree_Op(c.tree, c.code, c.node, c.data, c.size, msg, sizeof msg), c.result)
            << c.text;
        EXPECT_STREQ(msg, c.text);
    }
    EXPECT_TRUE(g_kind.calls.empty());
    EXPECT_TRUE(recorder.notes.empty());
    EXPECT_EQ(question.VTA_Answer, 0u); // a refused question is not answered
}

TEST_F(TreeOp, NegativeRowNumberIsRefusedBeforeTheRowIsTouched) {
    VTA_LV_ROW row{};
    row.VTA_RowNbr = -1;
    strcpy(row.VTA_Cells[0].VTA_Text, "keep");
    row.VTA_ColCount = 7;
    EXPECT_EQ(op(VTA_OP_LV_ROW_GETBYNBR, folder, &row, sizeof row), VTA_ERR_INVALID);
    EXPECT_STREQ(msg, "Internal Error: Bad row number for VTA_OP_LV_ROW_GETBYNBR'");
    EXPECT_TRUE(g_kind.calls.empty());
    EXPECT_EQ(cell(row, 0), "keep");
    EXPECT_EQ(row.VTA_ColCount, 7u);
}

TEST_F(TreeOp, RowRecordsArePreparedBeforeTheFunctionSeesThem) {
    VTAObj *child = add_node(tree, folder, "child", VTA_OBJ_VALUE, false, false);
    recorder.clear();
    VTA_LV_ROW row;
    memset(&row, 'x', sizeof row);
    row.VTA_RowNbr = 7;
    row.VTA_Node = child;
    ASSERT_EQ(op(VTA_OP_LV_ROW_GET, folder, &row, sizeof row), VTA_OK);
    EXPECT_EQ(g_kind.row_seen.VTA_RowNbr, -1);
    EXPECT_EQ(g_kind.row_seen.VTA_ColCount, 0u);
    EXPECT_EQ(g_kind.row_seen.VTA_Node, child);
    for (const VTA_LV_CELL &c : g_kind.row_seen.VTA_Cells) {
        EXPECT_EQ(c.VTA_Text[0], '\0');
        EXPECT_EQ(c.VTA_RightAlign, 0);
    }

    memset(&row, 'x', sizeof row);
    row.VTA_RowNbr = 1;
    ASSERT_EQ(op(VTA_OP_LV_ROW_GETBYNBR, folder, &row, sizeof row), VTA_OK);
    EXPECT_EQ(g_kind.row_seen.VTA_RowNbr, 1);
    EXPECT_EQ(g_kind.row_seen.VTA_Node, nullptr);
    EXPECT_EQ(g_kind.row_seen.VTA_ColCount, 0u);
    EXPECT_EQ(g_kind.row_seen.VTA_Cells[19].VTA_Text[0], '\0');
    EXPECT_TRUE(recorder.notes.empty()); // rows send no progress messages
}

// ---- Default handling ----

TEST_F(TreeOp, DefaultRowsGiveHeaderThenChildrenUntilNoMore) {
    VTAObj *b = add_node(tree, folder, "b", VTA_OBJ_VALUE, false, false);
    VTAObj *a = add_node(tree, folder, "A", VTA_OBJ_DISK, true, false);
    VTA_LV_ROW row{};
    Names lines;
    int32_t rc = VTA_OK;
    for (int32_t n = 0; n < 10; ++n) {
        row.VTA_RowNbr = n;
        rc = op(VTA_OP_LV_ROW_GETBYNBR, folder, &row, sizeof row);
        if (rc != VTA_OK)
            break;
        ASSERT_EQ(row.VTA_ColCount, 2u);
        lines.push_back(cell(row, 0) + "|" + cell(row, 1) + "|" +
                        (row.VTA_Node ? row.VTA_Node->VTA_Name : "-"));
    }
    EXPECT_EQ(rc, VTA_ERR_NOT_FOUND);
    EXPECT_STREQ(msg, "No more child nodes for Folder");
    EXPECT_EQ(lines, (Names{"Name|Type|-", "A|Disk|A", "b|Value|b"}));

    row.VTA_Node = b;
    ASSERT_EQ(op(VTA_OP_LV_ROW_GET, folder, &row, sizeof row), VTA_OK);
    EXPECT_EQ(row.VTA_RowNbr, -1);
    EXPECT_EQ(cell(row, 0) + "|" + cell(row, 1), "b|Value");
    EXPECT_EQ(row.VTA_Node, b);
    row.VTA_Node = a;
    ASSERT_EQ(op(VTA_OP_LV_ROW_GET, folder, &row, sizeof row), VTA_OK);
    EXPECT_EQ(cell(row, 0) + "|" + cell(row, 1), "A|Disk");
}

TEST_F(TreeOp, NodeWithoutChildrenHasNoHeaderEither) {
    VTAObj *empty = add_node(tree, folder, "Empty", VTA_OBJ_DISK, true, false, fake_op);
    VTA_LV_ROW row{};
    EXPECT_EQ(op(VTA_OP_LV_ROW_GETBYNBR, empty, &row, sizeof row), VTA_ERR_NOT_FOUND);
    EXPECT_STREQ(msg, "No more child nodes for Empty");
    EXPECT_EQ(row.VTA_ColCount, 0u);
}

TEST_F(TreeOp, DefaultActionsRefuseDeleteStartStopActivateAndIgnoreTheRest) {
    VTAObj *host = add_node(tree, folder, "alpha", VTA_OBJ_COMPUTER, true, false, fake_op);
    struct {
        uint32_t code;
        int32_t result;
        const char *text;
    } cases[] = {
        {VTA_OP_DELETE, 22, "Cannot delete 'alpha'"},
        {VTA_OP_START, 22, "'Start' operation is not supported for 'alpha'"},
        {VTA_OP_STOP, 22, "'Stop' operation is not supported for 'alpha'"},
        {VTA_OP_ACTIVATE, 22, "'Activate' operation is not supported for 'alpha'"},
        {VTA_OP_FAILOVER, 0, ""},
        {VTA_OP_CREATE, 0, ""},
        {VTA_OP_OPEN, 0, ""},
        {VTA_OP_SAVE, 0, ""},
        {VTA_OP_CLOSE, 0, ""},
        {VTA_OP_PROPERTIES, 0, ""},
        {VTA_OP_REFRESH_ALL, 0, ""},
        {99, 0, ""},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(op(c.code, host), c.result) << c.code;
        EXPECT_STREQ(msg, c.text) << c.code;
    }
    EXPECT_STREQ(host->VTA_Name, "alpha");
    EXPECT_EQ(child_names(tree, folder), (Names{"alpha"}));
}

TEST_F(TreeOp, KindResultsOtherThanNotHandledPassThrough) {
    g_kind.other_result = 1234;
    EXPECT_EQ(op(VTA_OP_DELETE, folder), 1234);
    EXPECT_STREQ(msg, "kind failed");
    g_kind.other_result = VTA_OK;
    EXPECT_EQ(op(VTA_OP_START, folder), VTA_OK); // handled: no default refusal
    EXPECT_EQ(g_kind.calls, (std::vector<uint32_t>{VTA_OP_DELETE, VTA_OP_START}));
}

// ---- Progress messages ----

TEST_F(TreeOp, ProgressMessagesPairRunningWithDoneOrError) {
    ASSERT_EQ(op(VTA_OP_FAILOVER, folder), VTA_OK);
    ASSERT_EQ(op(VTA_OP_DELETE, folder), VTA_ERR_INVALID);
    EXPECT_EQ(recorder.messages(),
              (Names{"Running: Failover of 'Folder' busy", "Done: Failover of 'Folder' idle",
                     "Running: Delete of 'Folder' busy", "* ERROR *: Delete of 'Folder' idle"}));
    ASSERT_EQ(recorder.message_nodes.size(), 4u);
    EXPECT_EQ(recorder.message_nodes[0], recorder.message_nodes[1]);
    EXPECT_EQ(recorder.message_nodes[2], recorder.message_nodes[3]);
}

TEST_F(TreeOp, ProgressNamesPerOperation) {
    const std::pair<uint32_t, const char *> names[] = {
        {VTA_OP_REDISPLAY, "Refresh"},
        {VTA_OP_REFRESH, "Refresh"},
        {VTA_OP_CREATE, "Creating"},
        {VTA_OP_OPEN, "Open"},
        {VTA_OP_SAVE, "Save"},
        {VTA_OP_CLOSE, "Close"},
        {VTA_OP_FAILOVER, "Failover"},
        {VTA_OP_REFRESH_ALL, "Refresh"},
        {VTA_OP_PROPERTIES, "Properties"},
        {0, "Unknown Operation"},
        {17, "Unknown Operation"},
        {0xFFFFFFFF, "Unknown Operation"},
    };
    for (const auto &[code, name] : names) {
        recorder.clear();
        op(code, folder);
        ASSERT_EQ(recorder.messages().size(), 2u) << code;
        EXPECT_EQ(recorder.messages()[0], std::string("Running: ") + name + " of 'Folder' busy");
    }
    // The codes without a progress name are passed on like any other.
    EXPECT_EQ(g_kind.calls.back(), 0xFFFFFFFFu);
}

TEST_F(TreeOp, DoneMessageNamesANodeThatTheOperationDeleted) {
    VTAObj *host = add_node(tree, folder, "alpha", VTA_OBJ_COMPUTER, true, true, fake_op);
    tree->VTA_Current = host;
    g_kind.close_deletes = true;
    recorder.clear();
    EXPECT_EQ(op(VTA_OP_CLOSE, host), VTA_OK);
    EXPECT_EQ(recorder.notes,
              (Names{"message Running: Close of 'alpha' busy", "removed _NEED_REFRESH_",
                     "removed alpha", "message Done: Close of 'alpha' idle"}));
    EXPECT_EQ(VTATree_GetCurrent(tree), nullptr);
}

TEST_F(TreeOp, NoClosingMessageOnceTheCallbackIsGone) {
    g_kind.drop_notify = true;
    EXPECT_EQ(op(VTA_OP_SAVE, folder), VTA_OK);
    EXPECT_EQ(recorder.messages(), (Names{"Running: Save of 'Folder' busy"}));
}

TEST_F(TreeOp, NoMessagesWithoutACallback) {
    VTATree_SetNotify(tree, nullptr);
    g_kind.items = {"x"};
    EXPECT_EQ(op(VTA_OP_REFRESH, folder), VTA_OK);
    EXPECT_EQ(op(VTA_OP_DELETE, folder), VTA_ERR_INVALID);
    EXPECT_TRUE(recorder.notes.empty());
    EXPECT_EQ(child_names(tree, folder), (Names{"x"}));
}

// ---- Allow-menu answers ----

TEST_F(TreeOp, RefreshIsAllowedOnEveryNodeAndOtherwiseTheKindDecides) {
    g_kind.allowed = {VTA_OP_CLOSE};
    EXPECT_EQ(allow(folder, VTA_OP_CLOSE), VTA_MENU_ALLOWED);
    EXPECT_EQ(allow(folder, VTA_OP_REFRESH_ALL), VTA_MENU_ALLOWED); // the kind said 0
    EXPECT_EQ(allow(folder, VTA_OP_START), VTA_MENU_NOT_ALLOWED);
    EXPECT_EQ(allow(folder, VTA_OP_REFRESH), VTA_MENU_NOT_ALLOWED);

    VTAObj *plain = add_node(tree, folder, "plain", VTA_OBJ_ALL_DISKS, true, false);
    int32_t rc = -1;
    EXPECT_EQ(allow(plain, VTA_OP_REFRESH_ALL, &rc), VTA_MENU_ALLOWED);
    EXPECT_EQ(rc, VTA_OK);
    EXPECT_EQ(allow(plain, VTA_OP_CREATE, &rc), VTA_MENU_NOT_ALLOWED);
    EXPECT_EQ(rc, VTA_OK);
    EXPECT_TRUE(recorder.messages().empty());
}

TEST_F(TreeOp, PlaceholderAllowsOnlyRefresh) {
    VTAObj *host = add_node(tree, folder, "h", VTA_OBJ_COMPUTER, true, true, fake_op);
    VTAObj *placeholder = host->VTA_Child;
    ASSERT_EQ(placeholder->VTA_Type, VTA_OBJ_DUMMY);
    int32_t rc = -1;
    EXPECT_EQ(allow(placeholder, VTA_OP_REFRESH_ALL, &rc), VTA_MENU_ALLOWED);
    EXPECT_EQ(rc, VTA_OK);
    EXPECT_EQ(allow(placeholder, VTA_OP_CREATE, &rc), VTA_MENU_NOT_ALLOWED);
    EXPECT_EQ(rc, VTA_OK);
}

TEST_F(TreeOp, ValueNodeAnswersEverythingWith48) {
    VTAObj *value = add_node(tree, folder, "v", VTA_OBJ_VALUE, false, false, VTAObj_ValueOpFunc);
    int32_t rc = 0;
    allow(value, VTA_OP_PROPERTIES, &rc);
    EXPECT_EQ(rc, VTA_ERR_NO_OPFUNC);
    EXPECT_STRNE(msg, "");
    EXPECT_EQ(op(VTA_OP_REFRESH, value), VTA_ERR_NO_OPFUNC);
    EXPECT_EQ(op(VTA_OP_DELETE, value), VTA_ERR_NO_OPFUNC);
}

TEST_F(TreeOp, RootAllowsNewConnectionSaveAndRefresh) {
    VTAObj *root = tree->VTA_Root;
    EXPECT_EQ(allow(root, VTA_OP_CREATE), VTA_MENU_ALLOWED);
    EXPECT_EQ(allow(root, VTA_OP_SAVE), VTA_MENU_ALLOWED);
    EXPECT_EQ(allow(root, VTA_OP_REFRESH_ALL), VTA_MENU_ALLOWED);
    EXPECT_EQ(allow(root, VTA_OP_CLOSE), VTA_MENU_NOT_ALLOWED);
    EXPECT_EQ(allow(root, VTA_OP_DELETE), VTA_MENU_NOT_ALLOWED);
    EXPECT_EQ(allow(root, VTA_OP_PROPERTIES), VTA_MENU_NOT_ALLOWED);
}

TEST_F(TreeOp, DebugFlagAsksItsDebugFolder) {
    g_kind.allowed = {VTA_OP_PROPERTIES};
    VTAObj *debug = add_node(tree, folder, "Debug", VTA_OBJ_DEBUG, true, false, fake_op);
    VTAObj *flag =
        add_node(tree, debug, "Sockets", VTA_OBJ_DEBUG_FLAG, false, false, VTAObj_CheckboxOpFunc);
    g_kind.calls.clear();
    EXPECT_EQ(allow(flag, VTA_OP_PROPERTIES), VTA_MENU_ALLOWED);
    EXPECT_EQ(allow(flag, VTA_OP_DELETE), VTA_MENU_NOT_ALLOWED);
    EXPECT_EQ(allow(flag, VTA_OP_REFRESH_ALL), VTA_MENU_ALLOWED);
    EXPECT_EQ(g_kind.calls, (std::vector<uint32_t>(3, VTA_OP_ALLOW_MENU)));

    VTAObj *orphan = make_node("orphan", VTA_OBJ_DEBUG_FLAG, false, false, VTAObj_CheckboxOpFunc);
    int32_t rc = 0;
    allow(orphan, VTA_OP_PROPERTIES, &rc);
    EXPECT_EQ(rc, VTA_ERR_INVALID);
    EXPECT_STREQ(msg, "Null arguments to VTATree_Op\n");
    VTAObj_Free(&orphan);
}

TEST_F(TreeOp, DebugFlagRowIsACheckBoxAndItsName) {
    VTAObj *debug = add_node(tree, folder, "Debug", VTA_OBJ_DEBUG, true, false, fake_op);
    VTAObj *flag = add_node(tree, debug, "Journal Logging", VTA_OBJ_DEBUG_FLAG, false, false,
                            VTAObj_CheckboxOpFunc);
    VTA_LV_ROW row{};
    row.VTA_Node = flag;
    ASSERT_EQ(op(VTA_OP_LV_ROW_GET, flag, &row, sizeof row), VTA_OK);
    EXPECT_EQ(row.VTA_ColCount, 2u);
    EXPECT_EQ(cell(row, 0), "");
    EXPECT_EQ(cell(row, 1), "Journal Logging");

    EXPECT_EQ(op(VTA_OP_DELETE, flag), VTA_ERR_INVALID); // everything else: default handling
    EXPECT_STREQ(msg, "Cannot delete 'Journal Logging'");

    char text[64] = "";
    EXPECT_EQ(VTAObj_CheckboxOpFunc(tree, VTA_OP_LV_ROW_GET, nullptr, &row, sizeof row, text,
                                    sizeof text),
              VTA_ERR_INVALID);
    EXPECT_STREQ(text, "Internal Error: No object for OP Checkbox");
}

// ---- Refresh protocol ----

TEST_F(TreeOp, FirstRefreshReplacesThePlaceholderWithWhatTheClusterReports) {
    g_kind.items = {"b", "a"};
    ASSERT_EQ(op(VTA_OP_REFRESH, folder), VTA_OK);
    EXPECT_EQ(recorder.notes,
              (Names{"message Running: Refresh of 'Folder' busy", "removed _NEED_REFRESH_",
                     "inserted b", "inserted a", "message Done: Refresh of 'Folder' idle"}));
    EXPECT_EQ(child_names(tree, folder), (Names{"a", "b"}));
}

TEST_F(TreeOp, LaterRefreshKeepsWhatIsFoundAgainAndPrunesTheRest) {
    g_kind.items = {"a", "b"};
    ASSERT_EQ(op(VTA_OP_REFRESH, folder), VTA_OK);
    VTAObj *a = folder->VTA_Child;
    recorder.clear();

    g_kind.items = {"c", "a"};
    ASSERT_EQ(op(VTA_OP_REFRESH, folder), VTA_OK);
    EXPECT_EQ(recorder.notes,
              (Names{"message Running: Refresh of 'Folder' busy", "inserted c", "updated a",
                     "removed b", "message Done: Refresh of 'Folder' idle"}));
    EXPECT_EQ(child_names(tree, folder), (Names{"a", "c"}));
    EXPECT_EQ(folder->VTA_Child, a); // confirmed, not rebuilt
    for (VTAObj *child = folder->VTA_Child; child; child = child->VTA_SibRight)
        EXPECT_EQ(child->VTA_Stale, 0) << child->VTA_Name;
}

TEST_F(TreeOp, RefreshFailingHalfWayPrunesWhatItDidNotReach) {
    g_kind.items = {"a", "b", "c"};
    ASSERT_EQ(op(VTA_OP_REFRESH, folder), VTA_OK);
    recorder.clear();
    g_kind.items = {"b", "a", "c"};
    g_kind.fail_at = 1;
    g_kind.fail_code = 1234;
    EXPECT_EQ(op(VTA_OP_REFRESH, folder), 1234);
    EXPECT_STREQ(msg, "request 1 failed");
    EXPECT_EQ(child_names(tree, folder), (Names{"b"}));
    EXPECT_EQ(recorder.notes,
              (Names{"message Running: Refresh of 'Folder' busy", "updated b", "removed a",
                     "removed c", "message * ERROR *: Refresh of 'Folder' idle"}));
}

TEST_F(TreeOp, RefreshFailingAtTheFirstRequestPrunesEverythingPlaceholderIncluded) {
    g_kind.items = {"a"};
    g_kind.fail_at = 0;
    g_kind.fail_code = 113;
    EXPECT_EQ(op(VTA_OP_REFRESH, folder), 113);
    EXPECT_EQ(folder->VTA_Child, nullptr);
    EXPECT_EQ(recorder.notes,
              (Names{"message Running: Refresh of 'Folder' busy", "removed _NEED_REFRESH_",
                     "message * ERROR *: Refresh of 'Folder' idle"}));

    g_kind.fail_at = -1;
    ASSERT_EQ(op(VTA_OP_REFRESH, folder), VTA_OK);
    EXPECT_EQ(child_names(tree, folder), (Names{"a"}));
    g_kind.fail_at = 0;
    EXPECT_EQ(op(VTA_OP_REFRESH, folder), 113);
    EXPECT_EQ(folder->VTA_Child, nullptr);
}

TEST_F(TreeOp, RefreshOfAKindWithoutChildrenOfItsOwnPrunesThemAll) {
    VTAObj *plain = add_node(tree, folder, "plain", VTA_OBJ_ALL_DISKS, true, true);
    add_node(tree, plain, "x", VTA_OBJ_VALUE, false, false);
    ASSERT_EQ(op(VTA_OP_REFRESH, plain), VTA_OK);
    EXPECT_EQ(plain->VTA_Child, nullptr);
}

// ---- Current node ----

TEST_F(TreeOp, SetCurrentRefreshesThenAnnouncesTheNewCurrentNode) {
    g_kind.items = {"a"};
    ASSERT_EQ(VTATree_SetCurrent(tree, folder, msg, sizeof msg), VTA_OK);
    EXPECT_EQ(VTATree_GetCurrent(tree), folder);
    EXPECT_EQ(g_kind.calls, (std::vector<uint32_t>{VTA_OP_REFRESH}));
    EXPECT_EQ(recorder.notes.back(), "current Folder");
    EXPECT_EQ(child_names(tree, folder), (Names{"a"}));
}

TEST_F(TreeOp, SetCurrentOnTheCurrentNodeDoesNotRefreshIt) {
    tree->VTA_Current = folder;
    g_kind.items = {"a"};
    EXPECT_EQ(VTATree_SetCurrent(tree, folder, msg, sizeof msg), VTA_OK);
    EXPECT_TRUE(g_kind.calls.empty());
    EXPECT_TRUE(recorder.notes.empty());
    EXPECT_EQ(folder->VTA_Child->VTA_Type, VTA_OBJ_DUMMY);
}

TEST_F(TreeOp, SetCurrentKeepsTheOldCurrentNodeWhenTheRefreshFails) {
    VTAObj *root = tree->VTA_Root;
    g_kind.items = {"a"};
    g_kind.fail_at = 0;
    g_kind.fail_code = 1234;
    EXPECT_EQ(VTATree_SetCurrent(tree, folder, msg, sizeof msg), 1234);
    EXPECT_STREQ(msg, "request 0 failed");
    EXPECT_EQ(VTATree_GetCurrent(tree), root);
    for (const std::string &note : recorder.notes)
        EXPECT_EQ(note.rfind("current", 0), std::string::npos) << note;

    EXPECT_EQ(VTATree_SetCurrent(nullptr, folder, msg, sizeof msg), VTA_ERR_INVALID);
}

} // namespace
