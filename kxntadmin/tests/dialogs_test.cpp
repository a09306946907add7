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
#include <map>
#include <sstream>
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

using C = CDlgFsCtrl;

TEST(FsControlDialog, OpeningFillsTheEmptyFieldsFromTheNode) {
    const struct {
        const char *name;
        bool on_fs;        // opened on snfs1, else on its folder
        const char *typed; // host typed before opening, if any
        const char *host, *fs;
    } rows[] = {
        {"folder: its computer as host, no name", false, nullptr, "alpha", ""},
        {"file system: its manager's address", true, nullptr, "127.0.0.5", "snfs1"},
        {"a typed host stays", true, "beta", "beta", "snfs1"},
    };
    for (const auto &row : rows) {
        ControlTree t;
        CDlgFsCtrl dialog;
        dialog.SetNode(t.w.tree(), row.on_fs ? t.fs : t.folder);
        dialog.SetAction(VTA_FS_STOP_ON_HOST);
        if (row.typed != nullptr)
            dialog.Field(C::kHost)->setEditText(row.typed);
        dialog.OnInitDialog();
        EXPECT_EQ(dialog.windowTitle(), "File System Control");
        EXPECT_EQ(dialog.Field(C::kHost)->currentText(), row.host) << row.name;
        EXPECT_EQ(text_of(dialog.Record().VTA_Host), row.host) << row.name;
        EXPECT_EQ(dialog.Field(C::kFsName)->currentText(), row.fs) << row.name;
    }
}

// Marks and enabled states of the option buttons and check boxes, as "M" (marked), "-"
// (unmarked) and "x" (disabled) in the order 1022 1024 1025 1026 1027 1028 1029 1030 1031.
std::string marks(const CDlgFsCtrl &dialog) {
    std::string text;
    for (int id : {C::kStart, C::kStartSingle, C::kWaitStart, C::kStop, C::kStopBoth,
                   C::kStopSingle, C::kWaitStop, C::kFailover, C::kActivate}) {
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
        {"start waiting", VTA_FS_START, {}, VTA_OP_START, VTA_FS_START, C::kWait},
        {"start, wait unticked", VTA_FS_START, {C::kWaitStart}, VTA_OP_START, VTA_FS_START, 0},
        // Picking the sub-option clears "Start File System": still a start, without a wait.
        {"start a single manager", VTA_FS_START, {C::kStartSingle}, VTA_OP_START, VTA_FS_START, 0},
        {"stop on the host", VTA_FS_STOP_ON_HOST, {}, VTA_OP_STOP, VTA_FS_STOP_ON_HOST, 0},
        {"stop both waiting",
         VTA_FS_STOP_ON_HOST,
         {C::kStopBoth},
         VTA_OP_STOP,
         VTA_FS_STOP,
         C::kWait},
        {"stop both, wait unticked",
         VTA_FS_STOP_ON_HOST,
         {C::kStopBoth, C::kWaitStop},
         VTA_OP_STOP,
         VTA_FS_STOP,
         0},
        // The wait box is disabled and unmarked again once a single manager is picked.
        {"stop single after both",
         VTA_FS_STOP_ON_HOST,
         {C::kStopBoth, C::kStopSingle, C::kWaitStop},
         VTA_OP_STOP,
         VTA_FS_STOP_ON_HOST,
         0},
        {"stop picked after start", VTA_FS_START, {C::kStop}, VTA_OP_STOP, VTA_FS_STOP_ON_HOST, 0},
        {"fail-over", VTA_FS_FAILOVER, {}, VTA_OP_FAILOVER, VTA_FS_FAILOVER, 0},
        {"fail-over picked after stop",
         VTA_FS_STOP_ON_HOST,
         {C::kFailover},
         VTA_OP_FAILOVER,
         VTA_FS_FAILOVER,
         0},
        {"activation vote", VTA_FS_ACTIVATE, {}, VTA_OP_ACTIVATE, VTA_FS_ACTIVATE, 0},
        {"start picked after activation",
         VTA_FS_ACTIVATE,
         {C::kStart},
         VTA_OP_START,
         VTA_FS_START,
         C::kWait},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        ControlTree t;
        MessageRecorder messages;
        CDlgFsCtrl dialog;
        dialog.SetNode(t.w.tree(), t.fs);
        dialog.SetAction(row.opened_with);
        dialog.OnInitDialog();
        for (int id : row.clicks)
            dialog.Button(id)->click();
        dialog.OnOK();
        EXPECT_TRUE(messages.messages().empty());
        EXPECT_EQ(dialog.result(), QDialog::Accepted);
        ASSERT_EQ(received.size(), 1u);
        const VTA_FS_CONTROL &got = received[0].record;
        EXPECT_EQ(received[0].op, row.op);
        EXPECT_EQ(got.VTA_Action, row.action);
        EXPECT_EQ(got.VTA_Wait, row.wait);
        EXPECT_EQ(text_of(got.VTA_FsName) + " " + text_of(got.VTA_Host), "snfs1 127.0.0.5");
        EXPECT_EQ(got.VTA_Node, t.fs);
        EXPECT_EQ(got.VTA_Tree, t.w.tree());
    }
}

