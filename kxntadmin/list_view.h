// Detail list: the rows of the tree's current node (list_dir).
#pragma once

#include "kxntadmin/list_model.h"
#include "kxntadmin/node_images.h"
#include "kxntadmin/vtadoc.h"

#include <QPointer>
#include <QTreeView>

#include <vector>

class CKxAdminListView : public QTreeView, public CKxAdminView {
    Q_OBJECT
public:
    CKxAdminListView(CVTADoc *doc, QWidget *parent = nullptr);
    ~CKxAdminListView() override;

    void OnInitialUpdate() override;
    void OnUpdate(const VTANote *note) override;
    // Shows the tree's current node unless the list already shows it.
    void ShowCurrentNode();
    // Bracket a tree operation (the document window's busy time): its many row changes reach
    // the view as one model reset.
    void BeginBatch();
    void EndBatch();

    CKxListModel *Model() { return &model_; }
    const CKxListModel *Model() const { return &model_; }
    // The nodes of the selected rows, in row order.
    std::vector<VTAObj *> SelectedNodes() const;
    // What the list shows over an empty "Connections" root: how to add a host. Empty otherwise.
    QString EmptyHint() const;
    VTAObj *ListDir() const { return list_dir; }
    uint32_t Initialised() const { return initialised; }

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    void FillFrom(VTATree *tree, VTAObj *node);
    // Sizes the columns to their contents once a fill has reached the view.
    void SizeColumns();
    void UpdateChildRow(VTATree *tree, VTAObj *node);

    QPointer<CVTADoc> doc_;
    CKxListModel model_;
    CKxNodeImages images_;
    uint32_t initialised = 0;
    VTAObj *list_dir = nullptr;
    bool columns_unsized_ = false;
};
