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
        VTAObj *child = nullptr;
        if (VTAObj_FindChild(node, nullptr, g_kind.items[i].c_str(), &child) == VTA_OK) {
            VTAObj_Touch(child);
            VTATree_Notify(tree, VTA_NOTE_UPDATED, child);
        } else {
            add_node(tree, node, g_kind.items[i].c_str(), VTA_OBJ_VALUE, false, false);
        }
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
        const auto &yes = g_kind.allowed;
        allow->VTA_Answer = std::find(yes.begin(), yes.end(), allow->VTA_Op) != yes.end()
                                ? VTA_MENU_ALLOWED
                                : VTA_MENU_NOT_ALLOWED;
        return VTA_OK;
    }
    default:
        break;
    }
    if (g_kind.other_result != VTA_ERR_NOT_HANDLED && g_kind.other_result != VTA_OK)
        snprintf(msg, msg_size, "kind failed");
    return g_kind.other_result;
}

// "Parent" is of the scripted kind and loads on demand.
class TreeOp : public TreeWithParent {
protected:
    TreeOp() : TreeWithParent(fake_op, true) { g_kind = FakeKind{}; }
    uint32_t allow(VTAObj *node, uint32_t asked, int32_t *result = nullptr) {
        VTA_ALLOW_MENU question{asked, VTA_MENU_NOT_ALLOWED};
        const int32_t rc = op(VTA_OP_ALLOW_MENU, node, &question, sizeof question);
        if (result != nullptr)
            *result = rc;
        return question.VTA_Answer;
    }
};

TEST_F(TreeOp, ValidationFailuresCallNoOperationFunctionAndSendNoMessages) {
    VTA_LV_ROW row{};
    row.VTA_ColCount = 7;
    VTA_ALLOW_MENU question{VTA_OP_REFRESH_ALL, 0};
    VTAObj *bare = add_node(tree, parent, "bare", VTA_OBJ_DISK, true, false, nullptr);
    recorder.clear();
    const char *const kNull = "Null arguments to VTATree_Op\n";
    const char *const kRow = "Internal Error: Wrong size for table row structure.\n";
    const char *const kAllow = "Internal Error: Wrong size for 'Allow Menu' structure.\n";
    const struct {
        VTATree *tree;
        uint32_t code;
        VTAObj *node;
        void *data;
        size_t size;
        int32_t result;
        const char *text;
    } cases[] = {
        {nullptr, VTA_OP_REFRESH, parent, nullptr, 0, 22, kNull},
        {tree, VTA_OP_REFRESH, nullptr, nullptr, 0, 22, kNull},
        {tree, VTA_OP_CLOSE, bare, nullptr, 0, 48,
         "Internal Error: Object has no OpFunc support.\n"},
        {tree, VTA_OP_LV_ROW_GET, parent, &row, sizeof row - 1, 22, kRow},
        {tree, VTA_OP_LV_ROW_GETBYNBR, parent, nullptr, sizeof row, 22, kRow},
        {tree, VTA_OP_ALLOW_MENU, parent, &question, sizeof question - 1, 22, kAllow},
        {tree, VTA_OP_ALLOW_MENU, parent, nullptr, sizeof question, 22, kAllow},
    };
    for (const auto &c : cases) {
        msg[0] = '\0';
        EXPECT_EQ(VTATree_Op(c.tree, c.code, c.node, c.data, c.size, msg, sizeof msg), c.result)
            << c.text;
        EXPECT_STREQ(msg, c.text);
    }
    // A negative row number is refused before the row is touched.
    row.VTA_RowNbr = -1;
    EXPECT_EQ(op(VTA_OP_LV_ROW_GETBYNBR, parent, &row, sizeof row), VTA_ERR_INVALID);
    EXPECT_STREQ(msg, "Internal Error: Bad row number for VTA_OP_LV_ROW_GETBYNBR'");
    EXPECT_EQ(row.VTA_ColCount, 7u);
    EXPECT_TRUE(g_kind.calls.empty());
    EXPECT_TRUE(recorder.notes.empty());
    EXPECT_EQ(question.VTA_Answer, 0u); // a refused question is not answered
}