TEST(FsControlDialog, AFailedRequestStaysOpenWithItsMessageAndCanBeSentAgain) {
    ControlTree t;
    MessageRecorder messages;
    CDlgFsCtrl dialog;
    dialog.SetNode(t.w.tree(), t.fs);
    dialog.SetAction(VTA_FS_START);
    dialog.OnInitDialog();
    dialog.Field(C::kHost)->setEditText("beta");
    control_result = VTA_ENOTLOCAL;
    dialog.OnOK();
    EXPECT_EQ(messages.boxes(), Lines{"Error|FSM not local|information on top"});
    EXPECT_NE(dialog.result(), QDialog::Accepted);
    EXPECT_TRUE(dialog.isEnabled());
    EXPECT_EQ(dialog.Field(C::kHost)->currentText(), "beta") << "the entries stay";

    control_result = VTA_OK;
    dialog.Field(C::kHost)->setEditText("alpha");
    dialog.OnOK();
    ASSERT_EQ(received.size(), 2u);
    EXPECT_EQ(text_of(received[1].record.VTA_Host), "alpha") << "each try reads the fields again";
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
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

    // An unknown action is refused without a request.
    messages.clear();
    CDlgFsCtrl unknown;
    unknown.SetNode(t.w.tree(), t.folder);
    unknown.SetAction(7);
    unknown.OnInitDialog();
    unknown.OnOK();
    EXPECT_EQ(messages.boxes(),
              Lines{"FS Control Dialog|Internal Error: Invalid operation|information on top"});
    EXPECT_EQ(received.size(), 1u);
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
    void make_current(VTAObj *node) { ::make_current(w.tree(), node); }
    ShellWindow w;
    VTAObj *fs, *quotas, *users, *directories, *alice;
};

using Q = CDlgQuotaEdit;

// "U" user, "G" group, "D" data, "F" files: the marked option button, then the enabled name
// fields ("u" user, "g" group, "d" directory).
std::string type_and_names(const CDlgQuotaEdit &dialog) {
    std::string text;
    for (const auto &[id, letter] : {std::pair{Q::kUser, 'U'}, std::pair{Q::kGroup, 'G'},
                                     std::pair{Q::kData, 'D'}, std::pair{Q::kFiles, 'F'}})
        if (dialog.Button(id)->isChecked())
            text += letter;
    text += ' ';
    for (const auto &[id, letter] : {std::pair{Q::kUserName, 'u'}, std::pair{Q::kGroupName, 'g'},
                                     std::pair{Q::kDirectory, 'd'}})
        if (dialog.Field(id)->isEnabled())
            text += letter;
    return text;
}

// The limit and grace fields, "hard soft days hours minutes".
std::string limits(const CDlgQuotaEdit &dialog) {
    std::string text;
    for (int id : {Q::kHard, Q::kSoft, Q::kDays, Q::kHours, Q::kMinutes})
        text += (text.empty() ? "" : " ") + dialog.Field(id)->text().toStdString();
    return text;
}

TEST(QuotaEditor, ANewQuotaStartsFromItsFolderWithTheDefaults) {
    QuotaTree t;
    for (VTAObj *current : {t.fs, t.quotas, t.users, t.directories}) {
        SCOPED_TRACE(current->VTA_Name);
        t.make_current(current);
        CDlgQuotaEdit dialog;
        ASSERT_TRUE(dialog.OnInitDialog(t.w.tree(), nullptr));
        EXPECT_EQ(dialog.windowTitle(), "User/Group Quota");
        EXPECT_EQ(type_and_names(dialog), current == t.directories ? "D d" : "U u");
        EXPECT_EQ(limits(dialog), "1G 900M 30 0 0");
        EXPECT_EQ(dialog.EditMode(), 0u);
    }
    // Both directory types use the one field, which keeps what was typed.
    CDlgQuotaEdit dialog;
    ASSERT_TRUE(dialog.OnInitDialog(t.w.tree(), nullptr));
    dialog.Field(Q::kDirectory)->setText("/mnt/snfs1/projects");
    dialog.Button(Q::kFiles)->click();
    EXPECT_EQ(type_and_names(dialog), "F d");
    EXPECT_EQ(dialog.Field(Q::kDirectory)->text(), "/mnt/snfs1/projects");
    dialog.Button(Q::kGroup)->click();
    EXPECT_EQ(type_and_names(dialog), "G g");
}

