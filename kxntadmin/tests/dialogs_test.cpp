// The dialogs driven through their methods on a tree of test nodes, which record the requests
// they receive: File System Control, the quota editor and the debug flags.
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

namespace {

// A request a recording node received: a control record, a quota record (a save reads it from
// the node, as the quota nodes do) or a debug word.
struct Request {
    uint32_t op;
    const VTAObj *node;
    VTA_FS_CONTROL control;
    VTA_QUOTA_EDIT quota;
    uint32_t word;
};
std::vector<Request> requests;
int32_t request_result = VTA_OK;
const char *failure_text = "";

int32_t RecordingOpFunc(VTATree *tree, uint32_t op, VTAObj *node, void *data, size_t data_size,
                        char *msg, size_t msg_size) {
    const bool control = op >= VTA_OP_START && op <= VTA_OP_ACTIVATE;
    if (!control && op != VTA_OP_CREATE && op != VTA_OP_SAVE)
        return TestFolderOpFunc(tree, op, node, data, data_size, msg, msg_size);
    Request request{op, node, {}, {}, 0};
    if (control)
        request.control = *static_cast<VTA_FS_CONTROL *>(data);
    else if (node->VTA_Type == VTA_OBJ_DEBUG)
        std::memcpy(&request.word, data, sizeof request.word);
    else if (op == VTA_OP_SAVE)
        VTAObj_GetData(node, &request.quota, sizeof request.quota);
    else
        request.quota = *static_cast<VTA_QUOTA_EDIT *>(data);
    EXPECT_EQ(data_size, control                           ? sizeof(VTA_FS_CONTROL)
                         : node->VTA_Type == VTA_OBJ_DEBUG ? 4u
                                                           : sizeof(VTA_QUOTA_EDIT));
    requests.push_back(request);
    if (request_result != VTA_OK)
        bounded_format(msg, msg_size, "%s", failure_text);
    return request_result;
}

// A computer "alpha", its "File Systems" and the active file system "snfs1" (its manager found
// at 127.0.0.5) with "Quotas" (its two sub-folders and alice's user quota) and "Debug" (with
// its flag "Sockets").
struct DialogTree {
    DialogTree() {
        VTAObj *computer = add_test_node(w.tree(), w.root(), "alpha", VTA_OBJ_COMPUTER, true);
        folder = add("File Systems", VTA_OBJ_ALL_FS, computer);
        fs = add("snfs1", VTA_OBJ_FS_ACTIVE, folder);
        VTA_FSM_ENTRY entry{};
        const uint8_t address[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 127, 0, 0, 5};
        std::memcpy(entry.address.bytes, address, sizeof address);
        VTAObj_SetData(fs, &entry, sizeof entry);
        quotas = add("Quotas", VTA_OBJ_ALL_QUOTAS, fs);
        users = add("Users & Groups", VTA_OBJ_QUOTAS_UG, quotas);
        directories = add("Directories", VTA_OBJ_QUOTAS_DIR, quotas);
        alice = add_test_node(w.tree(), users, "alice", VTA_OBJ_QUOTA_USER, false, RecordingOpFunc);
        VTA_QUOTA_EDIT record{};
        bounded_format(record.VTA_Quota.name, sizeof record.VTA_Quota.name, "alice");
        record.VTA_Quota.type = VTA_QUOTA_USER;
        record.VTA_Quota.used = 1000;
        record.VTA_Quota.hard = 10737418240;
        record.VTA_Quota.soft = 5368709120;
        record.VTA_Quota.grace = 10080 + 61;
        VTAObj_SetData(alice, &record, sizeof record);
        debug = add("Debug", VTA_OBJ_DEBUG, fs);
        flag = add_test_node(w.tree(), debug, "Sockets", VTA_OBJ_DEBUG_FLAG, false);
        requests.clear();
        request_result = VTA_OK;
    }
    VTAObj *add(const char *name, uint32_t kind, VTAObj *parent) {
        return add_test_node(w.tree(), parent, name, kind, true, RecordingOpFunc);
    }
    void fail_with(int32_t result, const char *text) {
        request_result = result;
        failure_text = text;
    }
    void make_current(VTAObj *node) { ::make_current(w.tree(), node); }
    void set_debug_word(uint32_t word) { VTAObj_SetData(debug, &word, sizeof word); }

