#include "kxntadmin/kxadmin_shell.h"

#include <algorithm>
#include <cstring>

namespace {

QString CellText(const VTA_LV_CELL &cell) {
    return QString::fromLocal8Bit(cell.VTA_Text,
                                  static_cast<qsizetype>(strnlen(cell.VTA_Text, VTA_LV_TEXT_SIZE)));
}

uint32_t CellCount(const VTA_LV_ROW &row) {
    return std::min<uint32_t>(row.VTA_ColCount, VTA_LV_MAX_COLS);
}

} // namespace

CKxListModel::CKxListModel(QObject *parent) : QAbstractTableModel(parent) {}

CKxListModel::~CKxListModel() {
    for (Row &row : rows_)
        if (row.node != nullptr)
            row.node->VTA_ViewWords[1] = 0;
}

int CKxListModel::rowCount(const QModelIndex &parent) const {
    return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

int CKxListModel::columnCount(const QModelIndex &parent) const {
    return parent.isValid() ? 0 : static_cast<int>(headers_.size());
}

QVariant CKxListModel::data(const QModelIndex &index, int role) const {
    if (!checkIndex(index, CheckIndexOption::IndexIsValid))
        return {};
    const Row &row = rows_[static_cast<size_t>(index.row())];
    auto column = static_cast<size_t>(index.column());
    switch (role) {
    case Qt::DisplayRole:
        return row.cells[column];
    case Qt::DecorationRole:
        return column == 0 ? QVariant(row.icon) : QVariant();
    case Qt::TextAlignmentRole:
        return QVariant::fromValue((right_align_[column] ? Qt::AlignRight : Qt::AlignLeft) |
                                   Qt::AlignVCenter);
    case Qt::UserRole:
        return QVariant::fromValue(reinterpret_cast<quintptr>(row.node));
    default:
        return {};
    }
}

QVariant CKxListModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || section < 0 ||
        section >= static_cast<int>(headers_.size()))
        return {};
    if (role == Qt::DisplayRole)
        return headers_[static_cast<size_t>(section)];
    if (role == Qt::TextAlignmentRole)
        return QVariant::fromValue(
            (right_align_[static_cast<size_t>(section)] ? Qt::AlignRight : Qt::AlignLeft) |
            Qt::AlignVCenter);
    return {};
}

bool CKxListModel::OpenReset() {
    if (resetting_)
        return false;
    beginResetModel();
    resetting_ = true;
    return true;
}

void CKxListModel::CloseReset() {
    if (!resetting_)
        return;
    std::erase_if(rows_, [](const Row &row) { return row.node == nullptr; });
    resetting_ = false;
    endResetModel();
}

void CKxListModel::BeginFill() {
    OpenReset();
}

void CKxListModel::EndFill() {
    // Inside a batch the reset stays open until the batch ends.
    if (!in_batch_)
        CloseReset();
}

void CKxListModel::BeginBatch() {
    in_batch_ = true;
    batch_changes_ = 0;
}

void CKxListModel::EndBatch() {
    in_batch_ = false;
    CloseReset();
}

void CKxListModel::Changing(bool removal) {
    if (!in_batch_ || resetting_)
        return;
    if (++batch_changes_ > kBatchChanges || (removal && rows_.size() > kLongList))
        OpenReset();
}

void CKxListModel::Clear() {
    const bool opened = OpenReset();
    for (Row &row : rows_)
        if (row.node != nullptr)
            row.node->VTA_ViewWords[1] = 0;
    rows_.clear();
    seq_of_.clear();
    headers_.clear();
    right_align_.clear();
    if (opened)
        CloseReset();
}

void CKxListModel::SetColumns(const VTA_LV_ROW &header) {
    uint32_t count = CellCount(header);
    const bool opened = OpenReset();
    headers_.clear();
    right_align_.clear();
    for (uint32_t i = 0; i < count; ++i) {
        headers_.push_back(CellText(header.VTA_Cells[i]));
        right_align_.push_back(header.VTA_Cells[i].VTA_RightAlign != 0);
    }
    // Rows keep one cell per column.
    for (Row &row : rows_)
        row.cells.resize(count);
    if (opened)
        CloseReset();
}

void CKxListModel::FillRow(Row &target, const VTA_LV_ROW &row, const QIcon &icon) const {
    target.icon = icon;
    target.cells.assign(headers_.size(), QString());
    uint32_t count = std::min<uint32_t>(CellCount(row), static_cast<uint32_t>(headers_.size()));
    for (uint32_t i = 0; i < count; ++i)
        target.cells[i] = CellText(row.VTA_Cells[i]);
}

void CKxListModel::SetRow(const VTA_LV_ROW &row, const QIcon &icon) {
    VTAObj *node = row.VTA_Node;
    if (node == nullptr)
        return;
    Changing(false);
    int index = RowOf(node);
    if (index >= 0) {
        FillRow(rows_[static_cast<size_t>(index)], row, icon);
        if (!resetting_)
            emit dataChanged(this->index(index, 0),
                             this->index(index, std::max(columnCount() - 1, 0)));
        return;
    }
    int end = static_cast<int>(rows_.size());
    if (!resetting_)
        beginInsertRows(QModelIndex(), end, end);
    Row added{node, next_seq_++, QIcon(), {}};
    FillRow(added, row, icon);
    seq_of_[node] = added.seq;
    rows_.push_back(std::move(added));
    node->VTA_ViewWords[1] = RowMark();
    if (!resetting_)
        endInsertRows();
}

void CKxListModel::RemoveNode(VTAObj *node) {
    int index = RowOf(node);
    if (index < 0)
        return;
    Changing(true);
    node->VTA_ViewWords[1] = 0;
    seq_of_.erase(node);
    if (resetting_) {
        // Dropped when the reset closes, so that the rows after it keep their places meanwhile.
        rows_[static_cast<size_t>(index)].node = nullptr;
        return;
    }
    beginRemoveRows(QModelIndex(), index, index);
    rows_.erase(rows_.begin() + index);
    endRemoveRows();
}

int CKxListModel::RowOf(const VTAObj *node) const {
    // The node's list word tells whether it has a row here at all, which spares the search
    // for every row added while the list fills.
    if (node == nullptr || node->VTA_ViewWords[1] != RowMark())
        return -1;
    auto seq = seq_of_.find(node);
    if (seq == seq_of_.end())
        return -1;
    auto found = std::lower_bound(rows_.begin(), rows_.end(), seq->second,
                                  [](const Row &row, uint64_t wanted) { return row.seq < wanted; });
    return found != rows_.end() && found->node == node ? static_cast<int>(found - rows_.begin())
                                                       : -1;
}

VTAObj *CKxListModel::NodeAt(int row) const {
    if (row < 0 || row >= static_cast<int>(rows_.size()))
        return nullptr;
    return rows_[static_cast<size_t>(row)].node;
}
