#include "kxntadmin/commands.h"

#include "kxntadmin/dialog_runner.h"
#include "kxntadmin/dlg_conn_edit.h"
#include "kxntadmin/dlg_fs_ctrl.h"
#include "kxntadmin/dlg_fsm_debug_edit.h"
#include "kxntadmin/dlg_quota_edit.h"
#include "kxntadmin/frames.h"
#include "kxntadmin/message_box.h"
#include "kxntadmin/user_settings.h"

#include "libvtadmin/vorud.h"
#include "libvtadmin/vtadmin_computer.h"
#include "libvtadmin/vtadmin_export.h"

#include <QFileDialog>
#include <QMenu>
#include <QSaveFile>

namespace {

const KxCommand kCommands[] = {
    {ID_ACTION_NEW, VTA_OP_CREATE, "&New\tCtrl+N", "&New", "Create new", "New"},
    {ID_ACTION_OPEN, VTA_OP_OPEN, "&Open\tCtrl+O", "&Open", "Open existing", "Open"},
    {ID_ACTION_SAVE, VTA_OP_SAVE, "&Save\tCtrl+S", "&Save", "Save", "Save"},
    {ID_ACTION_CLOSE, VTA_OP_CLOSE, "&Close\tCtrl+C", "&Close", "Close", "Close"},
    {ID_ACTION_DELETE, VTA_OP_DELETE, "&Delete\tCtrl+D", "&Delete", "Delete", "Delete"},
    {ID_ACTION_START, VTA_OP_START, "Start", "&Start", "Start File System", "Start"},
    {ID_ACTION_FAILOVER, VTA_OP_FAILOVER, "Failover", "&Failover", "Failover File System",
     "Failover"},
    {ID_ACTION_STOP, VTA_OP_STOP, "Stop", "&Stop", "Stop File System", "Stop"},
    {ID_ACTION_ACTIVATE, VTA_OP_ACTIVATE, "Activate", "&Activate", "Start Activation Vote",
     "Activate"},
    {ID_ACTION_REFRESH, VTA_OP_REFRESH_ALL, "&Refresh\tCtrl+R", "&Refresh", "Refresh", "Refresh"},
    {ID_ACTION_PROPERTIES, VTA_OP_PROPERTIES, "&Properties\tCtrl+P", "&Properties",
     "View Properties", "Properties"},
};

bool IsFileSystemOrFolder(uint32_t kind) {
    return kind >= VTA_OBJ_ALL_FS && kind <= VTA_OBJ_FS_DOWN;
}

bool IsQuota(uint32_t kind) {
    return kind == VTA_OBJ_QUOTA_USER || kind == VTA_OBJ_QUOTA_GROUP || kind == VTA_OBJ_QUOTA_DIR;
}

bool IsDebugFolderOrFlag(const VTAObj *node) {
    return node->VTA_Type == VTA_OBJ_DEBUG ||
           (node->VTA_Type == VTA_OBJ_DEBUG_FLAG && node->VTA_Parent != nullptr &&
            node->VTA_Parent->VTA_Type == VTA_OBJ_DEBUG);
}

QString NodeName(const VTAObj *node) {
    return QString::fromLocal8Bit(node->VTA_Name,
                                  static_cast<qsizetype>(strnlen(node->VTA_Name, VTA_NAME_SIZE)));
}

} // namespace

std::span<const KxCommand> KxCommands() {
    return kCommands;
}

const KxCommand *KxFindCommand(int id) {
    for (const KxCommand &command : kCommands)
        if (command.menu_id == id || command.context_id() == id)
            return &command;
    return nullptr;
}

uint32_t KxCommandOperation(int id) {
    const KxCommand *command = KxFindCommand(id);
    return command != nullptr ? command->op : 0;
}

bool KxIsContextCommand(int id) {
    const KxCommand *command = KxFindCommand(id);
    return command != nullptr && command->context_id() == id;
}

VTATree *CKxCommands::Tree() const {
    CVTADoc *doc = frame_->Document();
    return doc != nullptr ? doc->Tree() : nullptr;
}

