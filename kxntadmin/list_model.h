// Rows of the detail list, apart from the widgets: the columns of a node's header row and one
// row per child node. A row is reached by number at once and by node in O(log n); rows leave
// from either end in constant time.
#pragma once

#include "libvtadmin/vtadmin_tree.h"

#include <QAbstractTableModel>
#include <QIcon>

#include <deque>
#include <unordered_map>
#include <vector>

class CKxListModel : public QAbstractTableModel {
    Q_OBJECT
public:
    explicit CKxListModel(QObject *parent = nullptr);
    ~CKxListModel() override;

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

    // Filling a whole list is one model reset: rows added between BeginFill and EndFill are
    // announced together.
    void BeginFill();
    void EndFill();
    // While a tree operation runs: the first changes are announced row by row, but once they
    // are many (or a row leaves a long list) the rest are gathered into one model reset that
    // EndBatch announces.
    void BeginBatch();
    void EndBatch();
    // True while a reset is open: the views learn of the changes only when it closes.
    bool Resetting() const { return resetting_; }
    // Drops every row and column, clearing the list's word of each row's node.
    void Clear();
    void SetColumns(const VTA_LV_ROW &header);
    // Finds the row of the record's node or adds one at the end, and sets its cells.
    void SetRow(const VTA_LV_ROW &row, const QIcon &icon);
    void RemoveNode(VTAObj *node);
    int RowOf(const VTAObj *node) const; // -1 when the node has no row
    VTAObj *NodeAt(int row) const;

    // Row changes of one batch announced one by one before the rest go into a reset, and the
    // length from which a removal goes into the reset at once.
    static constexpr int kBatchChanges = 1000;
    static constexpr size_t kLongList = 10000;

private:
    struct Row {
        VTAObj *node; // null once removed while a reset is open
        uint64_t seq; // rows keep the order of these numbers
        QIcon icon;
        std::vector<QString> cells;
    };
    void FillRow(Row &target, const VTA_LV_ROW &row, const QIcon &icon) const;
    uintptr_t RowMark() const { return reinterpret_cast<uintptr_t>(this); }
    // Counts a row change of a batch and opens the reset when the batch has grown large.
    void Changing(bool removal);
    // Opens a reset unless one is open; true when this call opened it.
    bool OpenReset();
    // Closes the open reset, dropping the rows removed meanwhile.
    void CloseReset();

    std::vector<QString> headers_;
    std::vector<bool> right_align_;
    std::deque<Row> rows_;
    std::unordered_map<const VTAObj *, uint64_t> seq_of_; // rows by node
    uint64_t next_seq_ = 0;
    bool resetting_ = false;
    bool in_batch_ = false;
    int batch_changes_ = 0;
};
