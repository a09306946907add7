#include "kxntadmin/dlg_fsm_debug_edit.h"

#include "kxntadmin/dialog_runner.h"
#include "kxntadmin/message_box.h"

#include "libvtadmin/vorud.h"
#include "libvtadmin/vtadmin_debug.h"
#include "libvtadmin/vtadmin_fsm.h"

#include <QDialogButtonBox>
#include <QVBoxLayout>

#include <algorithm>
#include <vector>

namespace {

constexpr int kTableRowRole = Qt::UserRole;

int TableIndex(const VTA_DEBUG_FLAG *row) {
    return static_cast<int>(row - VTAdmin_DebugFlags);
}

} // namespace

CDlgFsmDebugEdit::CDlgFsmDebugEdit(QWidget *parent)
    : QDialog(parent), list_(new QTreeWidget(this)) {
    setWindowTitle(QStringLiteral("FSM Debug Flags"));
    auto *layout = new QVBoxLayout(this);
    list_->setRootIsDecorated(false);
    list_->setItemsExpandable(false);
    list_->setUniformRowHeights(true);
    list_->setAllColumnsShowFocus(true);
    list_->setHeaderLabels({QStringLiteral("Set"), QStringLiteral("Debug Flag")});
    list_->setMinimumSize(360, 300);
    layout->addWidget(list_);
    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &CDlgFsmDebugEdit::OnOK);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    layout->addWidget(buttons);
}

int CDlgFsmDebugEdit::Edit(QWidget *parent, VTATree *tree, VTAObj *node) {
    CDlgFsmDebugEdit dialog(parent);
    if (!dialog.OnInitDialog(tree, node))
        return QDialog::Rejected;
    return KxRunDialog(dialog);
}

bool CDlgFsmDebugEdit::OnInitDialog(VTATree *tree, VTAObj *node) {
    const char *refusal = nullptr;
    if (tree == nullptr)
        refusal = "Internal Error: Fsm Dbg Edit: Null Tree";
    else if (node == nullptr)
        refusal = "Internal Error: Fsm Dbg Edit: Null Object";
    else if (node->VTA_Type == VTA_OBJ_DEBUG)
        folder_ = node;
    else if (node->VTA_Parent != nullptr && node->VTA_Parent->VTA_Type == VTA_OBJ_DEBUG)
        folder_ = node->VTA_Parent;
    else
        refusal = "Internal Error: Fsm Dbg Edit: Wrong Type";
    if (refusal != nullptr) {
        KxShowMessage(parentWidget(), QStringLiteral("Veltrane Administration"),
                      QString::fromLatin1(refusal), QMessageBox::Critical, false);
        return false;
    }
    tree_ = tree;
    flags = VTAObj_DebugWord(folder_);

    std::vector<QTreeWidgetItem *> rows;
    for (int n = 0; n < 32; ++n) {
        const uint32_t bit = uint32_t{1} << n;
        // The single-bit row holding the bit, or the end row (value 0) remembered instead.
        const VTA_DEBUG_FLAG *row = VTAdmin_DebugFlagLookup(bit);
        const bool known = row->value == bit;
        const bool set = (flags & bit) != 0;
        auto *item = new QTreeWidgetItem();
        item->setText(0, set ? QStringLiteral("*") : QStringLiteral(" "));
        item->setText(1,
                      known ? QString::fromLatin1(row->description) : QStringLiteral("<Unknown>"));
        item->setCheckState(0, set ? Qt::Checked : Qt::Unchecked);
        item->setData(0, kTableRowRole, TableIndex(row));
        rows.push_back(item);
    }
    // By description, byte-wise.
    std::stable_sort(rows.begin(), rows.end(), [](QTreeWidgetItem *a, QTreeWidgetItem *b) {
        return a->text(1).toLatin1() < b->text(1).toLatin1();
    });
    list_->clear();
    for (QTreeWidgetItem *item : rows)
        list_->addTopLevelItem(item);
    list_->resizeColumnToContents(0);
    list_->resizeColumnToContents(1);
    return true;
}

void CDlgFsmDebugEdit::OnOK() {
    uint32_t word = 0;
    for (int index = 0; VTAdmin_DebugFlags[index].value != 0; ++index) {
        for (int r = 0; r < list_->topLevelItemCount(); ++r) {
            QTreeWidgetItem *item = list_->topLevelItem(r);
            if (item->data(0, kTableRowRole).toInt() == index) {
                if (item->checkState(0) == Qt::Checked)
                    word |= VTAdmin_DebugFlags[index].value;
                break;
            }
        }
    }
    flags = word;
    char msg[VTA_MESSAGE_SIZE] = "";
    if (VTATree_Op(tree_, VTA_OP_SAVE, folder_, &flags, sizeof flags, msg, sizeof msg) != VTA_OK) {
        KxShowMessage(this, QStringLiteral("FSM Debug Flags"), QString::fromLocal8Bit(msg),
                      QMessageBox::Critical, true);
        return;
    }
    accept();
}
