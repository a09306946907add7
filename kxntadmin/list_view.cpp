#include "kxntadmin/kxadmin_shell.h"

#include <QHeaderView>

CKxAdminListView::CKxAdminListView(CVTADoc *doc, QWidget *parent)
    : QTreeView(parent), doc_(doc), model_(this) {
    setModel(&model_);
    setRootIsDecorated(false);
    setItemsExpandable(false);
    setUniformRowHeights(true);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    setAllColumnsShowFocus(true);
    header()->setStretchLastSection(false);
    connect(this, &QAbstractItemView::doubleClicked, this, &CKxAdminListView::OnDoubleClicked);
    doc->AddView(this);
}

CKxAdminListView::~CKxAdminListView() {
    if (doc_ != nullptr)
        doc_->RemoveView(this);
}

void CKxAdminListView::OnInitialUpdate() {
    images_.Load();
    initialised = 1;
    ShowCurrentNode();
}

void CKxAdminListView::ShowCurrentNode() {
    VTATree *tree = doc_ != nullptr ? doc_->Tree() : nullptr;
    if (initialised == 0 || tree == nullptr)
        return;
    VTAObj *current = VTATree_GetCurrent(tree);
    if (current == list_dir)
        return;
    FillFrom(tree, current);
}

void CKxAdminListView::FillFrom(VTATree *tree, VTAObj *node) {
    model_.BeginFill();
    model_.Clear();
    list_dir = node;
    if (node != nullptr) {
        VTA_LV_ROW row{};
        char msg[256];
        for (int32_t number = 0;; ++number) {
            row.VTA_RowNbr = number;
            // Result 2 ends the rows; any other failure ends the filling without a word.
            if (VTATree_Op(tree, VTA_OP_LV_ROW_GETBYNBR, node, &row, sizeof row, msg, sizeof msg) !=
                VTA_OK)
                break;
            if (number == 0)
                model_.SetColumns(row);
            else
                model_.SetRow(row, images_.Icon(row.VTA_Node));
        }
    }
    model_.EndFill();
    columns_unsized_ = true;
    SizeColumns();
}

void CKxAdminListView::SizeColumns() {
    // Within a batch the view learns of the new rows only when the batch ends.
    if (!columns_unsized_ || model_.Resetting())
        return;
    columns_unsized_ = false;
    for (int column = 0; column < model_.columnCount(); ++column)
        resizeColumnToContents(column);
}

void CKxAdminListView::BeginBatch() {
    model_.BeginBatch();
}

void CKxAdminListView::EndBatch() {
    model_.EndBatch();
    SizeColumns();
}

// Asks the tree for the row of one child of list_dir and finds or adds it.
void CKxAdminListView::UpdateChildRow(VTATree *tree, VTAObj *node) {
    char msg[256];
    VTA_LV_ROW row{};
    // A folder that was empty when shown has no columns yet; its header row comes first.
    if (model_.columnCount() == 0) {
        if (VTATree_Op(tree, VTA_OP_LV_ROW_GETBYNBR, list_dir, &row, sizeof row, msg, sizeof msg) !=
            VTA_OK)
            return;
        model_.SetColumns(row);
    }
    row = VTA_LV_ROW{};
    row.VTA_Node = node;
    if (VTATree_Op(tree, VTA_OP_LV_ROW_GET, list_dir, &row, sizeof row, msg, sizeof msg) != VTA_OK)
        return;
    model_.SetRow(row, images_.Icon(row.VTA_Node));
}

void CKxAdminListView::OnUpdate(const VTANote *note) {
    VTAObj *node = note->VTA_Obj;
    switch (note->VTA_Code) {
    case VTA_NOTE_INSERTED:
    case VTA_NOTE_UPDATED:
        if (node != nullptr && list_dir != nullptr && node->VTA_Parent == list_dir)
            UpdateChildRow(note->VTA_Tree, node);
        break;
    case VTA_NOTE_REMOVED:
        // The node is freed right after this note: the list must not keep it as list_dir.
        if (node == list_dir) {
            model_.Clear();
            list_dir = nullptr;
        } else {
            model_.RemoveNode(node);
        }
        break;
    case VTA_NOTE_CURRENT:
        ShowCurrentNode();
        break;
    default:
        break;
    }
}

void CKxAdminListView::OnDoubleClicked(const QModelIndex &index) {
    VTATree *tree = doc_ != nullptr ? doc_->Tree() : nullptr;
    if (tree == nullptr) {
        KxShowMessage(this, QStringLiteral("Error"),
                      QStringLiteral("Invalid Document or Data (OnNMDblclk)."),
                      QMessageBox::Critical, true);
        return;
    }
    VTAObj *node = model_.NodeAt(index.row());
    // Non-folder rows open their edit dialogs, which arrive with the menus.
    if (node == nullptr || !node->VTA_IsFolder)
        return;
    char msg[256];
    VTATree_SetCurrent(tree, node, msg, sizeof msg);
}
