#include "kxntadmin/dlg_quota_edit.h"

#include "kxntadmin/dialog_runner.h"
#include "kxntadmin/message_box.h"

#include "libutil/fatal.h"
#include "libutil/size_text.h"
#include "libvtadmin/vorud.h"

#include <QDialogButtonBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QRadioButton>
#include <QRegularExpressionValidator>
#include <QVBoxLayout>

#include <cstring>

namespace {

constexpr int kNameMax = 255;
constexpr uint64_t kGraceMax = 4294967295u;

// The option button and the name or directory field of each quota type (1 to 4).
struct TypeControls {
    uint32_t type;
    int button;
    int field;
};
constexpr TypeControls kTypes[] = {
    {VTA_QUOTA_USER, CDlgQuotaEdit::kUser, CDlgQuotaEdit::kUserName},
    {VTA_QUOTA_GROUP, CDlgQuotaEdit::kGroup, CDlgQuotaEdit::kGroupName},
    {VTA_QUOTA_DIR_SPACE, CDlgQuotaEdit::kData, CDlgQuotaEdit::kDirectory},
    {VTA_QUOTA_DIR_FILES, CDlgQuotaEdit::kFiles, CDlgQuotaEdit::kDirectory},
};

bool IsDirectoryType(uint32_t type) {
    return type == VTA_QUOTA_DIR_SPACE || type == VTA_QUOTA_DIR_FILES;
}

QString SizeText(uint64_t value) {
    char text[64] = "";
    size_format(value, text, sizeof text);
    return QString::fromLatin1(text);
}

} // namespace

CDlgQuotaEdit::CDlgQuotaEdit(QWidget *parent) : QDialog(parent) {
    setWindowTitle(QStringLiteral("User/Group Quota"));
    auto *layout = new QVBoxLayout(this);
    auto *grid = new QGridLayout();
    auto label = [this](const char *text) { return new QLabel(QString::fromLatin1(text), this); };
    auto radio = [this](int id, const char *text) {
        auto *button = new QRadioButton(QString::fromLatin1(text), this);
        // The dialog keeps one type marked itself (ShowType); the buttons do not exclude.
        button->setAutoExclusive(false);
        buttons_[id] = button;
        connect(button, &QAbstractButton::clicked, this, [this, id] {
            for (const TypeControls &t : kTypes)
                if (t.button == id)
                    ShowType(t.type);
        });
        return button;
    };
    auto *digits =
        new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]*")), this);

    grid->addWidget(radio(kUser, "User Quota"), 0, 0);
    grid->addWidget(label("User Name:"), 0, 1);
    grid->addWidget(AddField(kUserName, new QLineEdit(this)), 0, 2, 1, 3);
    grid->addWidget(radio(kGroup, "Group Quota"), 1, 0);
    grid->addWidget(label("Group Name:"), 1, 1);
    grid->addWidget(AddField(kGroupName, new QLineEdit(this)), 1, 2, 1, 3);
    grid->addWidget(label("Directory Quotas:"), 2, 0, 1, 2);
    auto *directory_types = new QHBoxLayout();
    directory_types->addWidget(radio(kData, "Data Limit"));
    directory_types->addWidget(radio(kFiles, "File Count Limit"));
    directory_types->addStretch();
    grid->addLayout(directory_types, 2, 2, 1, 3);
    grid->addWidget(label("Directory:"), 3, 1);
    grid->addWidget(AddField(kDirectory, new QLineEdit(this)), 3, 2, 1, 3);
    grid->addWidget(label("Example: Z:\\MyDir"), 4, 2, 1, 3);
    grid->addWidget(label("Hard Limit:"), 5, 1);
    grid->addWidget(AddField(kHard, new QLineEdit(this)), 5, 2);
    grid->addWidget(label("Soft Limit:"), 6, 1);
    grid->addWidget(AddField(kSoft, new QLineEdit(this)), 6, 2);
    grid->addWidget(label("Examples: 10, 10G 1024M, 0x1FFF"), 6, 3, 1, 2);
    grid->addWidget(label("Time Limit:"), 7, 1);
    auto *time = new QHBoxLayout();
    for (const auto &[id, text] :
         {std::pair{kDays, "Days"}, std::pair{kHours, "Hours"}, std::pair{kMinutes, "Minutes"}}) {
        QLineEdit *field = AddField(id, new QLineEdit(this));
        field->setValidator(digits);
        field->setMaximumWidth(80);
        time->addWidget(field);
        time->addWidget(label(text));
    }
    time->addStretch();
    grid->addLayout(time, 7, 2, 1, 3);
    layout->addLayout(grid);

    fields_[kUserName]->setMaxLength(kNameMax + 1); // one more, so that "too long" can show
    fields_[kGroupName]->setMaxLength(kNameMax + 1);
    fields_[kDirectory]->setMaxLength(static_cast<int>(VTA_QUOTA_PATH_SIZE) - 1);
    for (int id : {kHard, kSoft, kHours, kMinutes})
        fields_[id]->setAlignment(Qt::AlignRight);

    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &CDlgQuotaEdit::OnOK);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    layout->addWidget(buttons);
}