VTAObj *CKxCommands::CommandNode(KxPane pane, int id) const {
    VTATree *tree = Tree();
    const KxCommand *command = KxFindCommand(id);
    if (tree == nullptr || command == nullptr)
        return nullptr;
    if (pane == KxPane::Tree) {
        if (KxIsContextCommand(id))
            return frame_->Document()->context_node;
        return frame_->TreeView()->SelectedNode();
    }
    VTAObj *current = VTATree_GetCurrent(tree);
    if (command->menu_id == ID_ACTION_NEW)
        return current;
    const std::vector<VTAObj *> selected = frame_->ListView()->SelectedNodes();
    if (!selected.empty())
        return selected.front();
    switch (command->menu_id) {
    case ID_ACTION_CLOSE:
    case ID_ACTION_DELETE:
    case ID_ACTION_PROPERTIES:
        return nullptr;
    default:
        return current;
    }
}

bool CKxCommands::Acts(KxPane pane, int menu_id, const VTAObj *node) const {
    const uint32_t kind = node->VTA_Type;
    const bool tree = pane == KxPane::Tree;
    switch (menu_id) {
    case ID_ACTION_NEW:
        return kind == VTA_OBJ_ALL || kind == VTA_OBJ_COMPUTER ||
               (kind >= VTA_OBJ_ALL_QUOTAS && kind <= VTA_OBJ_QUOTA_DIR);
    case ID_ACTION_OPEN:
        return tree && kind == VTA_OBJ_ALL;
    case ID_ACTION_SAVE:
        return tree;
    case ID_ACTION_DELETE:
        return !tree;
    case ID_ACTION_START:
    case ID_ACTION_STOP:
    case ID_ACTION_FAILOVER:
    case ID_ACTION_ACTIVATE:
        return IsFileSystemOrFolder(kind);
    case ID_ACTION_PROPERTIES:
        return tree ? kind == VTA_OBJ_DEBUG : IsDebugFolderOrFlag(node) || IsQuota(kind);
    default: // Close and Refresh
        return true;
    }
}

bool CKxCommands::IsEnabled(KxPane pane, int id) const {
    if (id == ID_EXPORT_LIST)
        return CanExportList();
    const KxCommand *command = KxFindCommand(id);
    VTAObj *node = CommandNode(pane, id);
    if (command == nullptr || node == nullptr || !Acts(pane, command->menu_id, node))
        return false;
    VTA_ALLOW_MENU allow{command->op, VTA_MENU_NOT_ALLOWED};
    char msg[VTA_MESSAGE_SIZE];
    return VTATree_Op(Tree(), VTA_OP_ALLOW_MENU, node, &allow, sizeof allow, msg, sizeof msg) ==
               VTA_OK &&
           allow.VTA_Answer == VTA_MENU_ALLOWED;
}

int32_t CKxCommands::Operation(uint32_t op, VTAObj *node, const QString &title,
                               QMessageBox::Icon icon, bool on_top) {
    char msg[VTA_MESSAGE_SIZE] = "";
    const int32_t rc = VTATree_Op(Tree(), op, node, nullptr, 0, msg, sizeof msg);
    if (rc != VTA_OK)
        KxShowMessage(frame_, title, QString::fromLocal8Bit(msg), icon, on_top);
    return rc;
}

void CKxCommands::Run(KxPane pane, int id) {
    if (id == ID_EXPORT_LIST) {
        OnExportList();
        return;
    }
    const KxCommand *command = KxFindCommand(id);
    VTATree *tree = Tree();
    if (command == nullptr)
        return;
    if (tree == nullptr) {
        if (command->menu_id == ID_ACTION_PROPERTIES)
            KxShowMessage(frame_, QStringLiteral("Error"),
                          QStringLiteral("Invalid Document or Data (OnProperties)."),
                          QMessageBox::Critical, true);
        return;
    }
    VTAObj *node = CommandNode(pane, id);
    const bool in_tree = pane == KxPane::Tree;
    switch (command->menu_id) {
    case ID_ACTION_NEW:
        NewCommand(pane, node);
        break;
    case ID_ACTION_OPEN:
        if (in_tree && node != nullptr && node->VTA_Type == VTA_OBJ_ALL)
            NewConnection(pane);
        break;
    case ID_ACTION_SAVE:
        if (in_tree && node != nullptr)
            Operation(VTA_OP_SAVE, node, QStringLiteral("Save Item"), QMessageBox::Critical, false);
        break;
    case ID_ACTION_CLOSE:
        if (in_tree) {
            if (node != nullptr)
                Operation(VTA_OP_CLOSE, node, QStringLiteral("Close Item"), QMessageBox::Critical,
                          false);
        } else {
            // Closing one computer does not free another, so the rows' nodes stay valid.
            for (VTAObj *row : frame_->ListView()->SelectedNodes())
                Operation(VTA_OP_CLOSE, row, QStringLiteral("Close Item"), QMessageBox::Critical,
                          false);
        }
        break;
    case ID_ACTION_DELETE:
        if (in_tree)
            break;
        if (node == nullptr)
            KxShowMessage(frame_, QStringLiteral("Veltrane"),
                          QStringLiteral("Please select object to delete"),
                          QMessageBox::Information, false);
        else
            Operation(VTA_OP_DELETE, node, QStringLiteral("Error"), QMessageBox::Information, true);
        break;
    case ID_ACTION_START:
    case ID_ACTION_STOP:
    case ID_ACTION_FAILOVER:
    case ID_ACTION_ACTIVATE:
        ControlCommand(pane, command->menu_id, node);
        break;
    case ID_ACTION_REFRESH:
        VTATree_RefreshOpen(tree, tree->VTA_Root);
        break;
    case ID_ACTION_PROPERTIES:
        if (node == nullptr)
            break;
        if (!in_tree)
            Properties(node);
        else if (node->VTA_Type == VTA_OBJ_DEBUG)
            CDlgFsmDebugEdit::Edit(frame_, tree, node);
        break;
    default:
        break;
    }
}

