// The dialogs driven through their methods, on trees of test nodes: File System Control's
// record for every choice of its option buttons.
#include "kxntadmin/tests/support_shell.h"

#include "kxntadmin/dlg_fs_ctrl.h"
#include "kxntadmin/dlg_fsm_debug_edit.h"
#include "kxntadmin/dlg_quota_edit.h"

#include "libutil/fatal.h"
#include "libvtadmin/vorud.h"
#include "libvtadmin/vtadminlib.h"

#include <gtest/gtest.h>

#include <algorithm>
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

// ---- Quota editor ----

namespace {

struct ReceivedQuota {
    uint32_t op;
    const VTAObj *node;
    VTA_QUOTA_EDIT record;
};
std::vector<ReceivedQuota> quota_requests;
int32_t quota_result = VTA_OK;

int32_t RecordingQuotaOpFunc(VTATree *tree, uint32_t op, VTAObj *node, void *data, size_t data_size,
                             char *msg, size_t msg_size) {
    if (op != VTA_OP_CREATE && op != VTA_OP_SAVE)
        return TestFolderOpFunc(tree, op, node, data, data_size, msg, msg_size);
    EXPECT_EQ(data_size, sizeof(VTA_QUOTA_EDIT));
    VTA_QUOTA_EDIT record{};
    // A save finds the edited record in the node, as the quota nodes read it.
    if (op == VTA_OP_SAVE)
        VTAObj_GetData(node, &record, sizeof record);
    else
        record = *static_cast<VTA_QUOTA_EDIT *>(data);
    quota_requests.push_back({op, node, record});
    if (quota_result != VTA_OK)
        bounded_format(msg, msg_size, "FSM returned 'Not Found'. Verify user 'nobody' exists");
    return quota_result;
}

// snfs1 (active) with "Quotas", its two sub-folders and alice's user quota.
struct QuotaTree {
    QuotaTree() {
        VTAObj *computer = add_test_node(w.tree(), w.root(), "alpha", VTA_OBJ_COMPUTER, true);
        VTAObj *folder = add_test_node(w.tree(), computer, "File Systems", VTA_OBJ_ALL_FS, true);
        fs = add_test_node(w.tree(), folder, "snfs1", VTA_OBJ_FS_ACTIVE, true);
        quotas = add_test_node(w.tree(), fs, "Quotas", VTA_OBJ_ALL_QUOTAS, true);
        users = add_test_node(w.tree(), quotas, "Users & Groups", VTA_OBJ_QUOTAS_UG, true,
                              RecordingQuotaOpFunc);
        directories = add_test_node(w.tree(), quotas, "Directories", VTA_OBJ_QUOTAS_DIR, true,
                                    RecordingQuotaOpFunc);
        alice = add_test_node(w.tree(), users, "alice", VTA_OBJ_QUOTA_USER, false,
                              RecordingQuotaOpFunc);
        VTA_QUOTA_EDIT record{};
        bounded_format(record.VTA_Quota.name, sizeof record.VTA_Quota.name, "alice");
        record.VTA_Quota.type = VTA_QUOTA_USER;
        record.VTA_Quota.used = 1000;
        record.VTA_Quota.hard = 10737418240;
        record.VTA_Quota.soft = 5368709120;
        record.VTA_Quota.grace = 10080 + 61;
        VTAObj_SetData(alice, &record, sizeof record);
        quota_requests.clear();
        quota_result = VTA_OK;
    }
    void make_current(VTAObj *node) {
        char msg[256] = "";
        ASSERT_EQ(VTATree_SetCurrent(w.tree(), node, msg, sizeof msg), VTA_OK) << msg;
    }
    ShellWindow w;
    VTAObj *fs, *quotas, *users, *directories, *alice;
};

QString text(const CDlgQuotaEdit &dialog, int id) {
    return dialog.Field(id)->text();
}

// "U" user, "G" group, "D" data, "F" files: the marked option button.
std::string marked_type(const CDlgQuotaEdit &dialog) {
    std::string marked;
    for (const auto &[id, letter] :
         {std::pair{CDlgQuotaEdit::kUser, 'U'}, std::pair{CDlgQuotaEdit::kGroup, 'G'},
          std::pair{CDlgQuotaEdit::kData, 'D'}, std::pair{CDlgQuotaEdit::kFiles, 'F'}})
        if (dialog.Button(id)->isChecked())
            marked += letter;
    return marked;
}

TEST(QuotaEditor, ANewQuotaOnDirectoriesStartsWithDataLimitAndTheDefaults) {
    QuotaTree t;
    t.make_current(t.directories);
    CDlgQuotaEdit dialog;
    ASSERT_TRUE(dialog.OnInitDialog(t.w.tree(), nullptr));
    EXPECT_EQ(dialog.windowTitle(), "User/Group Quota");
    EXPECT_EQ(marked_type(dialog), "D");
    EXPECT_TRUE(dialog.Field(CDlgQuotaEdit::kDirectory)->isEnabled());
    EXPECT_EQ(text(dialog, CDlgQuotaEdit::kDirectory), "");
    EXPECT_FALSE(dialog.Field(CDlgQuotaEdit::kUserName)->isEnabled());
    EXPECT_FALSE(dialog.Field(CDlgQuotaEdit::kGroupName)->isEnabled());
    EXPECT_EQ(text(dialog, CDlgQuotaEdit::kHard), "1G");
    EXPECT_EQ(text(dialog, CDlgQuotaEdit::kSoft), "900M");
    EXPECT_EQ(text(dialog, CDlgQuotaEdit::kDays), "30");
    EXPECT_EQ(text(dialog, CDlgQuotaEdit::kHours), "0");
    EXPECT_EQ(text(dialog, CDlgQuotaEdit::kMinutes), "0");
    EXPECT_EQ(dialog.EditMode(), 0u);

    // Both directory types use the one field, which keeps what was typed.
    dialog.Field(CDlgQuotaEdit::kDirectory)->setText("/mnt/snfs1/projects");
    dialog.Button(CDlgQuotaEdit::kFiles)->click();
    EXPECT_EQ(marked_type(dialog), "F");
    EXPECT_TRUE(dialog.Field(CDlgQuotaEdit::kDirectory)->isEnabled());
    EXPECT_EQ(text(dialog, CDlgQuotaEdit::kDirectory), "/mnt/snfs1/projects");
    dialog.Button(CDlgQuotaEdit::kGroup)->click();
    EXPECT_EQ(marked_type(dialog), "G");
    EXPECT_FALSE(dialog.Field(CDlgQuotaEdit::kDirectory)->isEnabled());
    EXPECT_TRUE(dialog.Field(CDlgQuotaEdit::kGroupName)->isEnabled());
}

TEST(QuotaEditor, ANewQuotaElsewhereBelowAFileSystemStartsAsAUserQuota) {
    QuotaTree t;
    for (VTAObj *current : {t.fs, t.quotas, t.users}) {
        t.make_current(current);
        CDlgQuotaEdit dialog;
        ASSERT_TRUE(dialog.OnInitDialog(t.w.tree(), nullptr)) << current->VTA_Name;
        EXPECT_EQ(marked_type(dialog), "U") << current->VTA_Name;
        EXPECT_TRUE(dialog.Field(CDlgQuotaEdit::kUserName)->isEnabled());
        EXPECT_FALSE(dialog.Field(CDlgQuotaEdit::kDirectory)->isEnabled());
    }
}

TEST(QuotaEditor, DoesNotOpenOutsideAnActiveFileSystemOrWithoutATree) {
    QuotaTree t;
    MessageRecorder messages;
    t.make_current(t.fs->VTA_Parent);
    CDlgQuotaEdit dialog;
    EXPECT_FALSE(dialog.OnInitDialog(t.w.tree(), nullptr));
    EXPECT_EQ(CDlgQuotaEdit::Edit(nullptr, nullptr, nullptr), QDialog::Rejected);
    ASSERT_EQ(messages.messages().size(), 2u);
    EXPECT_EQ(messages.messages()[0].title, "Veltrane Quota Editor");
    EXPECT_EQ(messages.messages()[0].text, "Please select a File System (or sub-directory)");
    EXPECT_EQ(messages.messages()[0].icon, QMessageBox::Question);
    EXPECT_EQ(messages.messages()[1].title, "Error");
    EXPECT_EQ(messages.messages()[1].text, "Internal Error: Quota Edit: Null tree");
    EXPECT_EQ(messages.messages()[1].icon, QMessageBox::Critical);
}

TEST(QuotaEditor, RefusesEachBadEntryInOrderWithItsTextAndFocus) {
    const struct {
        const char *name;
        int type_button;
        std::vector<std::pair<int, const char *>> fields;
        const char *message;
        int focus;
    } rows[] = {
        {"no user name",
         CDlgQuotaEdit::kUser,
         {},
         "Please enter a User Name",
         CDlgQuotaEdit::kUserName},
        {"user name of 256",
         CDlgQuotaEdit::kUser,
         {{CDlgQuotaEdit::kUserName, nullptr}},
         "User Name is too long",
         CDlgQuotaEdit::kUserName},
        {"no group name",
         CDlgQuotaEdit::kGroup,
         {},
         "Please enter a Group Name",
         CDlgQuotaEdit::kGroupName},
        {"no directory",
         CDlgQuotaEdit::kFiles,
         {},
         "Please specify a directory",
         CDlgQuotaEdit::kDirectory},
        {"12x",
         CDlgQuotaEdit::kUser,
         {{CDlgQuotaEdit::kUserName, "bob"}, {CDlgQuotaEdit::kHard, "12x"}},
         "Hard Limit is not a valid number",
         CDlgQuotaEdit::kHard},
        {"negative hard",
         CDlgQuotaEdit::kUser,
         {{CDlgQuotaEdit::kUserName, "bob"}, {CDlgQuotaEdit::kHard, "-1"}},
         "Hard Limit is not a valid number",
         CDlgQuotaEdit::kHard},
        // The soft limit is checked after the hard limit, with its own name.
        {"bad soft",
         CDlgQuotaEdit::kUser,
         {{CDlgQuotaEdit::kUserName, "bob"}, {CDlgQuotaEdit::kSoft, "lots"}},
         "Soft Limit is not a valid number",
         CDlgQuotaEdit::kSoft},
        {"empty days",
         CDlgQuotaEdit::kUser,
         {{CDlgQuotaEdit::kUserName, "bob"}, {CDlgQuotaEdit::kDays, ""}},
         "'Days' field is not a valid number",
         CDlgQuotaEdit::kDays},
        {"empty hours",
         CDlgQuotaEdit::kUser,
         {{CDlgQuotaEdit::kUserName, "bob"}, {CDlgQuotaEdit::kHours, ""}},
         "'Hours' field is not a valid number",
         CDlgQuotaEdit::kHours},
        {"empty minutes",
         CDlgQuotaEdit::kUser,
         {{CDlgQuotaEdit::kUserName, "bob"}, {CDlgQuotaEdit::kMinutes, ""}},
         "'Minutes' field is not a valid number",
         CDlgQuotaEdit::kMinutes},
        {"first refused time",
         CDlgQuotaEdit::kUser,
         {{CDlgQuotaEdit::kUserName, "bob"},
          {CDlgQuotaEdit::kDays, "2982616"},
          {CDlgQuotaEdit::kHours, "4"},
          {CDlgQuotaEdit::kMinutes, "16"}},
         "Time value is too large",
         CDlgQuotaEdit::kDays},
        // Would wrap to 0 minutes in 64 bits.
        {"days of 2^64 / 1440",
         CDlgQuotaEdit::kUser,
         {{CDlgQuotaEdit::kUserName, "bob"}, {CDlgQuotaEdit::kDays, "12810238597202240"}},
         "Time value is too large",
         CDlgQuotaEdit::kDays},
    };
    const std::string long_name(256, 'n');
    for (const auto &row : rows) {
        QuotaTree t;
        t.make_current(t.users);
        MessageRecorder messages;
        CDlgQuotaEdit dialog;
        ASSERT_TRUE(dialog.OnInitDialog(t.w.tree(), nullptr));
        dialog.Button(row.type_button)->click();
        for (const auto &[id, value] : row.fields)
            dialog.Field(id)->setText(value != nullptr ? value : long_name.c_str());
        dialog.OnOK();
        ASSERT_EQ(messages.messages().size(), 1u) << row.name;
        EXPECT_EQ(messages.messages()[0].text.toStdString(), row.message) << row.name;
        EXPECT_EQ(messages.messages()[0].title, "Quota Editor") << row.name;
        EXPECT_EQ(messages.messages()[0].icon, QMessageBox::Information) << row.name;
        EXPECT_EQ(dialog.FocusedControl(), row.focus) << row.name;
        EXPECT_TRUE(quota_requests.empty()) << row.name << ": nothing is sent";
        EXPECT_NE(dialog.result(), QDialog::Accepted) << row.name;
    }
}

TEST(QuotaEditor, ANewQuotaIsCreatedOnTheSubFolderOfItsType) {
    const struct {
        const char *name;
        int type_button;
        int name_field;
        const char *typed;
        const char *hard;
        const char *soft;
        const char *days;
        const char *hours;
        const char *minutes;
        uint32_t type;
        uint64_t want_hard, want_soft;
        uint32_t want_grace;
    } rows[] = {
        {"user, 10G", CDlgQuotaEdit::kUser, CDlgQuotaEdit::kUserName, "bob", "10G", "900M", "30",
         "0", "0", VTA_QUOTA_USER, 10737418240u, 943718400u, 43200},
        {"group, 1,024", CDlgQuotaEdit::kGroup, CDlgQuotaEdit::kGroupName, "devel", "1,024",
         "0x1FF", "0", "1", "30", VTA_QUOTA_GROUP, 1024, 0x1FF, 90},
        {"largest time", CDlgQuotaEdit::kUser, CDlgQuotaEdit::kUserName, "carol", "1G", "900M",
         "2982616", "4", "15", VTA_QUOTA_USER, 1073741824u, 943718400u, 4294967295u},
        {"data", CDlgQuotaEdit::kData, CDlgQuotaEdit::kDirectory, "/mnt/snfs1/tmp", "2G", "1G", "1",
         "0", "0", VTA_QUOTA_DIR_SPACE, 2147483648u, 1073741824u, 1440},
        {"files", CDlgQuotaEdit::kFiles, CDlgQuotaEdit::kDirectory, "tmp", "1000", "900", "0", "0",
         "0", VTA_QUOTA_DIR_FILES, 1000, 900, 0},
    };
    for (const auto &row : rows) {
        QuotaTree t;
        t.make_current(t.users);
        MessageRecorder messages;
        CDlgQuotaEdit dialog;
        ASSERT_TRUE(dialog.OnInitDialog(t.w.tree(), nullptr));
        dialog.Button(row.type_button)->click();
        dialog.Field(row.name_field)->setText(row.typed);
        dialog.Field(CDlgQuotaEdit::kHard)->setText(row.hard);
        dialog.Field(CDlgQuotaEdit::kSoft)->setText(row.soft);
        dialog.Field(CDlgQuotaEdit::kDays)->setText(row.days);
        dialog.Field(CDlgQuotaEdit::kHours)->setText(row.hours);
        dialog.Field(CDlgQuotaEdit::kMinutes)->setText(row.minutes);
        dialog.OnOK();
        EXPECT_TRUE(messages.messages().empty()) << row.name;
        EXPECT_EQ(dialog.result(), QDialog::Accepted) << row.name;
        ASSERT_EQ(quota_requests.size(), 1u) << row.name;
        const ReceivedQuota &got = quota_requests[0];
        EXPECT_EQ(got.op, VTA_OP_CREATE) << row.name;
        const bool directory = row.type == VTA_QUOTA_DIR_SPACE || row.type == VTA_QUOTA_DIR_FILES;
        EXPECT_EQ(got.node, directory ? t.directories : t.users) << row.name;
        EXPECT_EQ(got.record.VTA_Quota.type, row.type) << row.name;
        EXPECT_EQ(std::string(directory ? got.record.VTA_Path : got.record.VTA_Quota.name),
                  row.typed)
            << row.name;
        EXPECT_EQ(got.record.VTA_Quota.hard, row.want_hard) << row.name;
        EXPECT_EQ(got.record.VTA_Quota.soft, row.want_soft) << row.name;
        EXPECT_EQ(got.record.VTA_Quota.grace, row.want_grace) << row.name;
    }
}

TEST(QuotaEditor, EditingAQuotaChangesOnlyItsLimitsAndSavesThemOnItsNode) {
    QuotaTree t;
    t.make_current(t.users);
    MessageRecorder messages;
    CDlgQuotaEdit dialog;
    ASSERT_TRUE(dialog.OnInitDialog(t.w.tree(), t.alice));
    EXPECT_EQ(dialog.EditMode(), 1u);
    EXPECT_EQ(marked_type(dialog), "U");
    EXPECT_EQ(text(dialog, CDlgQuotaEdit::kUserName), "alice");
    for (int id : {CDlgQuotaEdit::kUserName, CDlgQuotaEdit::kGroupName, CDlgQuotaEdit::kDirectory})
        EXPECT_FALSE(dialog.Field(id)->isEnabled()) << id;
    for (int id :
         {CDlgQuotaEdit::kUser, CDlgQuotaEdit::kGroup, CDlgQuotaEdit::kData, CDlgQuotaEdit::kFiles})
        EXPECT_FALSE(dialog.Button(id)->isEnabled()) << id;
    EXPECT_EQ(text(dialog, CDlgQuotaEdit::kHard), "10G");
    EXPECT_EQ(text(dialog, CDlgQuotaEdit::kSoft), "5G");
    EXPECT_EQ(text(dialog, CDlgQuotaEdit::kDays), "7");
    EXPECT_EQ(text(dialog, CDlgQuotaEdit::kHours), "1");
    EXPECT_EQ(text(dialog, CDlgQuotaEdit::kMinutes), "1");

    dialog.Field(CDlgQuotaEdit::kHard)->setText("20G");
    quota_result = 2;
    dialog.OnOK();
    ASSERT_EQ(messages.messages().size(), 1u);
    EXPECT_EQ(messages.messages()[0].title, "Error");
    EXPECT_EQ(messages.messages()[0].icon, QMessageBox::Critical);
    EXPECT_NE(dialog.result(), QDialog::Accepted) << "stays open after a failed save";
    ASSERT_EQ(quota_requests.size(), 1u);
    EXPECT_EQ(quota_requests[0].op, VTA_OP_SAVE);
    EXPECT_EQ(quota_requests[0].node, t.alice);
    EXPECT_EQ(quota_requests[0].record.VTA_Quota.hard, 21474836480u)
        << "the node holds the edited record from the first try on";
    EXPECT_EQ(quota_requests[0].record.VTA_Quota.used, 1000u) << "other fields are carried";

    quota_result = VTA_OK;
    dialog.OnOK();
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
}

TEST(QuotaEditor, WithoutTheQuotaFoldersTheRequestIsNotSent) {
    QuotaTree t;
    t.make_current(t.fs);
    MessageRecorder messages;
    CDlgQuotaEdit dialog;
    ASSERT_TRUE(dialog.OnInitDialog(t.w.tree(), nullptr));
    dialog.Field(CDlgQuotaEdit::kUserName)->setText("bob");
    VTAObj *users = t.users;
    VTAObj_Delete(t.w.tree(), &users);
    dialog.OnOK();
    VTAObj *quotas = t.quotas;
    VTAObj_Delete(t.w.tree(), &quotas);
    dialog.OnOK();
    ASSERT_EQ(messages.messages().size(), 2u);
    EXPECT_EQ(messages.messages()[0].text, "Failed to find Quota sub-directory node");
    EXPECT_EQ(messages.messages()[1].text, "Failed to find All Quotas node");
    EXPECT_EQ(messages.messages()[1].title, "Error");
    EXPECT_TRUE(quota_requests.empty());
}

} // namespace

