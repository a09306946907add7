// A node's list as the list view shows it (header texts, right-aligned columns, one row per
// child), read from the tree, and written as CSV or JSON. Used by kxadmin's `ls` and by the
// console's list export; it needs no window toolkit.
#pragma once

#include "libvtadmin/vtadmin_tree.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct VTAListRow {
    std::vector<std::string> cells;
    // Set for a row whose first column is a check box (a debug flag): the box's state. The
    // tree leaves that cell's text empty.
    std::optional<bool> checked;
};

struct VTAList {
    std::vector<std::string> header;
    std::vector<bool> right; // per column: right-aligned
    std::vector<VTAListRow> rows;
};

// Reads the rows of `node` through VTA_OP_LV_ROW_GETBYNBR, header first, until the tree says
// there are no more. VTA_OK, or the failing code with its message in `msg`.
int32_t VTATree_ReadList(VTATree *tree, VTAObj *node, VTAList *list, char *msg, size_t msg_size);

// RFC 4180: one line per row after the header line, every line with as many fields as the
// header, CR LF line ends; a field holding a comma, a quote, CR or LF is quoted, its quotes
// doubled. A check box is "true" or "false". An empty list without columns is empty text.
std::string VTAList_Csv(const VTAList &list);

// An array of objects keyed by the header texts, indented by two, with a final newline; cells
// past the header are left out, a check box is true or false. Bytes that are not UTF-8 are
// replaced rather than refused, so no cell text can stop an export.
std::string VTAList_Json(const VTAList &list);
