// Menus and commands: the menu, tool-bar and context-menu items with their texts and keys, and
// a walk of every command over one node of every kind in both panes. Each node answers the
// allow-menu questions with its kind's own operation function; everything else it records
// instead of reaching a cluster, and dialogs are recorded instead of shown.
#include "kxntadmin/tests/support_shell.h"

#include "kxntadmin/commands.h"
#include "kxntadmin/dialog_runner.h"
#include "kxntadmin/dlg_conn_edit.h"
#include "kxntadmin/dlg_fs_ctrl.h"
#include "kxntadmin/dlg_fsm_debug_edit.h"
#include "kxntadmin/dlg_quota_edit.h"

#include "libutil/fatal.h"
#include "libvtadmin/vorud.h"
#include "libvtadmin/vtadmin_computer.h"
#include "libvtadmin/vtadmin_debug.h"
#include "libvtadmin/vtadmin_fsobjs.h"
#include "libvtadmin/vtadmin_quota_nodes.h"

#include <QMenu>
#include <QMenuBar>
#include <QStatusBar>
#include <QTest>
#include <QToolBar>
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace {

// What the commands reached: "op <code> <node>" for tree operations, a dialog's description.
Lines reached;

VTAObj_OpFunc KindOpFunc(uint32_t kind) {
    static const std::map<uint32_t, VTAObj_OpFunc> functions = {
        {VTA_OBJ_ALL, VTAObj_RootOpFunc},
        {VTA_OBJ_VALUE, VTAObj_ValueOpFunc},
        {VTA_OBJ_DEBUG_FLAG, VTAObj_CheckboxOpFunc},
        {VTA_OBJ_COMPUTER, VTAObj_ComputerOpFunc},
        {VTA_OBJ_ALL_FS, VTAObj_AllFsOpFunc},
        {VTA_OBJ_FS_ACTIVE, VTAObj_FsOpFunc},
        {VTA_OBJ_FS_DOWN, VTAObj_FsOpFunc},
        {VTA_OBJ_ALL_DISKS, VTAObj_AllDisksOpFunc},
        {VTA_OBJ_ALL_QUOTAS, VTAObj_AllQuotasOpFunc},
        {VTA_OBJ_QUOTAS_UG, VTAObj_QuotasUGOpFunc},
        {VTA_OBJ_QUOTA_USER, VTAObj_QuotaOpFunc},
        {VTA_OBJ_DEBUG, VTAObj_DebugOpFunc}};
    return functions.at(kind);
}

// Allow-menu questions go to the kind's own function (a debug flag's to its folder, a value's
// is refused with 48); rows and refreshes are the test folder's; the rest is recorded.
int32_t WalkOpFunc(VTATree *tree, uint32_t op, VTAObj *node, void *data, size_t data_size,
                   char *msg, size_t msg_size) {
    switch (op) {
    case VTA_OP_ALLOW_MENU:
        return KindOpFunc(node->VTA_Type)(tree, op, node, data, data_size, msg, msg_size);
    case VTA_OP_LV_ROW_GET:
    case VTA_OP_LV_ROW_GETBYNBR:
    case VTA_OP_REDISPLAY:
        return TestFolderOpFunc(tree, op, node, data, data_size, msg, msg_size);
    case VTA_OP_REFRESH:
        TestFolderOpFunc(tree, op, node, data, data_size, msg, msg_size);
        [[fallthrough]];
    default:
        reached.push_back("op " + std::to_string(op) + " " + node->VTA_Name);
        return VTA_OK;
    }
}

std::string DescribeDialog(QDialog &dialog) {
    if (qobject_cast<CDlgConnEdit *>(&dialog) != nullptr)
        return "New Connection";
    if (auto *control = qobject_cast<CDlgFsCtrl *>(&dialog)) {
        const VTA_FS_CONTROL &r = control->Record();
        return "File System Control " + std::to_string(r.VTA_Action) + " host=" + r.VTA_Host +
               " fs=" + r.VTA_FsName + " on " + r.VTA_Node->VTA_Name;
    }
    if (auto *quota = qobject_cast<CDlgQuotaEdit *>(&dialog))
        return quota->EditMode() ? std::string("quota editor on ") + quota->Record().VTA_Quota.name
                                 : "quota editor, new";
    if (auto *debug = qobject_cast<CDlgFsmDebugEdit *>(&dialog))
        return std::string("debug flags of ") + debug->Folder()->VTA_Parent->VTA_Name;
    return dialog.windowTitle().toStdString();
}

// A computer with a node of every kind below it, as the console shows them.
class CommandWalk : public ::testing::Test {
protected:
    void SetUp() override {
        reached.clear();
        KxSetDialogRunner([](QDialog &dialog) {
            reached.push_back(DescribeDialog(dialog));
            return int(QDialog::Rejected);
        });
        w_.root()->VTA_OpFunc = WalkOpFunc;
        VTAObj *alpha = add("alpha", VTA_OBJ_COMPUTER, w_.root());
        add("Size", VTA_OBJ_VALUE, add("Disks", VTA_OBJ_ALL_DISKS, alpha));
        VTAObj *file_systems = add("File Systems", VTA_OBJ_ALL_FS, alpha);
        add("spare", VTA_OBJ_FS_DOWN, file_systems);
        VTAObj *fs = add("snfs1", VTA_OBJ_FS_ACTIVE, file_systems);
        add("General Information", VTA_OBJ_DEBUG_FLAG, add("Debug", VTA_OBJ_DEBUG, fs));
        VTAObj *quotas = add("Quotas", VTA_OBJ_ALL_QUOTAS, fs);
        add("alice", VTA_OBJ_QUOTA_USER, add("Users & Groups", VTA_OBJ_QUOTAS_UG, quotas));
        // Every file system's manager was found at 127.0.0.1; the quota carries its name.
        for (const char *name : {"spare", "snfs1"}) {
            VTA_FSM_ENTRY entry{};
            const uint8_t address[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 127, 0, 0, 1};
            std::memcpy(entry.address.bytes, address, sizeof address);
            VTAObj_SetData(nodes_.at(name), &entry, sizeof entry);
        }
        VTA_QUOTA_EDIT record{};
        bounded_format(record.VTA_Quota.name, sizeof record.VTA_Quota.name, "alice");
        record.VTA_Quota.type = 1;
        VTAObj_SetData(nodes_.at("alice"), &record, sizeof record);
    }
    void TearDown() override { KxSetDialogRunner(nullptr); }

    VTAObj *add(const char *name, uint32_t kind, VTAObj *parent) {
        const bool folder =
            kind != VTA_OBJ_VALUE && kind != VTA_OBJ_DEBUG_FLAG && kind != VTA_OBJ_QUOTA_USER;
        VTAObj *node = add_test_node(w_.tree(), parent, name, kind, folder, WalkOpFunc);
        nodes_[name] = node;
        return node;
    }

    // Puts the node in the pane as a user would: in the tree its item is selected; in the list
    // its parent is current and its row selected (no row for the parent itself).
    void show_in(KxPane pane, const std::string &name, bool select_row = true) {
        VTAObj *node = name == "Connections" ? w_.root() : nodes_.at(name);
        char msg[256] = "";
        CKxAdminTreeView *tree_view = w_.child->TreeView();
        CKxAdminListView *list_view = w_.child->ListView();
        if (pane == KxPane::Tree) {
            tree_view->setCurrentItem(CKxAdminTreeView::NodeItem(node));
            ASSERT_EQ(tree_view->SelectedNode(), node) << name;
        } else {
            VTAObj *shown = select_row ? node->VTA_Parent : node;
            ASSERT_EQ(VTATree_SetCurrent(w_.tree(), shown, msg, sizeof msg), VTA_OK) << msg;
            ASSERT_EQ(list_view->ListDir(), shown);
            list_view->clearSelection();
            if (select_row) {
                const int row = list_view->Model()->RowOf(node);
                ASSERT_GE(row, 0) << name;
                list_view->selectionModel()->select(list_view->Model()->index(row, 0),
                                                    QItemSelectionModel::ClearAndSelect |
                                                        QItemSelectionModel::Rows);
            }
        }
        w_.child->SetActivePane(pane);
        w_.frame->UpdateCommandUI();
        reached.clear();
    }

    ShellWindow w_;
    std::map<std::string, VTAObj *> nodes_;
};

// The command ids of the Actions menu and the View menu's Refresh that the frame enables.
std::map<int, bool> menu_states(CKxAdminFrm *frame) {
    std::map<int, bool> states;
    for (const KxCommand &command : KxCommands())
        states[command.menu_id] = frame->Action(command.menu_id)->isEnabled();
    return states;
}

struct WalkRow {
    const char *panes; // "T" the tree, "L" the list, "TL" both
    const char *node;
    // Every command enabled there as "<tip>: <what it reaches>"; the others are greyed.
    Lines enabled;
};

const char *const kRefresh = "Refresh: op 4 Connections"; // always from the top

// One row per kind of answer: the folders that only refresh stand for every such kind.
const WalkRow kWalk[] = {
    {"T", "Connections", {"New: New Connection", "Save: op 7 Connections", kRefresh}},
    {"T", "alpha", {"Close: op 8 alpha", kRefresh}},
    {"L", "alpha", {"New: New Connection", "Close: op 8 alpha", kRefresh}},
    {"TL", "Disks", {kRefresh}},
    {"L", "Size", {}}, // a value answers nothing
    {"TL",
     "File Systems",
     {"Start: File System Control 1 host=alpha fs= on File Systems", kRefresh}},
    {"TL",
     "snfs1",
     {"Failover: File System Control 4 host=127.0.0.1 fs=snfs1 on snfs1",
      "Stop: File System Control 2 host=127.0.0.1 fs=snfs1 on snfs1",
      "Activate: File System Control 5 host=127.0.0.1 fs=snfs1 on snfs1", kRefresh}},
    {"TL", "spare", {"Start: File System Control 1 host=127.0.0.1 fs=spare on spare", kRefresh}},
    {"TL", "Debug", {kRefresh, "Properties: debug flags of snfs1"}},
    {"L", "General Information", {kRefresh, "Properties: debug flags of snfs1"}},
    {"TL", "Quotas", {kRefresh}},
    // New is the current node's: "Quotas" itself creates nothing, so it is greyed on the rows.
    {"T", "Users & Groups", {"New: quota editor, new", kRefresh}},
    {"L", "Users & Groups", {kRefresh}},
    {"L",
     "alice",
     {"New: quota editor, new", "Delete: op 9 alice", kRefresh,
      "Properties: quota editor on alice"}},
};

TEST_F(CommandWalk, EveryCommandIsEnabledByItsNodesAnswerAndReachesItsOperation) {
    MessageRecorder messages;
    for (const WalkRow &row : kWalk) {
        for (KxPane pane : {KxPane::Tree, KxPane::List}) {
            if (std::strchr(row.panes, pane == KxPane::Tree ? 'T' : 'L') == nullptr)
                continue;
            for (bool context : {false, true}) {
                const std::string where = std::string(pane == KxPane::Tree ? "tree " : "list ") +
                                          (context ? "context " : "menu ") + row.node;
                show_in(pane, row.node);
                std::map<int, bool> states;
                std::unique_ptr<QMenu> menu;
                if (context) {
                    // A right click: the tree's context node is the clicked item's node.
                    w_.doc->context_node =
                        pane == KxPane::Tree ? w_.child->TreeView()->SelectedNode() : nullptr;
                    menu.reset(w_.child->Commands().ContextMenu(pane, nullptr));
                    for (QAction *action : menu->actions())
                        if (const KxCommand *command = KxFindCommand(action->data().toInt()))
                            states[command->menu_id] = action->isEnabled();
                } else {
                    states = menu_states(w_.frame);
                }
                Lines reached_by_enabled;
                for (const KxCommand &command : KxCommands()) {
                    if (!states[command.menu_id])
                        continue;
                    show_in(pane, row.node);
                    if (context) {
                        w_.doc->context_node =
                            pane == KxPane::Tree ? w_.child->TreeView()->SelectedNode() : nullptr;
                        w_.child->Commands().Run(pane, command.context_id());
                    } else {
                        w_.frame->Action(command.menu_id)->trigger();
                    }
                    reached_by_enabled.push_back(std::string(command.tip) + ": " +
                                                 (reached.empty() ? "nothing" : reached.front()));
                }
                EXPECT_EQ(reached_by_enabled, row.enabled) << where;
            }
        }
    }
    EXPECT_TRUE(messages.messages().empty());
}

TEST_F(CommandWalk, WithNoRowSelectedTheListActsOnTheCurrentNode) {
    MessageRecorder messages;
    // Start on "File Systems" opens File System Control with the computer as host.
    show_in(KxPane::List, "File Systems", false);
    EXPECT_TRUE(w_.frame->Action(ID_ACTION_START)->isEnabled());
    w_.frame->Action(ID_ACTION_START)->trigger();
    EXPECT_EQ(reached, Lines{"File System Control 1 host=alpha fs= on File Systems"});
    // On a computer Start does nothing.
    show_in(KxPane::List, "alpha", false);
    EXPECT_FALSE(w_.frame->Action(ID_ACTION_START)->isEnabled());
    w_.child->Commands().Run(KxPane::List, ID_ACTION_START);
    EXPECT_TRUE(reached.empty());
    // Close, Delete and Properties act on selected rows only.
    show_in(KxPane::List, "Users & Groups", false);
    EXPECT_TRUE(w_.frame->Action(ID_ACTION_NEW)->isEnabled());
    for (int id : {ID_ACTION_CLOSE, ID_ACTION_DELETE, ID_ACTION_PROPERTIES})
        EXPECT_FALSE(w_.frame->Action(id)->isEnabled()) << id;
    w_.child->Commands().Run(KxPane::List, ID_ACTION_DELETE);
    EXPECT_TRUE(reached.empty());
    EXPECT_EQ(messages.boxes(), Lines{"Veltrane|Please select object to delete|information"});
    // Delete in the tree does nothing.
    messages.clear();
    show_in(KxPane::Tree, "Users & Groups");
    w_.child->Commands().Run(KxPane::Tree, ID_ACTION_DELETE);
    EXPECT_TRUE(reached.empty());
    EXPECT_TRUE(messages.messages().empty());
}

TEST_F(CommandWalk, ADoubleClickOnAQuotaRowOpensTheQuotaEditorOnIt) {
    show_in(KxPane::List, "alice");
    CKxAdminListView *list = w_.child->ListView();
    const QRect cell =
        list->visualRect(list->Model()->index(list->Model()->RowOf(nodes_.at("alice")), 0));
    ASSERT_TRUE(cell.isValid());
    // A real double click: press and release, then the double-click event.
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, cell.center());
    QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, cell.center());
    EXPECT_EQ(reached, Lines{"quota editor on alice"});
}