// The function sees a cleared row; by number it gets no node, else row number -1.
TEST_F(TreeOp, RowsArePreparedThenListedByDefaultHeaderFirst) {
    VTAObj *b = add_node(tree, parent, "b", VTA_OBJ_VALUE, false, false);
    VTAObj *a = add_node(tree, parent, "A", VTA_OBJ_DISK, true, false);
    recorder.clear();
    VTA_LV_ROW row;
    for (int32_t number : {-1, 1}) {
        memset(&row, 'x', sizeof row);
        row.VTA_RowNbr = number == -1 ? 7 : number;
        row.VTA_Node = b;
        const uint32_t code = number == -1 ? VTA_OP_LV_ROW_GET : VTA_OP_LV_ROW_GETBYNBR;
        ASSERT_EQ(op(code, parent, &row, sizeof row), VTA_OK);
        const VTA_LV_ROW &seen = g_kind.row_seen;
        EXPECT_EQ(seen.VTA_RowNbr, number);
        EXPECT_EQ(seen.VTA_Node, number == -1 ? b : nullptr);
        EXPECT_EQ(seen.VTA_ColCount, 0u);
        for (const VTA_LV_CELL &c : seen.VTA_Cells)
            EXPECT_TRUE(c.VTA_Text[0] == '\0' && c.VTA_RightAlign == 0) << number;
    }
    Names lines;
    int32_t rc = VTA_OK;
    for (int32_t n = 0; n < 10 && rc == VTA_OK; ++n) {
        row.VTA_RowNbr = n;
        if ((rc = op(VTA_OP_LV_ROW_GETBYNBR, parent, &row, sizeof row)) == VTA_OK)
            lines.push_back(row_text(row) + "|" + (row.VTA_Node ? row.VTA_Node->VTA_Name : "-"));
    }
    EXPECT_EQ(rc, VTA_ERR_NOT_FOUND);
    EXPECT_STREQ(msg, "No more child nodes for Parent");
    EXPECT_EQ(lines, (Names{"Name|Type|-", "A|Disk|A", "b|Value|b"}));
    row.VTA_Node = a;
    ASSERT_EQ(op(VTA_OP_LV_ROW_GET, parent, &row, sizeof row), VTA_OK);
    EXPECT_EQ(row_text(row), "A|Disk");
    EXPECT_EQ(row.VTA_RowNbr, -1);
    EXPECT_TRUE(recorder.notes.empty()) << "rows send no progress messages";
    // Without children there is no header either.
    VTA_LV_ROW empty_row{};
    EXPECT_EQ(op(VTA_OP_LV_ROW_GETBYNBR, a, &empty_row, sizeof empty_row), VTA_ERR_NOT_FOUND);
    EXPECT_STREQ(msg, "No more child nodes for A");
    EXPECT_EQ(empty_row.VTA_ColCount, 0u);
}