    ShellWindow w;
    VTAObj *folder, *fs, *quotas, *users, *directories, *alice, *debug, *flag;
};

std::string text_of(const char *field) {
    return std::string(field, strnlen(field, 256));
}

using C = CDlgFsCtrl;

// Marks and enabled states of the option buttons and check boxes, as "M" (marked), "-"
// (unmarked) and "x" (disabled) in the order 1022 1024 1025 1026 1027 1028 1029 1030 1031.
std::string marks(const CDlgFsCtrl &dialog) {
    std::string text;
    for (int id : {C::kStart, C::kStartSingle, C::kWaitStart, C::kStop, C::kStopBoth,
                   C::kStopSingle, C::kWaitStop, C::kFailover, C::kActivate}) {
        text += dialog.Button(id)->isChecked() ? 'M' : '-';
        text += dialog.Button(id)->isEnabled() ? ' ' : 'x';
    }
    return text;
}

TEST(FsControlDialog, ShowingEachActionMarksAndEnablesItsControls) {
    DialogTree t;
    const std::pair<uint32_t, const char *> rows[] = {
        {VTA_FS_START, "M M M - -x-x-x- - "},    {VTA_FS_STOP_ON_HOST, "- -x-xM - M -x- - "},
        {VTA_FS_STOP, "- -x-xM M - M - - "},     {VTA_FS_FAILOVER, "- -x-x- -x-x-xM - "},
        {VTA_FS_ACTIVATE, "- -x-x- -x-x-x- M "},
    };
    for (const auto &[action, wanted] : rows) {
        CDlgFsCtrl dialog;
        dialog.SetNode(t.w.tree(), t.fs);
        dialog.SetAction(action);
        dialog.OnInitDialog();
        EXPECT_EQ(marks(dialog), wanted) << "action " << action;
    }
}

TEST(FsControlDialog, EachChoiceSendsItsOperationActionAndWait) {
    const uint32_t start = VTA_FS_START, on_host = VTA_FS_STOP_ON_HOST, both = VTA_FS_STOP,
                   failover = VTA_FS_FAILOVER, activate = VTA_FS_ACTIVATE;
    const struct {
        const char *name;
        uint32_t opened_with;
        std::vector<int> clicks; // option buttons picked and check boxes toggled, in order
        uint32_t op, action, wait;
    } rows[] = {
        {"start waiting", start, {}, VTA_OP_START, start, C::kWait},
        {"start, wait unticked", start, {C::kWaitStart}, VTA_OP_START, start, 0},
        // Picking the sub-option clears "Start File System": still a start, without a wait.
        {"start a single manager", start, {C::kStartSingle}, VTA_OP_START, start, 0},
        {"stop both waiting", on_host, {C::kStopBoth}, VTA_OP_STOP, both, C::kWait},
        // The wait box is disabled and unmarked again once a single manager is picked.
        {"stop single",
         on_host,
         {C::kStopBoth, C::kStopSingle, C::kWaitStop},
         VTA_OP_STOP,
         on_host,
         0},
        {"stop picked after start", start, {C::kStop}, VTA_OP_STOP, on_host, 0},
        {"fail-over after stop", on_host, {C::kFailover}, VTA_OP_FAILOVER, failover, 0},
        {"start after activation", activate, {C::kStart}, VTA_OP_START, start, C::kWait},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        DialogTree t;
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
        ASSERT_EQ(requests.size(), 1u);
        const VTA_FS_CONTROL &got = requests[0].control;
        EXPECT_EQ(requests[0].op, row.op);
        EXPECT_EQ(got.VTA_Action, row.action);
        EXPECT_EQ(got.VTA_Wait, row.wait);
        EXPECT_EQ(text_of(got.VTA_FsName) + " " + text_of(got.VTA_Host), "snfs1 127.0.0.5");
        EXPECT_EQ(got.VTA_Node, t.fs);
        EXPECT_EQ(got.VTA_Tree, t.w.tree());
    }
}

TEST(FsControlDialog, AFailedRequestStaysOpenWithItsMessageAndCanBeSentAgain) {
    DialogTree t;
    MessageRecorder messages;
    CDlgFsCtrl dialog;
    dialog.SetNode(t.w.tree(), t.fs);
    dialog.SetAction(VTA_FS_START);
    dialog.OnInitDialog();
    dialog.Field(C::kHost)->setEditText("beta");
    t.fail_with(VTA_ENOTLOCAL, "FSM not local");
    dialog.OnOK();
    EXPECT_EQ(messages.boxes(), Lines{"Error|FSM not local|information on top"});
    EXPECT_NE(dialog.result(), QDialog::Accepted);
    EXPECT_EQ(dialog.Field(C::kHost)->currentText(), "beta") << "the entries stay";

    t.fail_with(VTA_OK, "");
    dialog.Field(C::kHost)->setEditText("alpha");
    dialog.OnOK();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(text_of(requests[1].control.VTA_Host), "alpha") << "each try reads the fields";
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
    EXPECT_EQ(requests.size(), 2u);
}

// A request whose refresh removes the file system (as a stop does) leaves the dialog on the
// folder above it, so that a second try does not reach a freed node.
int32_t RemovingFsOpFunc(VTATree *tree, uint32_t op, VTAObj *node, void *data, size_t data_size,
                         char *msg, size_t msg_size) {
    if (op != VTA_OP_STOP)
        return RecordingOpFunc(tree, op, node, data, data_size, msg, msg_size);
    VTAObj *gone = node;
    VTAObj_Delete(tree, &gone);
    bounded_format(msg, msg_size, "Stopped, but the wait failed");
    return 8;
}

TEST(FsControlDialog, ARetryAfterTheFileSystemLeftTheTreeGoesToItsFolder) {
    DialogTree t;
    MessageRecorder messages;
    CDlgFsCtrl dialog;
    dialog.SetNode(t.w.tree(), t.fs);
    dialog.SetAction(VTA_FS_STOP_ON_HOST);
    dialog.OnInitDialog();
    t.fs->VTA_OpFunc = RemovingFsOpFunc;
    dialog.OnOK();
    ASSERT_EQ(messages.messages().size(), 1u);
    EXPECT_EQ(dialog.Node(), t.folder);
    dialog.OnOK();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].op, VTA_OP_STOP);
    EXPECT_EQ(requests[0].control.VTA_Node, t.folder);
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
}

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
    DialogTree t;
    for (VTAObj *current : {t.fs, t.quotas, t.users, t.directories}) {
        t.make_current(current);
        CDlgQuotaEdit dialog;
        ASSERT_TRUE(dialog.OnInitDialog(t.w.tree(), nullptr));
        EXPECT_EQ(dialog.windowTitle(), "User/Group Quota");
        EXPECT_EQ(type_and_names(dialog), current == t.directories ? "D d" : "U u")
            << current->VTA_Name;
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
    DialogTree t;
    MessageRecorder messages;
    t.make_current(t.folder);
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

// Opens a new quota on "Users & Groups", picks the type and types the entries.
struct NewQuota {
    NewQuota(int type_button, const char *entries) {
        t.make_current(t.users);
        EXPECT_TRUE(dialog.OnInitDialog(t.w.tree(), nullptr));
        dialog.Button(type_button)->click();
        type_into(dialog, entries);
        dialog.OnOK();
    }
    DialogTree t;
    MessageRecorder messages;
    CDlgQuotaEdit dialog;
};

TEST(QuotaEditor, RefusesEachBadEntryInOrderWithItsTextAndFocus) {
    const struct {
        int type_button;
        const char *entries, *message;
        int focus;
    } rows[] = {
        {Q::kUser, "", "Please enter a User Name", Q::kUserName},
        {Q::kUser, "user=#256", "User Name is too long", Q::kUserName},
        {Q::kGroup, "", "Please enter a Group Name", Q::kGroupName},
        {Q::kFiles, "", "Please specify a directory", Q::kDirectory},
        {Q::kUser, "user=bob hard=12x", "Hard Limit is not a valid number", Q::kHard},
        {Q::kUser, "user=bob hard=-1", "Hard Limit is not a valid number", Q::kHard},
        // The soft limit is checked after the hard limit, with its own name.
        {Q::kUser, "user=bob soft=lots", "Soft Limit is not a valid number", Q::kSoft},
        {Q::kUser, "user=bob days=", "'Days' field is not a valid number", Q::kDays},
        {Q::kUser, "user=bob hours=", "'Hours' field is not a valid number", Q::kHours},
        {Q::kUser, "user=bob minutes=", "'Minutes' field is not a valid number", Q::kMinutes},
        // The first time refused, and days of 2^64 / 1440 (0 minutes in 64 bits).
        {Q::kUser, "user=bob days=2982616 hours=4 minutes=16", "Time value is too large", Q::kDays},
        {Q::kUser, "user=bob days=12810238597202240", "Time value is too large", Q::kDays},
    };
    for (const auto &row : rows) {
        NewQuota q(row.type_button, row.entries);
        EXPECT_EQ(q.messages.boxes(),
                  Lines{std::string("Quota Editor|") + row.message + "|information"})
            << row.entries;
        EXPECT_EQ(q.dialog.FocusedControl(), row.focus) << row.entries;
        EXPECT_TRUE(requests.empty()) << row.entries;
        EXPECT_NE(q.dialog.result(), QDialog::Accepted) << row.entries;
    }
}

TEST(QuotaEditor, ANewQuotaIsCreatedOnTheSubFolderOfItsType) {
    const struct {
        int type_button;
        const char *entries;
        uint32_t type;
        uint64_t hard, soft;
        uint32_t grace;
    } rows[] = {
        {Q::kUser, "user=bob hard=10G soft=900M days=30", VTA_QUOTA_USER, 10737418240u, 943718400u,
         43200},
        {Q::kGroup, "group=devel hard=1,024 soft=0x1FF days=0 hours=1 minutes=30", VTA_QUOTA_GROUP,
         1024, 0x1FF, 90},
        {Q::kUser, "user=carol days=2982616 hours=4 minutes=15", VTA_QUOTA_USER, 1073741824u,
         943718400u, 4294967295u},
        {Q::kData, "dir=/mnt/snfs1/tmp hard=2G soft=1G days=1", VTA_QUOTA_DIR_SPACE, 2147483648u,
         1073741824u, 1440},
        {Q::kFiles, "dir=tmp hard=1000 soft=900 days=0", VTA_QUOTA_DIR_FILES, 1000, 900, 0},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.entries);
        NewQuota q(row.type_button, row.entries);
        EXPECT_TRUE(q.messages.messages().empty());
        EXPECT_EQ(q.dialog.result(), QDialog::Accepted);
        ASSERT_EQ(requests.size(), 1u);
        const VTA_QUOTA_EDIT &got = requests[0].quota;
        EXPECT_EQ(requests[0].op, VTA_OP_CREATE);
        const bool directory = row.type == VTA_QUOTA_DIR_SPACE || row.type == VTA_QUOTA_DIR_FILES;
        EXPECT_EQ(requests[0].node, directory ? q.t.directories : q.t.users);
        EXPECT_EQ(got.VTA_Quota.type, row.type);
        const std::string name = directory ? got.VTA_Path : got.VTA_Quota.name;
        EXPECT_NE(std::string(row.entries).find("=" + name + " "), std::string::npos) << name;
        EXPECT_EQ(got.VTA_Quota.hard, row.hard);
        EXPECT_EQ(got.VTA_Quota.soft, row.soft);
        EXPECT_EQ(got.VTA_Quota.grace, row.grace);
    }
}

