#include "kxntadmin/dlg_fs_ctrl.h"

#include "kxntadmin/dialog_runner.h"
#include "kxntadmin/message_box.h"

#include "libutil/fatal.h"
#include "libvtadmin/vtadminlib.h"

#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QGridLayout>
#include <QLineEdit>
#include <QRadioButton>
#include <QVBoxLayout>

#include <cstring>

namespace {

constexpr int kTextMax = 255;
constexpr int kIndent = 24;

QComboBox *MakeField(QWidget *parent) {
    auto *field = new QComboBox(parent);
    field->setEditable(true);
    field->setInsertPolicy(QComboBox::NoInsert);
    field->lineEdit()->setMaxLength(kTextMax);
    field->setMinimumContentsLength(28);
    return field;
}

bool IsFileSystem(uint32_t kind) {
    return kind == VTA_OBJ_FS_ACTIVE || kind == VTA_OBJ_FS_STANDBY || kind == VTA_OBJ_FS_DOWN;
}

} // namespace

CDlgFsCtrl::CDlgFsCtrl(QWidget *parent)
    : QDialog(parent), fs_name_field_(MakeField(this)), host_field_(MakeField(this)) {
    record_.VTA_Wait = kWait;
    setWindowTitle(QStringLiteral("File System Control"));
    auto *layout = new QVBoxLayout(this);
    auto *fields = new QFormLayout();
    fields->addRow(QStringLiteral("File System Name:"), fs_name_field_);
    fields->addRow(QStringLiteral("Meta-data Controller (MDC) Host or IP"), host_field_);
    layout->addLayout(fields);

    // The option buttons form one group whose exclusion the dialog keeps itself (OnPick), so
    // that showing a stop of both managers can mark "Stop File System" and its sub-option.
    auto *options = new QGridLayout();
    options->setColumnMinimumWidth(0, kIndent);
    auto *group = new QButtonGroup(this);
    group->setExclusive(false);
    const struct {
        int id;
        const char *text;
        bool indented;
        bool check_box;
    } controls[] = {
        {kStart, "Start File System", false, false},
        {kStartSingle, "Start a Single File System Manager", true, false},
        {kWaitStart, "Wait for File System to Start", true, true},
        {kStop, "Stop File System", false, false},
        {kStopBoth, "Stop Both File System Managers (FSMs) if HA Pair", true, false},
        {kStopSingle, "Stop a Single File System Manager", true, false},
        {kWaitStop, "Wait for File System to Stop", true, true},
        {kFailover, "Fail-over File System to Standby File System Manager (FSM)", false, false},
        {kActivate, "Initiate Activation Vote", false, false},
    };
    int row = 0;
    for (const auto &control : controls) {
        const QString text = QString::fromLatin1(control.text);
        QAbstractButton *button;
        if (control.check_box) {
            button = AddButton(control.id, new QCheckBox(text, this));
        } else {
            auto *radio = new QRadioButton(text, this);
            radio->setAutoExclusive(false);
            button = AddButton(control.id, radio);
            group->addButton(button, control.id);
        }
        if (control.indented)
            options->addWidget(button, row++, 1);
        else
            options->addWidget(button, row++, 0, 1, 2);
    }
    layout->addLayout(options);
    connect(group, &QButtonGroup::idClicked, this, &CDlgFsCtrl::OnPick);
    // Every change of a field is copied into the record at once.
    connect(fs_name_field_, &QComboBox::editTextChanged, this,
            [this](const QString &text) { SetText(record_.VTA_FsName, text); });
    connect(host_field_, &QComboBox::editTextChanged, this,
            [this](const QString &text) { SetText(record_.VTA_Host, text); });

    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &CDlgFsCtrl::OnOK);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    layout->addWidget(buttons);
}

CDlgFsCtrl::~CDlgFsCtrl() {
    if (doc_ != nullptr)
        doc_->RemoveView(this);
}

QAbstractButton *CDlgFsCtrl::AddButton(int id, QAbstractButton *button) {
    buttons_[id] = button;
    return button;
}

int CDlgFsCtrl::Run(QWidget *parent, VTATree *tree, VTAObj *node, uint32_t action) {
    CDlgFsCtrl dialog(parent);
    dialog.SetNode(tree, node);
    dialog.SetAction(action);
    dialog.OnInitDialog();
    return KxRunDialog(dialog);
}

void CDlgFsCtrl::SetNode(VTATree *tree, VTAObj *node) {
    tree_ = tree;
    node_ = node;
    folder_ = VTAObj_FindUpOfType(tree, node, VTA_OBJ_ALL_FS);
    record_.VTA_Tree = tree;
    record_.VTA_Node = node;
    if (doc_ != nullptr)
        doc_->RemoveView(this);
    doc_ = tree != nullptr ? static_cast<CVTADoc *>(tree->VTA_Owner) : nullptr;
    if (doc_ != nullptr)
        doc_->AddView(this);
}

void CDlgFsCtrl::OnUpdate(const VTANote *note) {
    if (note->VTA_Code != VTA_NOTE_REMOVED)
        return;
    // Children go before their parents, so a file system's folder is still there when the
    // file system goes; the request can still be sent through it.
    if (note->VTA_Obj == folder_)
        folder_ = nullptr;
    if (note->VTA_Obj == node_)
        node_ = folder_;
    record_.VTA_Node = node_;
}

void CDlgFsCtrl::SetText(char (&field)[256], const QString &text) {
    bounded_format(field, sizeof field, "%s", text.left(kTextMax).toLocal8Bit().data());
}