TEST_F(TreeOp, DefaultActionsRefuseDeleteStartStopActivateAndIgnoreTheRest) {
    VTAObj *host = add_node(tree, parent, "alpha", VTA_OBJ_COMPUTER, true, false, fake_op);
    const struct {
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
    EXPECT_EQ(child_names(tree, parent), (Names{"alpha"}));
    // Results other than "not handled" pass through.
    g_kind.calls.clear();
    g_kind.other_result = 1234;
    EXPECT_EQ(op(VTA_OP_DELETE, parent), 1234);
    EXPECT_STREQ(msg, "kind failed");
    g_kind.other_result = VTA_OK;
    EXPECT_EQ(op(VTA_OP_START, parent), VTA_OK); // handled: no default refusal
    EXPECT_EQ(g_kind.calls, (std::vector<uint32_t>{VTA_OP_DELETE, VTA_OP_START}));
}

TEST_F(TreeOp, ProgressMessagesPairRunningWithDoneOrErrorOnOneNode) {
    ASSERT_EQ(op(VTA_OP_FAILOVER, parent), VTA_OK);
    ASSERT_EQ(op(VTA_OP_DELETE, parent), VTA_ERR_INVALID);
    EXPECT_EQ(recorder.messages(),
              (Names{"Running: Failover of 'Parent' busy", "Done: Failover of 'Parent' idle",
                     "Running: Delete of 'Parent' busy", "* ERROR *: Delete of 'Parent' idle"}));
    ASSERT_EQ(recorder.message_nodes.size(), 4u);
    EXPECT_EQ(recorder.message_nodes[0], recorder.message_nodes[1]);
    EXPECT_EQ(recorder.message_nodes[2], recorder.message_nodes[3]);

    const std::pair<uint32_t, const char *> names[] = {
        {VTA_OP_REDISPLAY, "Refresh"},
        {VTA_OP_REFRESH, "Refresh"},
        {VTA_OP_CREATE, "Creating"},
        {VTA_OP_OPEN, "Open"},
        {VTA_OP_SAVE, "Save"},
        {VTA_OP_CLOSE, "Close"},
        {VTA_OP_REFRESH_ALL, "Refresh"},
        {VTA_OP_PROPERTIES, "Properties"},
        {0, "Unknown Operation"},
        {17, "Unknown Operation"},
        {0xFFFFFFFF, "Unknown Operation"},
    };
    for (const auto &[code, name] : names) {
        recorder.clear();
        op(code, parent);
        ASSERT_EQ(recorder.messages().size(), 2u) << code;
        EXPECT_EQ(recorder.messages()[0], std::string("Running: ") + name + " of 'Parent' busy");
    }
    EXPECT_EQ(g_kind.calls.back(), 0xFFFFFFFFu) << "unnamed codes are passed on too";
}

TEST_F(TreeOp, ProgressMessagesWhenTheNodeOrTheCallbackGoes) {
    VTAObj *host = add_node(tree, parent, "alpha", VTA_OBJ_COMPUTER, true, true, fake_op);
    tree->VTA_Current = host;
    g_kind.close_deletes = true;
    recorder.clear();
    EXPECT_EQ(op(VTA_OP_CLOSE, host), VTA_OK);
    EXPECT_EQ(recorder.notes,
              (Names{"message Running: Close of 'alpha' busy", "removed _NEED_REFRESH_",
                     "removed alpha", "message Done: Close of 'alpha' idle"}));
    EXPECT_EQ(VTATree_GetCurrent(tree), nullptr);

    recorder.clear();
    g_kind.drop_notify = true; // no closing message once the callback is gone
    EXPECT_EQ(op(VTA_OP_SAVE, parent), VTA_OK);
    EXPECT_EQ(recorder.messages(), (Names{"Running: Save of 'Parent' busy"}));
}

TEST_F(TreeOp, AllowMenuAnswers) {
    g_kind.allowed = {VTA_OP_CLOSE, VTA_OP_PROPERTIES};
    VTAObj *plain = add_node(tree, parent, "plain", VTA_OBJ_ALL_DISKS, true, false);
    VTAObj *host = add_node(tree, parent, "h", VTA_OBJ_COMPUTER, true, true, fake_op);
    VTAObj *debug = add_node(tree, parent, "Debug", VTA_OBJ_DEBUG, true, false, fake_op);
    VTAObj *flag =
        add_node(tree, debug, "Sockets", VTA_OBJ_DEBUG_FLAG, false, false, VTAObj_CheckboxOpFunc);
    VTAObj *value = add_node(tree, parent, "v", VTA_OBJ_VALUE, false, false, VTAObj_ValueOpFunc);
    VTAObj *orphan = make_node("orphan", VTA_OBJ_DEBUG_FLAG, false, false, VTAObj_CheckboxOpFunc);
    const uint32_t yes = VTA_MENU_ALLOWED, no = VTA_MENU_NOT_ALLOWED;
    const struct {
        const char *name;
        VTAObj *node;
        uint32_t asked, answer;
        int32_t result;
    } rows[] = {
        {"the kind allows", parent, VTA_OP_CLOSE, yes, VTA_OK},
        {"refresh is always allowed", parent, VTA_OP_REFRESH_ALL, yes, VTA_OK},
        {"the kind refuses", parent, VTA_OP_START, no, VTA_OK},
        {"the kind refuses a plain refresh", parent, VTA_OP_REFRESH, no, VTA_OK},
        {"no kind: refresh", plain, VTA_OP_REFRESH_ALL, yes, VTA_OK},
        {"no kind: create", plain, VTA_OP_CREATE, no, VTA_OK},
        {"placeholder: refresh", host->VTA_Child, VTA_OP_REFRESH_ALL, yes, VTA_OK},
        {"placeholder: create", host->VTA_Child, VTA_OP_CREATE, no, VTA_OK},
        {"flag asks its folder", flag, VTA_OP_PROPERTIES, yes, VTA_OK},
        {"flag, folder refuses", flag, VTA_OP_DELETE, no, VTA_OK},
        {"flag: refresh", flag, VTA_OP_REFRESH_ALL, yes, VTA_OK},
        {"flag without a folder", orphan, VTA_OP_PROPERTIES, no, VTA_ERR_INVALID},
        {"value node", value, VTA_OP_PROPERTIES, no, VTA_ERR_NO_OPFUNC},
    };
    for (const auto &row : rows) {
        int32_t rc = -1;
        EXPECT_EQ(allow(row.node, row.asked, &rc), row.answer) << row.name;
        EXPECT_EQ(rc, row.result) << row.name << ": " << msg;
    }
    EXPECT_EQ(std::count(g_kind.calls.begin(), g_kind.calls.end(), VTA_OP_ALLOW_MENU), 7);
    EXPECT_TRUE(recorder.messages().empty());
    VTAObj_Free(&orphan);
    EXPECT_EQ(op(VTA_OP_REFRESH, value), VTA_ERR_NO_OPFUNC);
}

TEST_F(TreeOp, DebugFlagRowIsACheckBoxAndItsName) {
    VTAObj *debug = add_node(tree, parent, "Debug", VTA_OBJ_DEBUG, true, false, fake_op);
    VTAObj *flag = add_node(tree, debug, "Journal Logging", VTA_OBJ_DEBUG_FLAG, false, false,
                            VTAObj_CheckboxOpFunc);
    VTA_LV_ROW row{};
    row.VTA_Node = flag;
    ASSERT_EQ(op(VTA_OP_LV_ROW_GET, flag, &row, sizeof row), VTA_OK);
    EXPECT_EQ(row_text(row), "|Journal Logging");
    EXPECT_EQ(op(VTA_OP_DELETE, flag), VTA_ERR_INVALID); // everything else: default handling
    EXPECT_STREQ(msg, "Cannot delete 'Journal Logging'");
    EXPECT_EQ(
        VTAObj_CheckboxOpFunc(tree, VTA_OP_LV_ROW_GET, nullptr, &row, sizeof row, msg, sizeof msg),
        VTA_ERR_INVALID);
    EXPECT_STREQ(msg, "Internal Error: No object for OP Checkbox");
}

// Each refresh confirms what the cluster reports again, inserts what is new and prunes the rest,
// also what a failing refresh did not reach.
TEST_F(TreeOp, RefreshKeepsWhatIsFoundAgainAndPrunesTheRest) {
    const struct {
        const char *name;
        Names before; // the children a first refresh gave (none: the placeholder)
        Names items;
        int fail_at;
        Names notes; // between the progress messages
        Names after;
    } rows[] = {
        {"later refresh",
         {"a", "b"},
         {"c", "a"},
         -1,
         {"inserted c", "updated a", "removed b"},
         {"a", "c"}},
        {"failing half-way",
         {"a", "b", "c"},
         {"b", "a", "c"},
         1,
         {"updated b", "removed a", "removed c"},
         {"b"}},
        {"failing at once, later", {"a"}, {"a"}, 0, {"removed a"}, {}},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        VTAObj *f = add_node(tree, nullptr, "F", VTA_OBJ_ALL_FS, true, true, fake_op);
        g_kind.fail_at = -1;
        g_kind.items = row.before;
        if (!row.before.empty()) {
            ASSERT_EQ(op(VTA_OP_REFRESH, f), VTA_OK);
        }
        VTAObj *first = f->VTA_Child;
        recorder.clear();
        g_kind.items = row.items;
        g_kind.fail_at = row.fail_at;
        g_kind.fail_code = 113;
        Names notes = row.notes;
        notes.insert(notes.begin(), "message Running: Refresh of 'F' busy");
        notes.push_back(row.fail_at < 0 ? "message Done: Refresh of 'F' idle"
                                        : "message * ERROR *: Refresh of 'F' idle");
        EXPECT_EQ(op(VTA_OP_REFRESH, f), row.fail_at < 0 ? VTA_OK : 113);
        EXPECT_STREQ(msg, row.fail_at < 0
                              ? ""
                              : ("request " + std::to_string(row.fail_at) + " failed").c_str());
        EXPECT_EQ(recorder.notes, notes);
        EXPECT_EQ(child_names(tree, f), row.after);
        if (!row.before.empty() && !row.after.empty() && row.after[0] == row.before[0]) {
            EXPECT_EQ(f->VTA_Child, first) << "confirmed, not rebuilt";
        }
        for (VTAObj *child = f->VTA_Child; child; child = child->VTA_SibRight)
            EXPECT_EQ(child->VTA_Stale, 0) << child->VTA_Name;
        VTAObj_Delete(tree, &f);
    }
    // A kind without children of its own prunes them all; without a callback, no messages.
    VTATree_SetNotify(tree, nullptr);
    recorder.clear();
    VTAObj *plain = add_node(tree, parent, "plain", VTA_OBJ_ALL_DISKS, true, true);
    add_node(tree, plain, "x", VTA_OBJ_VALUE, false, false);
    ASSERT_EQ(op(VTA_OP_REFRESH, plain), VTA_OK);
    EXPECT_EQ(plain->VTA_Child, nullptr);
    EXPECT_TRUE(recorder.notes.empty());
}

TEST_F(TreeOp, SetCurrentRefreshesThenAnnouncesTheNewCurrentNode) {
    VTAObj *root = tree->VTA_Root;
    g_kind.items = {"a"};
    g_kind.fail_at = 0;
    g_kind.fail_code = 1234;
    EXPECT_EQ(VTATree_SetCurrent(tree, parent, msg, sizeof msg), 1234);
    EXPECT_STREQ(msg, "request 0 failed");
    EXPECT_EQ(VTATree_GetCurrent(tree), root) << "kept when the refresh fails";
    for (const std::string &note : recorder.notes)
        EXPECT_EQ(note.rfind("current", 0), std::string::npos) << note;

    g_kind.fail_at = -1;
    g_kind.calls.clear();
    ASSERT_EQ(VTATree_SetCurrent(tree, parent, msg, sizeof msg), VTA_OK);
    EXPECT_EQ(VTATree_GetCurrent(tree), parent);
    EXPECT_EQ(g_kind.calls, (std::vector<uint32_t>{VTA_OP_REFRESH}));
    EXPECT_EQ(recorder.notes.back(), "current Parent");
    EXPECT_EQ(child_names(tree, parent), (Names{"a"}));

    recorder.clear(); // the current node again: not refreshed
    EXPECT_EQ(VTATree_SetCurrent(tree, parent, msg, sizeof msg), VTA_OK);
    EXPECT_EQ(g_kind.calls.size(), 1u);
    EXPECT_TRUE(recorder.notes.empty());
    EXPECT_EQ(VTATree_SetCurrent(nullptr, parent, msg, sizeof msg), VTA_ERR_INVALID);
}

} // namespace
