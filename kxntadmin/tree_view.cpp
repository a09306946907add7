#include "kxntadmin/tree_view.h"

#include "kxntadmin/message_box.h"

#include <QHeaderView>

namespace {

constexpr int kNodeRole = Qt::UserRole;

// Keeps a view's self-change count raised for one scope.
class SelfChange {
public:
    explicit SelfChange(int &count) : count_(count) { ++count_; }
    ~SelfChange() { --count_; }
    SelfChange(const SelfChange &) = delete;
    SelfChange &operator=(const SelfChange &) = delete;

private:
    int &count_;
};

QString NodeName(const VTAObj *node) {
    return QString::fromLocal8Bit(node->VTA_Name,
                                  static_cast<qsizetype>(strnlen(node->VTA_Name, VTA_NAME_SIZE)));
}

} // namespace

CKxAdminTreeView::CKxAdminTreeView(CVTADoc *doc, QWidget *parent) : QTreeWidget(parent), doc_(doc) {
    setHeaderHidden(true);
    setColumnCount(1);
    setRootIsDecorated(true);
    setSelectionMode(QAbstractItemView::SingleSelection);
    connect(this, &QTreeWidget::itemSelectionChanged, this, &CKxAdminTreeView::OnSelectionChanged);
    connect(this, &QTreeWidget::itemExpanded, this, &CKxAdminTreeView::OnItemExpanded);
    doc->AddView(this);
}

CKxAdminTreeView::~CKxAdminTreeView() {
    if (doc_ != nullptr)
        doc_->RemoveView(this);
    for (int i = 0; i < topLevelItemCount(); ++i)
        ForgetItems(topLevelItem(i));
}

VTAObj *CKxAdminTreeView::ItemNode(const QTreeWidgetItem *item) {
    if (item == nullptr)
        return nullptr;
    return reinterpret_cast<VTAObj *>(item->data(0, kNodeRole).value<quintptr>());
}

VTAObj *CKxAdminTreeView::SelectedNode() const {
    const QList<QTreeWidgetItem *> selected = selectedItems();
    return selected.isEmpty() ? nullptr : ItemNode(selected.first());
}

QTreeWidgetItem *CKxAdminTreeView::NodeItem(const VTAObj *node) {
    return node != nullptr ? reinterpret_cast<QTreeWidgetItem *>(node->VTA_ViewWords[0]) : nullptr;
}

void CKxAdminTreeView::ForgetItems(QTreeWidgetItem *item) {
    for (int i = 0; i < item->childCount(); ++i)
        ForgetItems(item->child(i));
    if (VTAObj *node = ItemNode(item))
        node->VTA_ViewWords[0] = 0;
}

void CKxAdminTreeView::OnInitialUpdate() {
    images_.Load();
    VTATree *tree = doc_ != nullptr ? doc_->Tree() : nullptr;
    if (tree == nullptr)
        return;
    VTAObj *top = tree->VTA_Root;
    char msg[256] = "";
    for (uint32_t op : {VTA_OP_REDISPLAY, VTA_OP_REFRESH}) {
        msg[0] = '\0';
        if (VTATree_Op(tree, op, top, nullptr, 0, msg, sizeof msg) != VTA_OK)
            KxShowMessage(this, QStringLiteral("Error"), QString::fromLocal8Bit(msg),
                          QMessageBox::Critical, true);
    }
    // The refresh may have closed what it failed to load.
    top = tree->VTA_Root;
    if (QTreeWidgetItem *item = NodeItem(top))
        SelectAndExpand(item);
}

bool CKxAdminTreeView::SelectPath(const QString &path) {
    QTreeWidgetItem *at = topLevelItem(0);
    if (at == nullptr)
        return false;
    for (const QString &name : path.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
        // Open the item before going into it, as the user would: selecting an item under a
        // collapsed parent makes Qt expand that parent afterwards, refreshing it once more.
        at->setExpanded(true);
        QTreeWidgetItem *next = nullptr;
        for (int i = 0; i < at->childCount() && next == nullptr; ++i)
            if (at->child(i)->text(0) == name)
                next = at->child(i);
        if (next == nullptr)
            return false;
        // Selecting refreshes the node, which fills in the children looked up next.
        setCurrentItem(next);
        at = next;
    }
    return true;
}

void CKxAdminTreeView::OnDestroy() {
    VTATree *tree = doc_ != nullptr ? doc_->Tree() : nullptr;
    if (tree == nullptr || tree->VTA_Root == nullptr)
        return;
    char msg[256] = "";
    if (VTATree_Op(tree, VTA_OP_SAVE, tree->VTA_Root, nullptr, 0, msg, sizeof msg) != VTA_OK)
        KxShowMessage(this, QStringLiteral("Save Recent Connections"), QString::fromLocal8Bit(msg),
                      QMessageBox::Critical, true);
}