TEST(QuotaEditor, EditingAQuotaChangesOnlyItsLimitsAndSavesThemOnItsNode) {
    DialogTree t;
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
    t.fail_with(2, "FSM returned 'Not Found'");
    dialog.OnOK();
    EXPECT_EQ(messages.boxes(), Lines{"Error|FSM returned 'Not Found'|critical on top"});
    EXPECT_NE(dialog.result(), QDialog::Accepted) << "stays open after a failed save";
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].op, VTA_OP_SAVE);
    EXPECT_EQ(requests[0].node, t.alice);
    EXPECT_EQ(requests[0].quota.VTA_Quota.hard, 21474836480u) << "the node holds the edit";
    EXPECT_EQ(requests[0].quota.VTA_Quota.used, 1000u) << "other fields are carried";

    t.fail_with(VTA_OK, "");
    dialog.OnOK();
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
}

TEST(QuotaEditor, WithoutTheQuotaFoldersTheRequestIsNotSent) {
    DialogTree t;
    t.make_current(t.fs);
    MessageRecorder messages;
    CDlgQuotaEdit dialog;
    ASSERT_TRUE(dialog.OnInitDialog(t.w.tree(), nullptr));
    dialog.Field(Q::kUserName)->setText("bob");
    VTAObj_Delete(t.w.tree(), &t.users);
    dialog.OnOK();
    VTAObj_Delete(t.w.tree(), &t.quotas);
    dialog.OnOK();
    EXPECT_EQ(messages.boxes(),
              (Lines{"Error|Failed to find Quota sub-directory node|critical on top",
                     "Error|Failed to find All Quotas node|critical on top"}));
    EXPECT_TRUE(requests.empty());
}