void CKxCommands::NewCommand(KxPane pane, VTAObj *node) {
    if (node == nullptr)
        return;
    const uint32_t kind = node->VTA_Type;
    if (kind == VTA_OBJ_ALL || kind == VTA_OBJ_COMPUTER)
        NewConnection(pane);
    else if (kind >= VTA_OBJ_ALL_QUOTAS && kind <= VTA_OBJ_QUOTA_DIR)
        CDlgQuotaEdit::Edit(frame_, Tree(), nullptr);
}

void CKxCommands::NewConnection(KxPane pane) {
    VTATree *tree = Tree();
    CDlgConnEdit dialog(frame_);
    dialog.SetRecentHosts(KxRecentHosts());
    if (KxRunDialog(dialog) != QDialog::Accepted)
        return;
    const QString host = dialog.Host();
    QByteArray text = host.toLocal8Bit();
    const QString title = QStringLiteral("New Connection");
    char msg[VTA_MESSAGE_SIZE] = "";
    VTAObj *root = tree->VTA_Root;
    int32_t rc = VTATree_Op(tree, VTA_OP_CREATE, root, text.data(),
                            static_cast<size_t>(text.size()) + 1, msg, sizeof msg);
    if (rc != VTA_OK) {
        KxShowMessage(frame_, title, QString::fromLocal8Bit(msg), QMessageBox::Critical, true);
        return;
    }
    KxRememberHost(host);
    const bool in_list = pane == KxPane::List;
    VTAObj *child = nullptr;
    rc = VTAObj_FindChild(root, nullptr, text.constData(), &child);
    if (rc != VTA_OK) {
        KxShowMessage(
            frame_, title,
            in_list ? QStringLiteral("Internal Error %1: Couldn't find child obj \"%2\"")
                          .arg(rc)
                          .arg(host)
                    : QStringLiteral("Internal Error: Couldn't find child obj \"%1\"").arg(host),
            QMessageBox::Critical, true);
        return;
    }
    rc = VTATree_SetCurrent(tree, child, msg, sizeof msg);
    if (rc != VTA_OK)
        KxShowMessage(frame_, title,
                      QStringLiteral("Internal Error %1: Couldn't set current %2 dir to \"%3\"")
                          .arg(rc)
                          .arg(in_list ? QStringLiteral("LV") : QStringLiteral("TV"))
                          .arg(host),
                      QMessageBox::Critical, true);
}

void CKxCommands::ControlCommand(KxPane pane, int menu_id, VTAObj *node) {
    if (node == nullptr) {
        if (pane == KxPane::List)
            KxShowMessage(frame_, QStringLiteral("Veltrane"),
                          QStringLiteral("Please select object."), QMessageBox::Information, false);
        return;
    }
    if (!IsFileSystemOrFolder(node->VTA_Type))
        return;
    uint32_t action = VTA_FS_START;
    if (menu_id == ID_ACTION_STOP)
        action = VTA_FS_STOP_ON_HOST;
    else if (menu_id == ID_ACTION_FAILOVER)
        action = VTA_FS_FAILOVER;
    else if (menu_id == ID_ACTION_ACTIVATE)
        action = VTA_FS_ACTIVATE;
    CDlgFsCtrl::Run(frame_, Tree(), node, action);
}

