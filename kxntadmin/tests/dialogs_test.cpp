// The dialogs driven through their methods, on trees of test nodes: File System Control's
// record for every choice of its option buttons.
#include "kxntadmin/tests/support_shell.h"

#include "kxntadmin/dlg_fs_ctrl.h"

#include "libutil/fatal.h"
#include "libvtadmin/vorud.h"
#include "libvtadmin/vtadminlib.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

// What a recording file-system node received.
struct ReceivedControl {
    uint32_t op;
    VTA_FS_CONTROL record;
};
std::vector<ReceivedControl> received;
int32_t control_result = VTA_OK;

int32_t RecordingFsOpFunc(VTATree *tree, uint32_t op, VTAObj *node, void *data, size_t data_size,
                          char *msg, size_t msg_size) {
    if (op < VTA_OP_START || op > VTA_OP_ACTIVATE)
        return TestFolderOpFunc(tree, op, node, data, data_size, msg, msg_size);
    EXPECT_EQ(data_size, sizeof(VTA_FS_CONTROL));
    received.push_back({op, *static_cast<VTA_FS_CONTROL *>(data)});
    if (control_result != VTA_OK)
        bounded_format(msg, msg_size, "FSM not local");
    return control_result;
}

// A computer "alpha" with its "File Systems" folder and the file system "snfs1", whose manager
// was found at 127.0.0.5.
struct ControlTree {
    ControlTree() {
        computer = add_test_node(w.tree(), w.root(), "alpha", VTA_OBJ_COMPUTER, true);
        folder = add_test_node(w.tree(), computer, "File Systems", VTA_OBJ_ALL_FS, true,
                               RecordingFsOpFunc);
        fs = add_test_node(w.tree(), folder, "snfs1", VTA_OBJ_FS_ACTIVE, true, RecordingFsOpFunc);
        VTA_FSM_ENTRY entry{};
        const uint8_t address[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 127, 0, 0, 5};
        std::memcpy(entry.address.bytes, address, sizeof address);
        VTAObj_SetData(fs, &entry, sizeof entry);
        received.clear();
        control_result = VTA_OK;
    }
    ShellWindow w;
    VTAObj *computer;
    VTAObj *folder;
    VTAObj *fs;
};

std::string text_of(const char *field) {
    return std::string(field, strnlen(field, 256));
}

TEST(FsControlDialog, OpeningOnTheFolderTakesItsComputerAsHostAndLeavesTheNameEmpty) {
    ControlTree t;
    CDlgFsCtrl dialog;
    dialog.SetNode(t.w.tree(), t.folder);
    dialog.SetAction(VTA_FS_START);
    dialog.OnInitDialog();
    EXPECT_EQ(dialog.Field(CDlgFsCtrl::kHost)->currentText(), "alpha");
    EXPECT_EQ(dialog.Field(CDlgFsCtrl::kFsName)->currentText(), "");
    EXPECT_EQ(dialog.windowTitle(), "File System Control");
}

TEST(FsControlDialog, OpeningOnAFileSystemFillsOnlyTheEmptyFields) {
    ControlTree t;
    CDlgFsCtrl fresh;
    fresh.SetNode(t.w.tree(), t.fs);
    fresh.SetAction(VTA_FS_STOP_ON_HOST);
    fresh.OnInitDialog();
    EXPECT_EQ(fresh.Field(CDlgFsCtrl::kHost)->currentText(), "127.0.0.5");
    EXPECT_EQ(fresh.Field(CDlgFsCtrl::kFsName)->currentText(), "snfs1");

    CDlgFsCtrl typed;
    typed.SetNode(t.w.tree(), t.fs);
    typed.SetAction(VTA_FS_STOP_ON_HOST);
    typed.Field(CDlgFsCtrl::kHost)->setEditText("beta");
    typed.OnInitDialog();
    EXPECT_EQ(typed.Field(CDlgFsCtrl::kHost)->currentText(), "beta");
    EXPECT_EQ(text_of(typed.Record().VTA_Host), "beta");
    EXPECT_EQ(typed.Field(CDlgFsCtrl::kFsName)->currentText(), "snfs1");
}

