// Detail list: the rows of the tree's current node (list_dir).
#pragma once

#include "kxntadmin/list_model.h"
#include "kxntadmin/node_images.h"
#include "kxntadmin/vtadoc.h"

#include <QPointer>
#include <QTreeView>

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
    VTAObj *ListDir() const { return list_dir; }
    uint32_t Initialised() const { return initialised; }

private:
    void FillFrom(VTATree *tree, VTAObj *node);
    // Sizes the columns to their contents once a fill has reached the view.
    void SizeColumns();
    void UpdateChildRow(VTATree *tree, VTAObj *node);
    void OnDoubleClicked(const QModelIndex &index);

    QPointer<CVTADoc> doc_;
    CKxListModel model_;
    CKxNodeImages images_;
    uint32_t initialised = 0;
    VTAObj *list_dir = nullptr;
    bool columns_unsized_ = false;
};