void CKxCommands::Properties(VTAObj *node) {
    VTATree *tree = Tree();
    if (IsDebugFolderOrFlag(node))
        CDlgFsmDebugEdit::Edit(frame_, tree, node);
    else if (IsQuota(node->VTA_Type))
        CDlgQuotaEdit::Edit(frame_, tree, node);
}

void CKxCommands::OnDoubleClick(VTAObj *node) {
    VTATree *tree = Tree();
    if (tree == nullptr) {
        KxShowMessage(frame_, QStringLiteral("Error"),
                      QStringLiteral("Invalid Document or Data (OnNMDblclk)."),
                      QMessageBox::Critical, true);
        return;
    }
    if (node == nullptr)
        return;
    if (node->VTA_IsFolder) {
        char msg[VTA_MESSAGE_SIZE];
        VTATree_SetCurrent(tree, node, msg, sizeof msg);
        return;
    }
    Properties(node);
}

QMenu *CKxCommands::ContextMenu(KxPane pane, QWidget *parent) {
    auto *menu = new QMenu(parent);
    for (const KxCommand &command : kCommands) {
        if (command.menu_id == ID_ACTION_DELETE || command.menu_id == ID_ACTION_START ||
            command.menu_id == ID_ACTION_REFRESH || command.menu_id == ID_ACTION_PROPERTIES)
            menu->addSeparator();
        QAction *action = menu->addAction(QString::fromLatin1(command.context_text));
        action->setData(command.context_id());
        action->setStatusTip(QString::fromLatin1(command.prompt));
        action->setEnabled(IsEnabled(pane, command.context_id()));
    }
    if (pane == KxPane::List) {
        menu->addSeparator();
        QAction *action = menu->addAction(QStringLiteral("Export &List..."));
        action->setData(ID_EXPORT_LIST);
        action->setStatusTip(QStringLiteral("Save the list as CSV or JSON"));
        action->setEnabled(CanExportList());
    }
    return menu;
}

bool CKxCommands::CanExportList() const {
    const CKxAdminListView *list = frame_->ListView();
    return Tree() != nullptr && list->ListDir() != nullptr && list->Model()->columnCount() > 0;
}

void CKxCommands::OnExportList() {
    if (!CanExportList())
        return;
    VTAObj *shown = frame_->ListView()->ListDir();
    const QString csv_filter = QStringLiteral("CSV files (*.csv)");
    const QString json_filter = QStringLiteral("JSON files (*.json)");
    QFileDialog dialog(frame_, QStringLiteral("Export List"),
                       NodeName(shown).replace(QLatin1Char('/'), QLatin1Char('_')) +
                           QStringLiteral(".csv"),
                       csv_filter + QStringLiteral(";;") + json_filter);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setDefaultSuffix(QStringLiteral("csv"));
    QObject::connect(&dialog, &QFileDialog::filterSelected, &dialog,
                     [&dialog, json_filter](const QString &filter) {
                         dialog.setDefaultSuffix(filter == json_filter ? QStringLiteral("json")
                                                                       : QStringLiteral("csv"));
                     });
    if (KxRunDialog(dialog) != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return;
    ExportList(dialog.selectedFiles().first());
}

bool CKxCommands::ExportList(const QString &path) {
    const QString title = QStringLiteral("Export List");
    VTATree *tree = Tree();
    VTAObj *shown = frame_->ListView()->ListDir();
    if (tree == nullptr || shown == nullptr)
        return false;
    VTAList list;
    char msg[VTA_MESSAGE_SIZE] = "";
    if (VTATree_ReadList(tree, shown, &list, msg, sizeof msg) != VTA_OK) {
        KxShowMessage(frame_, title, QString::fromLocal8Bit(msg), QMessageBox::Critical, true);
        return false;
    }
    const bool json = path.endsWith(QStringLiteral(".json"), Qt::CaseInsensitive);
    const std::string text = json ? VTAList_Json(list) : VTAList_Csv(list);
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) ||
        file.write(text.data(), static_cast<qint64>(text.size())) !=
            static_cast<qint64>(text.size()) ||
        !file.commit()) {
        KxShowMessage(frame_, title,
                      QStringLiteral("Cannot write %1: %2").arg(path, file.errorString()),
                      QMessageBox::Critical, true);
        return false;
    }
    return true;
}