// "<Set column>|<ticked>|<description>" of every row, in the list's order.
Lines debug_rows(const CDlgFsmDebugEdit &dialog) {
    Lines rows;
    for (int r = 0; r < dialog.List()->topLevelItemCount(); ++r) {
        QTreeWidgetItem *item = dialog.List()->topLevelItem(r);
        rows.push_back(item->text(0).toStdString() + "|" +
                       (item->checkState(0) == Qt::Checked ? "x" : " ") + "|" +
                       item->text(1).toStdString());
    }
    return rows;
}

TEST(DebugFlagsDialog, ShowsEveryBitSortedByDescriptionWithTheSetOnesTicked) {
    DialogTree t;
    t.set_debug_word(0x00000003);
    CDlgFsmDebugEdit dialog;
    ASSERT_TRUE(dialog.OnInitDialog(t.w.tree(), t.debug));
    EXPECT_EQ(dialog.windowTitle(), "FSM Debug Flags");
    EXPECT_EQ(dialog.List()->headerItem()->text(0), "Set");
    EXPECT_EQ(dialog.List()->headerItem()->text(1), "Debug Flag");
    const Lines rows = debug_rows(dialog);
    ASSERT_EQ(rows.size(), 32u);
    EXPECT_EQ(rows.front(), " | |Administrative Tap Management");
    EXPECT_EQ(rows.back(), " | |Xattr manipulation");
    Lines set;
    std::copy_if(rows.begin(), rows.end(), std::back_inserter(set),
                 [](const std::string &row) { return row[0] != ' ' || row[2] != ' '; });
    EXPECT_EQ(set, (Lines{"*|x|General Information", "*|x|Sockets"}));
    EXPECT_TRUE(std::is_sorted(rows.begin(), rows.end(), [](const auto &a, const auto &b) {
        return a.substr(4) < b.substr(4);
    }));
}