QLineEdit *CDlgQuotaEdit::AddField(int id, QLineEdit *field) {
    fields_[id] = field;
    return field;
}

int CDlgQuotaEdit::Edit(QWidget *parent, VTATree *tree, VTAObj *quota) {
    CDlgQuotaEdit dialog(parent);
    if (!dialog.OnInitDialog(tree, quota))
        return QDialog::Rejected;
    return KxRunDialog(dialog);
}

bool CDlgQuotaEdit::OnInitDialog(VTATree *tree, VTAObj *quota) {
    if (tree == nullptr) {
        KxShowMessage(parentWidget(), QStringLiteral("Error"),
                      QStringLiteral("Internal Error: Quota Edit: Null tree"),
                      QMessageBox::Critical, true);
        return false;
    }
    tree_ = tree;
    quota_ = quota;
    VTAObj *current = VTATree_GetCurrent(tree);
    fs_node_ = VTAObj_FindUpOfType(tree, current, VTA_OBJ_FS_ACTIVE);
    if (fs_node_ == nullptr) {
        KxShowMessage(parentWidget(), QStringLiteral("Veltrane Quota Editor"),
                      QStringLiteral("Please select a File System (or sub-directory)"),
                      QMessageBox::Question, true);
        reject();
        return false;
    }
    record_ = VTA_QUOTA_EDIT{};
    if (quota != nullptr) {
        VTAObj_GetData(quota, &record_, sizeof record_);
        record_.VTA_Quota.name[sizeof record_.VTA_Quota.name - 1] = '\0';
        record_.VTA_Path[sizeof record_.VTA_Path - 1] = '\0';
        edit_mode = 1;
    } else {
        record_.VTA_Quota.hard = kNewHard;
        record_.VTA_Quota.soft = kNewSoft;
        record_.VTA_Quota.grace = kNewGrace;
        record_.VTA_Quota.type = current != nullptr && current->VTA_Type == VTA_OBJ_QUOTAS_DIR
                                     ? VTA_QUOTA_DIR_SPACE
                                     : VTA_QUOTA_USER;
        edit_mode = 0;
    }
    shown_type_ = 0;
    ShowRecord();
    if (edit_mode == 1) {
        for (const TypeControls &t : kTypes)
            buttons_.at(t.button)->setEnabled(false);
        for (int id : {kUserName, kGroupName, kDirectory})
            fields_.at(id)->setEnabled(false);
    }
    return true;
}

void CDlgQuotaEdit::ShowType(uint32_t type) {
    // Both directory types share one field: going from one to the other keeps what it holds.
    const bool same_field = IsDirectoryType(type) && IsDirectoryType(shown_type_);
    for (const TypeControls &t : kTypes) {
        QLineEdit *field = fields_.at(t.field);
        if (t.type == type) {
            field->setEnabled(true);
            if (!same_field)
                field->setText(QString::fromLocal8Bit(
                    IsDirectoryType(type) ? record_.VTA_Path : record_.VTA_Quota.name));
            buttons_.at(t.button)->setChecked(true);
        } else {
            buttons_.at(t.button)->setChecked(false);
            if (t.type != VTA_QUOTA_DIR_FILES)
                field->setEnabled(false);
        }
    }
    shown_type_ = type;
}

void CDlgQuotaEdit::ShowRecord() {
    const VTA_QUOTA &quota = record_.VTA_Quota;
    ShowType(quota.type);
    fields_.at(kHard)->setText(SizeText(quota.hard));
    fields_.at(kSoft)->setText(SizeText(quota.soft));
    const uint32_t grace = quota.grace;
    fields_.at(kDays)->setText(QString::number(grace / 1440));
    fields_.at(kHours)->setText(QString::number(grace % 1440 / 60));
    fields_.at(kMinutes)->setText(QString::number(grace % 1440 % 60));
}

void CDlgQuotaEdit::Refuse(const char *text, int control) {
    focused_ = control;
    KxShowMessage(this, QStringLiteral("Quota Editor"), QString::fromLatin1(text),
                  QMessageBox::Information, false);
    if (control != 0)
        fields_.at(control)->setFocus();
}