TEST_F(CommandWalk, TheContextMenuOfTheTreeActsOnTheClickedItemNotTheSelectedOne) {
    show_in(KxPane::Tree, "alpha");
    w_.doc->context_node = nodes_.at("snfs1");
    std::unique_ptr<QMenu> menu(w_.child->Commands().ContextMenu(KxPane::Tree, nullptr));
    QAction *failover = nullptr;
    for (QAction *action : menu->actions())
        if (action->data().toInt() == ID_ACTION_FAILOVER + 1)
            failover = action;
    ASSERT_NE(failover, nullptr);
    EXPECT_TRUE(failover->isEnabled());
    w_.child->Commands().Run(KxPane::Tree, failover->data().toInt());
    EXPECT_EQ(reached, Lines{"File System Control 4 host=127.0.0.1 fs=snfs1 on snfs1"});
}

TEST_F(CommandWalk, F6MovesTheFocusToTheOtherPane) {
    w_.child->SetActivePane(KxPane::Tree);
    w_.frame->Action(ID_NEXT_PANE)->trigger();
    EXPECT_EQ(w_.child->ActivePane(), KxPane::List);
    w_.frame->Action(ID_PREV_PANE)->trigger();
    EXPECT_EQ(w_.child->ActivePane(), KxPane::Tree);
    EXPECT_EQ(w_.frame->Action(ID_NEXT_PANE)->shortcut(), QKeySequence(Qt::Key_F6));
    EXPECT_EQ(w_.frame->Action(ID_PREV_PANE)->shortcut(), QKeySequence(Qt::SHIFT | Qt::Key_F6));
}