void CKxAdminTreeView::OnUpdate(const VTANote *note) {
    VTAObj *node = note->VTA_Obj;
    if (node == nullptr)
        return;
    SelfChange change(self_change_);
    switch (note->VTA_Code) {
    case VTA_NOTE_INSERTED:
        InsertNodeItem(node);
        break;
    case VTA_NOTE_REMOVED:
        RemoveNodeItem(node);
        break;
    case VTA_NOTE_UPDATED:
        if (QTreeWidgetItem *item = NodeItem(node))
            RewriteItem(item, node);
        else
            InsertNodeItem(node);
        break;
    case VTA_NOTE_CURRENT: {
        QTreeWidgetItem *item = NodeItem(node);
        if (item != nullptr && !item->isSelected())
            SelectAndExpand(item);
        break;
    }
    default:
        break;
    }
}

void CKxAdminTreeView::RewriteItem(QTreeWidgetItem *item, VTAObj *node) {
    // Each change of a shown item costs the view a search through its rows, so a refresh that
    // finds a node unchanged leaves its item alone.
    const QString text = NodeName(node);
    if (item->text(0) != text)
        item->setText(0, text);
    const QIcon icon = images_.Icon(node);
    if (item->icon(0).cacheKey() != icon.cacheKey())
        item->setIcon(0, icon);
    if (ItemNode(item) != node)
        item->setData(0, kNodeRole, QVariant::fromValue(reinterpret_cast<quintptr>(node)));
}

void CKxAdminTreeView::InsertNodeItem(VTAObj *node) {
    if (!node->VTA_IsFolder || NodeItem(node) != nullptr)
        return;
    auto *item = new QTreeWidgetItem();
    RewriteItem(item, node);
    QTreeWidgetItem *parent_item = NodeItem(node->VTA_Parent);
    // A node that turned into a folder where it stands may follow leaves, which have no item:
    // it goes after the nearest folder on its left.
    const VTAObj *left = node->VTA_SibLeft;
    while (left != nullptr && NodeItem(left) == nullptr)
        left = left->VTA_SibLeft;
    QTreeWidgetItem *left_item = left != nullptr ? NodeItem(left) : nullptr;
    // Folders come first among siblings and each has an item, so the left sibling's item
    // usually sits at its child number; the search is for lists whose order changed in place.
    const int guess = left != nullptr ? VTAObj_ChildNumber(left) - 1 : 0;
    if (parent_item != nullptr) {
        int index = 0;
        if (left_item != nullptr)
            index =
                (parent_item->child(guess) == left_item ? guess
                                                        : parent_item->indexOfChild(left_item)) +
                1;
        parent_item->insertChild(index, item);
    } else {
        int index = 0;
        if (left_item != nullptr)
            index = (topLevelItem(guess) == left_item ? guess : indexOfTopLevelItem(left_item)) + 1;
        insertTopLevelItem(index, item);
    }
    node->VTA_ViewWords[0] = reinterpret_cast<uintptr_t>(item);
}

void CKxAdminTreeView::RemoveNodeItem(VTAObj *node) {
    QTreeWidgetItem *item = NodeItem(node);
    if (item == nullptr)
        return;
    // Children leave the tree before their parent, so the item has none left to forget.
    ForgetItems(item);
    delete item;
}

void CKxAdminTreeView::SelectAndExpand(QTreeWidgetItem *item) {
    SelfChange change(self_change_);
    setCurrentItem(item);
    item->setExpanded(true);
}

void CKxAdminTreeView::OnSelectionChanged() {
    if (self_change_ != 0 || doc_ == nullptr || doc_->Tree() == nullptr)
        return;
    QList<QTreeWidgetItem *> selected = selectedItems();
    if (selected.isEmpty())
        return;
    char msg[256] = "";
    if (VTATree_SetCurrent(doc_->Tree(), ItemNode(selected.first()), msg, sizeof msg) != VTA_OK)
        KxShowMessage(this, QStringLiteral("Error"), QString::fromLocal8Bit(msg),
                      QMessageBox::Information, true);
}

void CKxAdminTreeView::OnItemExpanded(QTreeWidgetItem *item) {
    if (self_change_ != 0 || doc_ == nullptr || doc_->Tree() == nullptr)
        return;
    // The refresh may remove the item along with its node; the index notices that.
    QPersistentModelIndex index(indexFromItem(item));
    char msg[256] = "";
    if (VTATree_Op(doc_->Tree(), VTA_OP_REFRESH, ItemNode(item), nullptr, 0, msg, sizeof msg) ==
        VTA_OK)
        return;
    KxShowMessage(this, QStringLiteral("Error"), QString::fromLocal8Bit(msg), QMessageBox::Critical,
                  true);
    if (index.isValid()) {
        SelfChange change(self_change_);
        itemFromIndex(index)->setExpanded(false);
    }
}
