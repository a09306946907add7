// Navigation tree: one item per folder node shown, in the tree's sibling order.
#pragma once

#include "kxntadmin/node_images.h"
#include "kxntadmin/vtadoc.h"

#include <QPointer>
#include <QTreeWidget>

class CKxAdminTreeView : public QTreeWidget, public CKxAdminView {
    Q_OBJECT
public:
    CKxAdminTreeView(CVTADoc *doc, QWidget *parent = nullptr);
    ~CKxAdminTreeView() override;

    void OnInitialUpdate() override;
    void OnUpdate(const VTANote *note) override;
    // Saves the recent connections (code 7 on the top node); run when the window closes.
    void OnDestroy();

    // Selects, as a user's clicks would, each item of `path` in turn below the top item
    // ("localhost/File Systems"). False when an item of the path is not shown.
    bool SelectPath(const QString &path);

    // The node of the selected item, or null.
    VTAObj *SelectedNode() const;
    static VTAObj *ItemNode(const QTreeWidgetItem *item);
    static QTreeWidgetItem *NodeItem(const VTAObj *node);

private:
    void InsertNodeItem(VTAObj *node);
    void RewriteItem(QTreeWidgetItem *item, VTAObj *node);
    void RemoveNodeItem(VTAObj *node);
    void SelectAndExpand(QTreeWidgetItem *item);
    void OnSelectionChanged();
    void OnItemExpanded(QTreeWidgetItem *item);
    void ForgetItems(QTreeWidgetItem *item);

    QPointer<CVTADoc> doc_;
    CKxNodeImages images_;
    // Set while the view changes itself, so that its own selection and expansion changes do
    // not act on the tree as a user's would.
    int self_change_ = 0;
};