// ---- Menus ----

// Item texts of a menu, separators as "-".
QStringList item_texts(const QMenu *menu) {
    QStringList texts;
    for (QAction *action : menu->actions())
        texts << (action->isSeparator() ? QStringLiteral("-") : action->text());
    return texts;
}

QMenu *menu_named(CKxAdminFrm *frame, const char *title) {
    for (QAction *action : frame->menuBar()->actions())
        if (action->text() == QLatin1String(title))
            return action->menu();
    return nullptr;
}

TEST(Menus, HoldEveryItemWithItsTextKeysPromptAndTip) {
    ShellWindow w;
    QMenu *actions = menu_named(w.frame, "&Actions");
    QMenu *view = menu_named(w.frame, "&View");
    QMenu *help = menu_named(w.frame, "&Help");
    ASSERT_TRUE(actions && view && help);
    EXPECT_EQ(item_texts(actions),
              QStringList({"&New\tCtrl+N", "&Open\tCtrl+O", "&Save\tCtrl+S", "&Close\tCtrl+C", "-",
                           "&Delete\tCtrl+D", "-", "Start", "Failover", "Stop", "Activate", "-",
                           "&Properties\tCtrl+P", "-", "Export &List...", "-", "E&xit"}));
    EXPECT_EQ(item_texts(view), QStringList({"&Toolbar", "&Status Bar", "-", "&Refresh\tCtrl+R"}));
    emit help->aboutToShow();
    EXPECT_EQ(item_texts(help),
              QStringList({"Administrator Tool Help", "-", "&About Veltrane Administration"}));

    std::unique_ptr<QMenu> context(w.child->Commands().ContextMenu(KxPane::Tree, nullptr));
    EXPECT_EQ(
        item_texts(context.get()),
        QStringList({"&New", "&Open", "&Save", "&Close", "-", "&Delete", "-", "&Start", "&Failover",
                     "&Stop", "&Activate", "-", "&Refresh", "-", "&Properties"}));
    std::unique_ptr<QMenu> list_context(w.child->Commands().ContextMenu(KxPane::List, nullptr));
    EXPECT_EQ(item_texts(list_context.get()).mid(15), QStringList({"-", "Export &List..."}));

    // Only these keys are bound: the labels name Ctrl+C, Ctrl+D and Ctrl+P as well.
    const std::map<int, QList<QKeySequence>> keys = {
        {ID_ACTION_NEW, {QKeySequence("Ctrl+N")}},
        {ID_ACTION_OPEN, {QKeySequence("Ctrl+O")}},
        {ID_ACTION_SAVE, {QKeySequence("Ctrl+S")}},
        {ID_ACTION_REFRESH, {QKeySequence("Ctrl+R"), QKeySequence(Qt::Key_F5)}},
    };
    const std::map<int, std::pair<const char *, const char *>> prompts = {
        {ID_ACTION_NEW, {"Create new", "New"}},
        {ID_ACTION_OPEN, {"Open existing", "Open"}},
        {ID_ACTION_SAVE, {"Save", "Save"}},
        {ID_ACTION_CLOSE, {"Close", "Close"}},
        {ID_ACTION_DELETE, {"Delete", "Delete"}},
        {ID_ACTION_START, {"Start File System", "Start"}},
        {ID_ACTION_FAILOVER, {"Failover File System", "Failover"}},
        {ID_ACTION_STOP, {"Stop File System", "Stop"}},
        {ID_ACTION_ACTIVATE, {"Start Activation Vote", "Activate"}},
        {ID_ACTION_REFRESH, {"Refresh", "Refresh"}},
        {ID_ACTION_PROPERTIES, {"View Properties", "Properties"}},
    };
    for (const auto &[id, texts] : prompts) {
        QAction *action = w.frame->Action(id);
        ASSERT_NE(action, nullptr) << texts.second;
        EXPECT_EQ(action->statusTip(), texts.first) << texts.second;
        EXPECT_EQ(action->toolTip(), texts.second) << texts.second;
        auto bound = keys.find(id);
        EXPECT_EQ(action->shortcuts(), bound != keys.end() ? bound->second : QList<QKeySequence>{})
            << texts.second;
    }
    for (QAction *action : context->actions()) {
        if (const KxCommand *command = KxFindCommand(action->data().toInt())) {
            EXPECT_EQ(action->statusTip(), prompts.at(command->menu_id).first) << command->tip;
        }
    }
}