// Marks and enabled states of the option buttons and check boxes, as "M" (marked), "-"
// (unmarked) and "x" (disabled) in the order 1022 1024 1025 1026 1027 1028 1029 1030 1031.
std::string marks(const CDlgFsCtrl &dialog) {
    std::string text;
    for (int id : {CDlgFsCtrl::kStart, CDlgFsCtrl::kStartSingle, CDlgFsCtrl::kWaitStart,
                   CDlgFsCtrl::kStop, CDlgFsCtrl::kStopBoth, CDlgFsCtrl::kStopSingle,
                   CDlgFsCtrl::kWaitStop, CDlgFsCtrl::kFailover, CDlgFsCtrl::kActivate}) {
        QAbstractButton *button = dialog.Button(id);
        text += button->isChecked() ? 'M' : '-';
        text += button->isEnabled() ? ' ' : 'x';
    }
    return text;
}

TEST(FsControlDialog, ShowingEachActionMarksAndEnablesItsControls) {
    ControlTree t;
    const struct {
        uint32_t action;
        const char *marks;
    } rows[] = {
        {VTA_FS_START, "M M M - -x-x-x- - "},    {VTA_FS_STOP_ON_HOST, "- -x-xM - M -x- - "},
        {VTA_FS_STOP, "- -x-xM M - M - - "},     {VTA_FS_FAILOVER, "- -x-x- -x-x-xM - "},
        {VTA_FS_ACTIVATE, "- -x-x- -x-x-x- M "},
    };
    for (const auto &row : rows) {
        CDlgFsCtrl dialog;
        dialog.SetNode(t.w.tree(), t.fs);
        dialog.SetAction(row.action);
        dialog.OnInitDialog();
        EXPECT_EQ(marks(dialog), row.marks) << "action " << row.action;
    }
}

TEST(FsControlDialog, EachChoiceSendsItsOperationActionAndWait) {
    const struct {
        const char *name;
        uint32_t opened_with;
        std::vector<int> clicks; // option buttons picked and check boxes toggled, in order
        uint32_t op, action, wait;
    } rows[] = {
        {"start waiting", VTA_FS_START, {}, VTA_OP_START, VTA_FS_START, CDlgFsCtrl::kWait},
        {"start, wait unticked",
         VTA_FS_START,
         {CDlgFsCtrl::kWaitStart},
         VTA_OP_START,
         VTA_FS_START,
         0},
        // Picking the sub-option clears "Start File System": still a start, without a wait.
        {"start a single manager",
         VTA_FS_START,
         {CDlgFsCtrl::kStartSingle},
         VTA_OP_START,
         VTA_FS_START,
         0},
        {"stop on the host", VTA_FS_STOP_ON_HOST, {}, VTA_OP_STOP, VTA_FS_STOP_ON_HOST, 0},
        {"stop both waiting",
         VTA_FS_STOP_ON_HOST,
         {CDlgFsCtrl::kStopBoth},
         VTA_OP_STOP,
         VTA_FS_STOP,
         CDlgFsCtrl::kWait},
        {"stop both, wait unticked",
         VTA_FS_STOP_ON_HOST,
         {CDlgFsCtrl::kStopBoth, CDlgFsCtrl::kWaitStop},
         VTA_OP_STOP,
         VTA_FS_STOP,
         0},
        // The wait box is disabled and unmarked again once a single manager is picked.
        {"stop single after both",
         VTA_FS_STOP_ON_HOST,
         {CDlgFsCtrl::kStopBoth, CDlgFsCtrl::kStopSingle, CDlgFsCtrl::kWaitStop},
         VTA_OP_STOP,
         VTA_FS_STOP_ON_HOST,
         0},
        {"stop picked after start",
         VTA_FS_START,
         {CDlgFsCtrl::kStop},
         VTA_OP_STOP,
         VTA_FS_STOP_ON_HOST,
         0},
        {"fail-over", VTA_FS_FAILOVER, {}, VTA_OP_FAILOVER, VTA_FS_FAILOVER, 0},
        {"fail-over picked after stop",
         VTA_FS_STOP_ON_HOST,
         {CDlgFsCtrl::kFailover},
         VTA_OP_FAILOVER,
         VTA_FS_FAILOVER,
         0},
        {"activation vote", VTA_FS_ACTIVATE, {}, VTA_OP_ACTIVATE, VTA_FS_ACTIVATE, 0},
        {"start picked after activation",
         VTA_FS_ACTIVATE,
         {CDlgFsCtrl::kStart},
         VTA_OP_START,
         VTA_FS_START,
         CDlgFsCtrl::kWait},
    };
    for (const auto &row : rows) {
        ControlTree t;
        MessageRecorder messages;
        CDlgFsCtrl dialog;
        dialog.SetNode(t.w.tree(), t.fs);
        dialog.SetAction(row.opened_with);
        dialog.OnInitDialog();
        for (int id : row.clicks)
            dialog.Button(id)->click();
        dialog.OnOK();
        EXPECT_TRUE(messages.messages().empty()) << row.name;
        EXPECT_EQ(dialog.result(), QDialog::Accepted) << row.name;
        ASSERT_EQ(received.size(), 1u) << row.name;
        const ReceivedControl &got = received[0];
        EXPECT_EQ(got.op, row.op) << row.name;
        EXPECT_EQ(got.record.VTA_Action, row.action) << row.name;
        EXPECT_EQ(got.record.VTA_Wait, row.wait) << row.name;
        EXPECT_EQ(text_of(got.record.VTA_FsName), "snfs1") << row.name;
        EXPECT_EQ(text_of(got.record.VTA_Host), "127.0.0.5") << row.name;
        EXPECT_EQ(got.record.VTA_Node, t.fs) << row.name;
        EXPECT_EQ(got.record.VTA_Tree, t.w.tree()) << row.name;
    }
}