bool CDlgQuotaEdit::ReadName(int field, const char *missing, const char *too_long) {
    const QByteArray name = fields_.at(field)->text().toLocal8Bit();
    if (name.isEmpty()) {
        Refuse(missing, field);
        return false;
    }
    if (name.size() > kNameMax) {
        Refuse(too_long, field);
        return false;
    }
    bounded_format(record_.VTA_Quota.name, sizeof record_.VTA_Quota.name, "%s", name.data());
    return true;
}

bool CDlgQuotaEdit::ReadSize(int field, const char *invalid, uint64_t *value) {
    int64_t parsed = 0;
    // A negative size would wrap to a limit of exabytes: refused like any other bad number.
    if (size_parse(fields_.at(field)->text().toLatin1().constData(), &parsed) == 0 || parsed < 0) {
        Refuse(invalid, field);
        return false;
    }
    *value = static_cast<uint64_t>(parsed);
    return true;
}

void CDlgQuotaEdit::Fail(const char *text) {
    KxShowMessage(this, QStringLiteral("Error"), QString::fromLocal8Bit(text),
                  QMessageBox::Critical, true);
}

void CDlgQuotaEdit::OnOK() {
    focused_ = 0;
    VTA_QUOTA &quota = record_.VTA_Quota;
    uint32_t type;
    if (buttons_.at(kUser)->isChecked()) {
        type = VTA_QUOTA_USER;
        if (!ReadName(kUserName, "Please enter a User Name", "User Name is too long"))
            return;
    } else if (buttons_.at(kGroup)->isChecked()) {
        type = VTA_QUOTA_GROUP;
        if (!ReadName(kGroupName, "Please enter a Group Name", "Group Name is too long"))
            return;
    } else {
        if (buttons_.at(kData)->isChecked()) {
            type = VTA_QUOTA_DIR_SPACE;
        } else if (buttons_.at(kFiles)->isChecked()) {
            type = VTA_QUOTA_DIR_FILES;
        } else {
            Refuse("Please select a quota type", 0);
            return;
        }
        const QByteArray path = fields_.at(kDirectory)->text().toLocal8Bit();
        if (path.isEmpty()) {
            Refuse("Please specify a directory", kDirectory);
            return;
        }
        bounded_format(record_.VTA_Path, sizeof record_.VTA_Path, "%s", path.data());
    }
    quota.type = type;
    uint64_t hard = 0, soft = 0, days = 0, hours = 0, minutes = 0;
    if (!ReadSize(kHard, "Hard Limit is not a valid number", &hard) ||
        !ReadSize(kSoft, "Soft Limit is not a valid number", &soft) ||
        !ReadSize(kDays, "'Days' field is not a valid number", &days) ||
        !ReadSize(kHours, "'Hours' field is not a valid number", &hours) ||
        !ReadSize(kMinutes, "'Minutes' field is not a valid number", &minutes))
        return;
    quota.hard = hard;
    quota.soft = soft;
    // Each part above the largest grace is too large on its own; the rest cannot overflow.
    const bool too_large = days > kGraceMax || hours > kGraceMax || minutes > kGraceMax ||
                           (days * 24 + hours) * 60 + minutes > kGraceMax;
    if (too_large) {
        Refuse("Time value is too large", kDays);
        return;
    }
    quota.grace = static_cast<uint32_t>((days * 24 + hours) * 60 + minutes);

    VTAObj *all_quotas = VTAObj_FindChildOfType(tree_, fs_node_, VTA_OBJ_ALL_QUOTAS);
    if (all_quotas == nullptr) {
        Fail("Failed to find All Quotas node");
        return;
    }
    if (type < VTA_QUOTA_USER || type > VTA_QUOTA_DIR_FILES) {
        Fail("Internal Error: Bad Quota Type");
        return;
    }
    VTAObj *folder = VTAObj_FindChildOfType(
        tree_, all_quotas, IsDirectoryType(type) ? VTA_OBJ_QUOTAS_DIR : VTA_OBJ_QUOTAS_UG);
    if (folder == nullptr) {
        Fail("Failed to find Quota sub-directory node");
        return;
    }
    char msg[VTA_MESSAGE_SIZE] = "";
    int32_t rc;
    if (edit_mode == 1) {
        VTAObj_SetData(quota_, &record_, sizeof record_);
        rc = VTATree_Op(tree_, VTA_OP_SAVE, quota_, &record_, sizeof record_, msg, sizeof msg);
    } else {
        rc = VTATree_Op(tree_, VTA_OP_CREATE, folder, &record_, sizeof record_, msg, sizeof msg);
    }
    if (rc != VTA_OK) {
        Fail(msg);
        return;
    }
    accept();
}