TEST(Menus, WithoutADocumentWindowOnlyExitAndAboutRemain) {
    ShellWindow w;
    w.child->close();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    w.frame->UpdateCommandUI();
    for (const KxCommand &command : KxCommands())
        EXPECT_FALSE(w.frame->Action(command.menu_id)->isEnabled()) << command.tip;
    EXPECT_FALSE(w.frame->Action(ID_EXPORT_LIST)->isEnabled());
    EXPECT_TRUE(w.frame->Action(ID_APP_EXIT)->isEnabled());
    QMenu *help = menu_named(w.frame, "&Help");
    emit help->aboutToShow();
    QStringList visible;
    for (QAction *action : help->actions())
        if (action->isVisible() && !action->isSeparator())
            visible << action->text();
    EXPECT_EQ(visible, QStringList({"&About kxntadmin..."}));
}

TEST(Menus, ViewTogglesTheToolBarAndTheStatusBar) {
    ShellWindow w;
    QToolBar *tool_bar = w.frame->findChild<QToolBar *>();
    QAction *toggle_tool_bar = w.frame->Action(ID_VIEW_TOOLBAR);
    QAction *toggle_status_bar = w.frame->Action(ID_VIEW_STATUS_BAR);
    emit menu_named(w.frame, "&View")->aboutToShow();
    EXPECT_TRUE(toggle_tool_bar->isChecked());
    EXPECT_TRUE(toggle_status_bar->isChecked());
    toggle_tool_bar->trigger();
    toggle_status_bar->trigger();
    EXPECT_FALSE(tool_bar->isVisible());
    EXPECT_FALSE(w.frame->statusBar()->isVisible());
    toggle_tool_bar->trigger();
    EXPECT_TRUE(tool_bar->isVisible());
}

} // namespace