// ---- FSM debug flags ----

namespace {

std::vector<uint32_t> saved_words;
int32_t save_result = VTA_OK;

// A "Debug" folder holding its word at the start of its data, as the real folder does.
int32_t RecordingDebugOpFunc(VTATree *tree, uint32_t op, VTAObj *node, void *data, size_t data_size,
                             char *msg, size_t msg_size) {
    if (op != VTA_OP_SAVE)
        return TestFolderOpFunc(tree, op, node, data, data_size, msg, msg_size);
    EXPECT_EQ(data_size, 4u);
    uint32_t word = 0;
    std::memcpy(&word, data, sizeof word);
    saved_words.push_back(word);
    if (save_result != VTA_OK)
        bounded_format(msg, msg_size, "Cannot set debug information for 'snfs1'");
    return save_result;
}

struct DebugTree {
    explicit DebugTree(uint32_t word) {
        fs = add_test_node(w.tree(), w.root(), "snfs1", VTA_OBJ_FS_ACTIVE, true);
        folder = add_test_node(w.tree(), fs, "Debug", VTA_OBJ_DEBUG, true, RecordingDebugOpFunc);
        VTAObj_SetData(folder, &word, sizeof word);
        flag = add_test_node(w.tree(), folder, "Sockets", VTA_OBJ_DEBUG_FLAG, false);
        saved_words.clear();
        save_result = VTA_OK;
    }
    ShellWindow w;
    VTAObj *fs, *folder, *flag;
};

// "<Set column>|<ticked>|<description>" of every row, in the list's order.
std::vector<std::string> debug_rows(const CDlgFsmDebugEdit &dialog) {
    std::vector<std::string> rows;
    for (int r = 0; r < dialog.List()->topLevelItemCount(); ++r) {
        QTreeWidgetItem *item = dialog.List()->topLevelItem(r);
        rows.push_back(item->text(0).toStdString() + "|" +
                       (item->checkState(0) == Qt::Checked ? "x" : " ") + "|" +
                       item->text(1).toStdString());
    }
    return rows;
}

void tick_all(CDlgFsmDebugEdit &dialog, Qt::CheckState state) {
    for (int r = 0; r < dialog.List()->topLevelItemCount(); ++r)
        dialog.List()->topLevelItem(r)->setCheckState(0, state);
}

TEST(DebugFlagsDialog, ShowsEveryBitSortedByDescriptionWithTheSetOnesTicked) {
    DebugTree t(0x00000003);
    CDlgFsmDebugEdit dialog;
    ASSERT_TRUE(dialog.OnInitDialog(t.w.tree(), t.folder));
    EXPECT_EQ(dialog.windowTitle(), "FSM Debug Flags");
    EXPECT_EQ(dialog.List()->headerItem()->text(0), "Set");
    EXPECT_EQ(dialog.List()->headerItem()->text(1), "Debug Flag");
    const std::vector<std::string> rows = debug_rows(dialog);
    ASSERT_EQ(rows.size(), 32u);
    EXPECT_EQ(rows.front(), " | |Administrative Tap Management");
    EXPECT_EQ(rows.back(), " | |Xattr manipulation");
    std::vector<std::string> ticked;
    for (const std::string &row : rows) {
        if (row[2] == 'x')
            ticked.push_back(row);
        else
            EXPECT_EQ(row.substr(0, 2), " |") << row << ": a clear bit has a blank first column";
    }
    EXPECT_EQ(ticked, (std::vector<std::string>{"*|x|General Information", "*|x|Sockets"}));
    std::vector<std::string> sorted = rows;
    std::sort(sorted.begin(), sorted.end(),
              [](const std::string &a, const std::string &b) { return a.substr(4) < b.substr(4); });
    EXPECT_EQ(rows, sorted);
}

TEST(DebugFlagsDialog, SavesTheTickedRowsAsOneWordOnTheFolder) {
    const struct {
        const char *name;
        uint32_t word;
        Qt::CheckState tick_all_to;
        uint32_t saved;
    } rows[] = {
        {"unchanged", 0x80001001, Qt::PartiallyChecked, 0x80001001},
        {"every row ticked", 0x3, Qt::Checked, 0xFFFFFFFF},
        {"every row unticked", 0xFFFFFFFF, Qt::Unchecked, 0},
    };
    for (const auto &row : rows) {
        DebugTree t(row.word);
        MessageRecorder messages;
        CDlgFsmDebugEdit dialog;
        ASSERT_TRUE(dialog.OnInitDialog(t.w.tree(), t.flag)) << row.name;
        EXPECT_EQ(dialog.Folder(), t.folder) << "a flag row edits its folder's word";
        EXPECT_EQ(dialog.Flags(), row.word) << row.name;
        if (row.tick_all_to != Qt::PartiallyChecked)
            tick_all(dialog, row.tick_all_to);
        dialog.OnOK();
        EXPECT_TRUE(messages.messages().empty()) << row.name;
        EXPECT_EQ(saved_words, std::vector<uint32_t>{row.saved}) << row.name;
        EXPECT_EQ(dialog.result(), QDialog::Accepted) << row.name;
    }
}

TEST(DebugFlagsDialog, AFailedSaveStaysOpenWithTheTicks) {
    DebugTree t(0);
    MessageRecorder messages;
    CDlgFsmDebugEdit dialog;
    ASSERT_TRUE(dialog.OnInitDialog(t.w.tree(), t.folder));
    dialog.List()->topLevelItem(0)->setCheckState(0, Qt::Checked);
    save_result = 5;
    dialog.OnOK();
    ASSERT_EQ(messages.messages().size(), 1u);
    EXPECT_EQ(messages.messages()[0].title, "FSM Debug Flags");
    EXPECT_EQ(messages.messages()[0].text, "Cannot set debug information for 'snfs1'");
    EXPECT_EQ(messages.messages()[0].icon, QMessageBox::Critical);
    EXPECT_TRUE(messages.messages()[0].on_top);
    EXPECT_NE(dialog.result(), QDialog::Accepted);
    EXPECT_EQ(dialog.List()->topLevelItem(0)->checkState(0), Qt::Checked);
    EXPECT_EQ(saved_words, std::vector<uint32_t>{0x2000}) << "Administrative Tap Management";
}

TEST(DebugFlagsDialog, OpensOnlyOnADebugFolderOrFlag) {
    DebugTree t(0);
    MessageRecorder messages;
    EXPECT_EQ(CDlgFsmDebugEdit::Edit(nullptr, nullptr, t.folder), QDialog::Rejected);
    EXPECT_EQ(CDlgFsmDebugEdit::Edit(nullptr, t.w.tree(), nullptr), QDialog::Rejected);
    EXPECT_EQ(CDlgFsmDebugEdit::Edit(nullptr, t.w.tree(), t.fs), QDialog::Rejected);
    std::vector<std::string> texts;
    for (const KxMessage &m : messages.messages()) {
        texts.push_back(m.text.toStdString());
        EXPECT_EQ(m.title, "Veltrane Administration");
    }
    EXPECT_EQ(texts, (std::vector<std::string>{"Internal Error: Fsm Dbg Edit: Null Tree",
                                               "Internal Error: Fsm Dbg Edit: Null Object",
                                               "Internal Error: Fsm Dbg Edit: Wrong Type"}));
    EXPECT_TRUE(saved_words.empty());
}

} // namespace