TEST(DebugFlagsDialog, SavesTheTickedRowsAsOneWordOnTheFolder) {
    const struct {
        uint32_t word;
        Qt::CheckState tick_all_to; // PartiallyChecked: no change
        uint32_t saved;
    } rows[] = {{0x80001001, Qt::PartiallyChecked, 0x80001001},
                {0x3, Qt::Checked, 0xFFFFFFFF},
                {0xFFFFFFFF, Qt::Unchecked, 0}};
    for (const auto &row : rows) {
        DialogTree t;
        t.set_debug_word(row.word);
        MessageRecorder messages;
        CDlgFsmDebugEdit dialog;
        ASSERT_TRUE(dialog.OnInitDialog(t.w.tree(), t.flag));
        EXPECT_EQ(dialog.Folder(), t.debug) << "a flag row edits its folder's word";
        EXPECT_EQ(dialog.Flags(), row.word);
        for (int r = 0; r < dialog.List()->topLevelItemCount(); ++r)
            if (row.tick_all_to != Qt::PartiallyChecked)
                dialog.List()->topLevelItem(r)->setCheckState(0, row.tick_all_to);
        dialog.OnOK();
        EXPECT_TRUE(messages.messages().empty());
        ASSERT_EQ(requests.size(), 1u);
        EXPECT_EQ(requests[0].word, row.saved) << row.word;
        EXPECT_EQ(dialog.result(), QDialog::Accepted);
    }
}

TEST(DebugFlagsDialog, AFailedSaveStaysOpenWithTheTicks) {
    DialogTree t;
    t.set_debug_word(0);
    MessageRecorder messages;
    CDlgFsmDebugEdit dialog;
    ASSERT_TRUE(dialog.OnInitDialog(t.w.tree(), t.debug));
    dialog.List()->topLevelItem(0)->setCheckState(0, Qt::Checked);
    t.fail_with(5, "Cannot set debug information for 'snfs1'");
    dialog.OnOK();
    EXPECT_EQ(messages.boxes(),
              Lines{"FSM Debug Flags|Cannot set debug information for 'snfs1'|critical on top"});
    EXPECT_NE(dialog.result(), QDialog::Accepted);
    EXPECT_EQ(dialog.List()->topLevelItem(0)->checkState(0), Qt::Checked);
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].word, 0x2000u) << "Administrative Tap Management";

    messages.clear();
    EXPECT_EQ(CDlgFsmDebugEdit::Edit(nullptr, nullptr, t.debug), QDialog::Rejected);
    EXPECT_EQ(CDlgFsmDebugEdit::Edit(nullptr, t.w.tree(), nullptr), QDialog::Rejected);
    EXPECT_EQ(CDlgFsmDebugEdit::Edit(nullptr, t.w.tree(), t.fs), QDialog::Rejected);
    EXPECT_EQ(messages.boxes(),
              (Lines{"Veltrane Administration|Internal Error: Fsm Dbg Edit: Null Tree|critical",
                     "Veltrane Administration|Internal Error: Fsm Dbg Edit: Null Object|critical",
                     "Veltrane Administration|Internal Error: Fsm Dbg Edit: Wrong Type|critical"}));
    EXPECT_EQ(requests.size(), 1u);
}

} // namespace