TEST(QuotaEditor, DoesNotOpenOutsideAnActiveFileSystemOrWithoutATree) {
    QuotaTree t;
    MessageRecorder messages;
    t.make_current(t.fs->VTA_Parent);
    CDlgQuotaEdit dialog;
    EXPECT_FALSE(dialog.OnInitDialog(t.w.tree(), nullptr));
    EXPECT_EQ(CDlgQuotaEdit::Edit(nullptr, nullptr, nullptr), QDialog::Rejected);
    EXPECT_EQ(messages.boxes(),
              (Lines{"Veltrane Quota Editor|Please select a File System (or sub-directory)|"
                     "question on top",
                     "Error|Internal Error: Quota Edit: Null tree|critical on top"}));
}

// Types "<field>=<value> ..." into the fields user, group, dir, hard, soft, days, hours and
// minutes; the value "#256" stands for a name of 256 characters.
void type_into(CDlgQuotaEdit &dialog, const std::string &entries) {
    static const std::map<std::string, int> fields = {
        {"user", Q::kUserName}, {"group", Q::kGroupName}, {"dir", Q::kDirectory},
        {"hard", Q::kHard},     {"soft", Q::kSoft},       {"days", Q::kDays},
        {"hours", Q::kHours},   {"minutes", Q::kMinutes}};
    std::istringstream in(entries);
    for (std::string entry; in >> entry;) {
        const size_t equals = entry.find('=');
        const std::string value = entry.substr(equals + 1);
        dialog.Field(fields.at(entry.substr(0, equals)))
            ->setText(QString::fromStdString(value == "#256" ? std::string(256, 'n') : value));
    }
}

TEST(QuotaEditor, RefusesEachBadEntryInOrderWithItsTextAndFocus) {
    const struct {
        const char *name;
        int type_button;
        const char *entries;
        const char *message;
        int focus;
    } rows[] = {
        {"no user name", Q::kUser, "", "Please enter a User Name", Q::kUserName},
        {"user name of 256", Q::kUser, "user=#256", "User Name is too long", Q::kUserName},
        {"no group name", Q::kGroup, "", "Please enter a Group Name", Q::kGroupName},
        {"no directory", Q::kFiles, "", "Please specify a directory", Q::kDirectory},
        {"12x", Q::kUser, "user=bob hard=12x", "Hard Limit is not a valid number", Q::kHard},
        {"negative hard", Q::kUser, "user=bob hard=-1", "Hard Limit is not a valid number",
         Q::kHard},
        // The soft limit is checked after the hard limit, with its own name.
        {"bad soft", Q::kUser, "user=bob soft=lots", "Soft Limit is not a valid number", Q::kSoft},
        {"empty days", Q::kUser, "user=bob days=", "'Days' field is not a valid number", Q::kDays},
        {"empty hours", Q::kUser, "user=bob hours=", "'Hours' field is not a valid number",
         Q::kHours},
        {"empty minutes", Q::kUser, "user=bob minutes=", "'Minutes' field is not a valid number",
         Q::kMinutes},
        {"first refused time", Q::kUser, "user=bob days=2982616 hours=4 minutes=16",
         "Time value is too large", Q::kDays},
        // Would wrap to 0 minutes in 64 bits.
        {"days of 2^64 / 1440", Q::kUser, "user=bob days=12810238597202240",
         "Time value is too large", Q::kDays},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        QuotaTree t;
        t.make_current(t.users);
        MessageRecorder messages;
        CDlgQuotaEdit dialog;
        ASSERT_TRUE(dialog.OnInitDialog(t.w.tree(), nullptr));
        dialog.Button(row.type_button)->click();
        type_into(dialog, row.entries);
        dialog.OnOK();
        EXPECT_EQ(messages.boxes(),
                  Lines{std::string("Quota Editor|") + row.message + "|information"});
        EXPECT_EQ(dialog.FocusedControl(), row.focus);
        EXPECT_TRUE(quota_requests.empty()) << "nothing is sent";
        EXPECT_NE(dialog.result(), QDialog::Accepted);
    }
}