void CDlgFsCtrl::OnInitDialog() {
    if (node_ != nullptr && node_->VTA_Type == VTA_OBJ_ALL_FS) {
        if (VTAObj *computer = VTAObj_FindUpOfType(tree_, node_, VTA_OBJ_COMPUTER))
            bounded_format(record_.VTA_Host, sizeof record_.VTA_Host, "%s", computer->VTA_Name);
    }
    if (node_ != nullptr && IsFileSystem(node_->VTA_Type)) {
        VTA_FSM_ENTRY entry{};
        VTAObj_GetData(node_, &entry, sizeof entry);
        if (record_.VTA_Host[0] == '\0') {
            char address[256] = "";
            if (VTAdmin_AddrToString(&entry.address, address) != nullptr)
                bounded_format(record_.VTA_Host, sizeof record_.VTA_Host, "%s", address);
        }
        if (record_.VTA_FsName[0] == '\0')
            bounded_format(record_.VTA_FsName, sizeof record_.VTA_FsName, "%s", node_->VTA_Name);
    }
    ShowRecord();
}

void CDlgFsCtrl::ShowRecord() {
    // Writing a field copies it back into the record: take both texts first.
    const QString fs_name = QString::fromLocal8Bit(record_.VTA_FsName);
    const QString host = QString::fromLocal8Bit(record_.VTA_Host);
    fs_name_field_->setEditText(fs_name);
    host_field_->setEditText(host);

    const uint32_t action = record_.VTA_Action;
    const bool start = action == VTA_FS_START;
    const bool stop = action == VTA_FS_STOP_ON_HOST;
    const bool stop_both = action == VTA_FS_STOP;
    for (auto &[id, button] : buttons_) {
        button->setChecked(false);
        button->setEnabled(true);
    }
    Mark(kStart, start);
    Mark(kStartSingle, start);
    Mark(kWaitStart, start && record_.VTA_Wait > 0);
    Mark(kStop, stop || stop_both);
    Mark(kStopBoth, stop_both);
    Mark(kStopSingle, stop);
    Mark(kWaitStop, stop_both && record_.VTA_Wait > 0);
    Mark(kFailover, action == VTA_FS_FAILOVER);
    Mark(kActivate, action == VTA_FS_ACTIVATE);
    for (int id : {kStartSingle, kWaitStart})
        buttons_.at(id)->setEnabled(start);
    for (int id : {kStopBoth, kStopSingle})
        buttons_.at(id)->setEnabled(stop || stop_both);
    buttons_.at(kWaitStop)->setEnabled(stop_both);
}

void CDlgFsCtrl::OnPick(int id) {
    for (auto &[other, button] : buttons_)
        if (qobject_cast<QRadioButton *>(button) != nullptr)
            button->setChecked(other == id);
    switch (id) {
    case kStart:
        record_.VTA_Action = VTA_FS_START;
        break;
    case kStop:
        record_.VTA_Action = VTA_FS_STOP_ON_HOST;
        break;
    case kStopBoth:
        record_.VTA_Action = VTA_FS_STOP;
        record_.VTA_Wait = kWait;
        break;
    case kStopSingle:
        record_.VTA_Action = VTA_FS_STOP_ON_HOST;
        record_.VTA_Wait = 0;
        break;
    case kFailover:
        record_.VTA_Action = VTA_FS_FAILOVER;
        break;
    case kActivate:
        record_.VTA_Action = VTA_FS_ACTIVATE;
        break;
    default: // "Start a Single File System Manager": only the mark changes
        return;
    }
    ShowRecord();
}

void CDlgFsCtrl::CopyFields() {
    SetText(record_.VTA_FsName, fs_name_field_->currentText());
    SetText(record_.VTA_Host, host_field_->currentText());
}

void CDlgFsCtrl::OnOK() {
    CopyFields();
    record_.VTA_Wait = 0;
    if (Marked(kStart)) {
        if (Marked(kWaitStart))
            record_.VTA_Wait = kWait;
    } else if (Marked(kStop) && Marked(kStopBoth) && Marked(kWaitStop)) {
        record_.VTA_Wait = kWait;
    }
    uint32_t op = 0;
    switch (record_.VTA_Action) {
    case VTA_FS_START:
        op = VTA_OP_START;
        break;
    case VTA_FS_STOP_ON_HOST:
    case VTA_FS_STOP:
        op = VTA_OP_STOP;
        break;
    case VTA_FS_FAILOVER:
        op = VTA_OP_FAILOVER;
        break;
    case VTA_FS_ACTIVATE:
        op = VTA_OP_ACTIVATE;
        break;
    default:
        KxShowMessage(this, QStringLiteral("FS Control Dialog"),
                      QStringLiteral("Internal Error: Invalid operation"), QMessageBox::Information,
                      true);
        return;
    }
    char msg[VTA_MESSAGE_SIZE] = "";
    int32_t rc;
    if (node_ == nullptr) {
        // Both the file system and its folder left the tree after an earlier try.
        bounded_format(msg, sizeof msg,
                       "The file system is no longer shown; open File System "
                       "Control again from the tree.");
        rc = VTA_ERR_INVALID;
    } else {
        QApplication::setOverrideCursor(Qt::WaitCursor);
        setEnabled(false);
        rc = VTATree_Op(tree_, op, node_, &record_, sizeof record_, msg, sizeof msg);
        setEnabled(true);
        QApplication::restoreOverrideCursor();
    }
    if (rc == VTA_OK) {
        accept();
        return;
    }
    KxShowMessage(this, QStringLiteral("Error"), QString::fromLocal8Bit(msg),
                  QMessageBox::Information, true);
}
