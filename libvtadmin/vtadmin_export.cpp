#include "libvtadmin/vtadmin_export.h"

#include "libvtadmin/vtadmin_child_index.h"
#include "libvtadmin/vtadmin_debug.h"

#include <nlohmann/json.hpp>

#include <algorithm>

namespace {

const char *check_text(bool checked) {
    return checked ? "true" : "false";
}

std::string csv_field(const std::string &text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos)
        return text;
    std::string quoted = "\"";
    for (char c : text)
        quoted += c == '"' ? "\"\"" : std::string(1, c);
    return quoted + "\"";
}

// One CSV line of exactly `columns` fields (missing cells are empty). A line of one empty
// field is written as "" so that readers do not take it for a blank line and drop the row.
std::string csv_line(const std::vector<std::string> &cells, size_t columns) {
    if (columns == 1 && (cells.empty() || cells[0].empty()))
        return "\"\"\r\n";
    std::string line;
    for (size_t c = 0; c < columns; ++c) {
        if (c > 0)
            line += ',';
        if (c < cells.size())
            line += csv_field(cells[c]);
    }
    return line + "\r\n";
}

} // namespace

int32_t VTATree_ReadList(VTATree *tree, VTAObj *node, VTAList *list, char *msg, size_t msg_size) {
    *list = VTAList{};
    // Rows mostly stand for the children: room for them at once, not by doubling.
    if (node->VTA_ChildIndex != nullptr)
        list->rows.reserve(child_index_size(node->VTA_ChildIndex));
    VTA_LV_ROW row{}; // the operation clears the cells for every row
    for (int32_t n = 0;; ++n) {
        row.VTA_RowNbr = n;
        const int32_t rc =
            VTATree_Op(tree, VTA_OP_LV_ROW_GETBYNBR, node, &row, sizeof row, msg, msg_size);
        if (rc == VTA_ERR_NOT_FOUND)
            return VTA_OK;
        if (rc != VTA_OK)
            return rc;
        std::vector<std::string> cells;
        cells.reserve(std::min<uint32_t>(row.VTA_ColCount, VTA_LV_MAX_COLS));
        for (uint32_t c = 0; c < row.VTA_ColCount && c < VTA_LV_MAX_COLS; ++c)
            cells.emplace_back(row.VTA_Cells[c].VTA_Text);
        if (n == 0) {
            for (uint32_t c = 0; c < cells.size(); ++c)
                list->right.push_back(row.VTA_Cells[c].VTA_RightAlign != 0);
            list->header = std::move(cells);
            continue;
        }
        VTAListRow entry{std::move(cells), std::nullopt};
        if (row.VTA_Node != nullptr && row.VTA_Node->VTA_Type == VTA_OBJ_DEBUG_FLAG)
            entry.checked = VTAObj_DebugFlagIsSet(row.VTA_Node);
        list->rows.push_back(std::move(entry));
    }
}

std::string VTAList_Csv(const VTAList &list) {
    const size_t columns = list.header.size();
    if (columns == 0)
        return "";
    std::string text = csv_line(list.header, columns);
    for (const VTAListRow &row : list.rows) {
        std::vector<std::string> cells = row.cells;
        if (row.checked && !cells.empty())
            cells[0] = check_text(*row.checked);
        text += csv_line(cells, columns);
    }
    return text;
}

std::string VTAList_Json(const VTAList &list) {
    nlohmann::ordered_json rows = nlohmann::ordered_json::array();
    for (const VTAListRow &row : list.rows) {
        nlohmann::ordered_json object = nlohmann::ordered_json::object();
        for (size_t c = 0; c < row.cells.size() && c < list.header.size(); ++c)
            object[list.header[c]] = row.cells[c];
        if (row.checked && !list.header.empty())
            object[list.header[0]] = *row.checked;
        rows.push_back(object);
    }
    return rows.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
}