TEST(QuotaEditor, ANewQuotaIsCreatedOnTheSubFolderOfItsType) {
    const struct {
        const char *name;
        int type_button;
        const char *entries;
        uint32_t type;
        uint64_t hard, soft;
        uint32_t grace;
    } rows[] = {
        {"user, 10G", Q::kUser, "user=bob hard=10G soft=900M days=30", VTA_QUOTA_USER, 10737418240u,
         943718400u, 43200},
        {"group, 1,024", Q::kGroup, "group=devel hard=1,024 soft=0x1FF days=0 hours=1 minutes=30",
         VTA_QUOTA_GROUP, 1024, 0x1FF, 90},
        {"largest time", Q::kUser, "user=carol days=2982616 hours=4 minutes=15", VTA_QUOTA_USER,
         1073741824u, 943718400u, 4294967295u},
        {"data", Q::kData, "dir=/mnt/snfs1/tmp hard=2G soft=1G days=1", VTA_QUOTA_DIR_SPACE,
         2147483648u, 1073741824u, 1440},
        {"files", Q::kFiles, "dir=tmp hard=1000 soft=900 days=0", VTA_QUOTA_DIR_FILES, 1000, 900,
         0},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        QuotaTree t;
        t.make_current(t.users);
        MessageRecorder messages;
        CDlgQuotaEdit dialog;
        ASSERT_TRUE(dialog.OnInitDialog(t.w.tree(), nullptr));
        dialog.Button(row.type_button)->click();
        type_into(dialog, row.entries);
        dialog.OnOK();
        EXPECT_TRUE(messages.messages().empty());
        EXPECT_EQ(dialog.result(), QDialog::Accepted);
        ASSERT_EQ(quota_requests.size(), 1u);
        const ReceivedQuota &got = quota_requests[0];
        EXPECT_EQ(got.op, VTA_OP_CREATE);
        const bool directory = row.type == VTA_QUOTA_DIR_SPACE || row.type == VTA_QUOTA_DIR_FILES;
        EXPECT_EQ(got.node, directory ? t.directories : t.users);
        EXPECT_EQ(got.record.VTA_Quota.type, row.type);
        const std::string name = directory ? got.record.VTA_Path : got.record.VTA_Quota.name;
        EXPECT_NE(std::string(row.entries).find("=" + name + " "), std::string::npos) << name;
        EXPECT_EQ(got.record.VTA_Quota.hard, row.hard);
        EXPECT_EQ(got.record.VTA_Quota.soft, row.soft);
        EXPECT_EQ(got.record.VTA_Quota.grace, row.grace);
    }
}

TEST(QuotaEditor, EditingAQuotaChangesOnlyItsLimitsAndSavesThemOnItsNode) {
    QuotaTree t;
    t.make_current(t.users);
    MessageRecorder messages;
    CDlgQuotaEdit dialog;
    ASSERT_TRUE(dialog.OnInitDialog(t.w.tree(), t.alice));
    EXPECT_EQ(dialog.EditMode(), 1u);
    EXPECT_EQ(type_and_names(dialog), "U ") << "names are not editable";
    EXPECT_EQ(dialog.Field(Q::kUserName)->text(), "alice");
    for (int id : {Q::kUser, Q::kGroup, Q::kData, Q::kFiles})
        EXPECT_FALSE(dialog.Button(id)->isEnabled()) << id;
    EXPECT_EQ(limits(dialog), "10G 5G 7 1 1");

    dialog.Field(Q::kHard)->setText("20G");
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
    dialog.Field(Q::kUserName)->setText("bob");
    VTAObj *users = t.users;
    VTAObj_Delete(t.w.tree(), &users);
    dialog.OnOK();
    VTAObj *quotas = t.quotas;
    VTAObj_Delete(t.w.tree(), &quotas);
    dialog.OnOK();
    EXPECT_EQ(messages.boxes(),
              (Lines{"Error|Failed to find Quota sub-directory node|critical on top",
                     "Error|Failed to find All Quotas node|critical on top"}));
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
        for (int r = 0; r < dialog.List()->topLevelItemCount(); ++r)
            if (row.tick_all_to != Qt::PartiallyChecked)
                dialog.List()->topLevelItem(r)->setCheckState(0, row.tick_all_to);
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
    EXPECT_EQ(messages.boxes(),
              Lines{"FSM Debug Flags|Cannot set debug information for 'snfs1'|critical on top"});
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
    EXPECT_EQ(messages.boxes(),
              (Lines{"Veltrane Administration|Internal Error: Fsm Dbg Edit: Null Tree|critical",
                     "Veltrane Administration|Internal Error: Fsm Dbg Edit: Null Object|critical",
                     "Veltrane Administration|Internal Error: Fsm Dbg Edit: Wrong Type|critical"}));
    EXPECT_TRUE(saved_words.empty());
}

} // namespace