TEST(FsControlDialog, AFailedRequestStaysOpenWithItsMessageAndCanBeSentAgain) {
    ControlTree t;
    MessageRecorder messages;
    CDlgFsCtrl dialog;
    dialog.SetNode(t.w.tree(), t.fs);
    dialog.SetAction(VTA_FS_START);
    dialog.OnInitDialog();
    dialog.Field(CDlgFsCtrl::kHost)->setEditText("beta");
    control_result = VTA_ENOTLOCAL;
    dialog.OnOK();
    ASSERT_EQ(messages.messages().size(), 1u);
    EXPECT_EQ(messages.messages()[0].title, "Error");
    EXPECT_EQ(messages.messages()[0].text, "FSM not local");
    EXPECT_EQ(messages.messages()[0].icon, QMessageBox::Information);
    EXPECT_TRUE(messages.messages()[0].on_top);
    EXPECT_NE(dialog.result(), QDialog::Accepted);
    EXPECT_TRUE(dialog.isEnabled());
    EXPECT_EQ(dialog.Field(CDlgFsCtrl::kHost)->currentText(), "beta") << "the entries stay";

    control_result = VTA_OK;
    dialog.Field(CDlgFsCtrl::kHost)->setEditText("alpha");
    dialog.OnOK();
    ASSERT_EQ(received.size(), 2u);
    EXPECT_EQ(text_of(received[1].record.VTA_Host), "alpha") << "each try reads the fields again";
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
}

TEST(FsControlDialog, AnUnknownActionIsRefusedWithoutARequest) {
    ControlTree t;
    MessageRecorder messages;
    CDlgFsCtrl dialog;
    dialog.SetNode(t.w.tree(), t.fs);
    dialog.SetAction(7);
    dialog.OnInitDialog();
    dialog.OnOK();
    ASSERT_EQ(messages.messages().size(), 1u);
    EXPECT_EQ(messages.messages()[0].title, "FS Control Dialog");
    EXPECT_EQ(messages.messages()[0].text, "Internal Error: Invalid operation");
    EXPECT_TRUE(received.empty());
}

// A request whose refresh removes the file system (as a stop does) leaves the dialog on the
// folder above it, so that a second try does not reach a freed node.
int32_t RemovingFsOpFunc(VTATree *tree, uint32_t op, VTAObj *node, void *data, size_t data_size,
                         char *msg, size_t msg_size) {
    if (op != VTA_OP_STOP)
        return RecordingFsOpFunc(tree, op, node, data, data_size, msg, msg_size);
    VTAObj *gone = node;
    VTAObj_Delete(tree, &gone);
    bounded_format(msg, msg_size, "Stopped, but the wait failed");
    return 8;
}

TEST(FsControlDialog, ARetryAfterTheFileSystemLeftTheTreeGoesToItsFolder) {
    ControlTree t;
    MessageRecorder messages;
    t.fs->VTA_OpFunc = RemovingFsOpFunc;
    CDlgFsCtrl dialog;
    dialog.SetNode(t.w.tree(), t.fs);
    dialog.SetAction(VTA_FS_STOP_ON_HOST);
    dialog.OnInitDialog();
    dialog.OnOK();
    ASSERT_EQ(messages.messages().size(), 1u);
    EXPECT_EQ(dialog.Node(), t.folder);
    dialog.OnOK();
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0].op, VTA_OP_STOP);
    EXPECT_EQ(received[0].record.VTA_Node, t.folder);
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
}

} // namespace
