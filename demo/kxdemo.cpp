// Demonstration of what exists so far: an admin tree built with the public calls, shown as
// the list view would show it.
#include "libfsmcomm/addresses.h"
#include "libfsmcomm/transport.h"
#include "libvtadmin/vtadmin_tree.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace {

// Computer-like folders: a refresh confirms the children they already have (there is no
// cluster to ask yet); everything else gets the default handling.
int32_t demo_folder_op(VTATree *, uint32_t op, VTAObj *node, void *, size_t, char *, size_t) {
    if (op != VTA_OP_REFRESH)
        return VTA_ERR_NOT_HANDLED;
    for (VTAObj *child = node->VTA_Child; child != nullptr; child = child->VTA_SibRight)
        VTAObj_Touch(child);
    return VTA_OK;
}

// A folder of value leaves: rows of name and value, the value column right-aligned.
int32_t demo_values_op(VTATree *tree, uint32_t op, VTAObj *node, void *data, size_t size, char *msg,
                       size_t msg_size) {
    if (op != VTA_OP_LV_ROW_GETBYNBR)
        return demo_folder_op(tree, op, node, data, size, msg, msg_size);
    auto *row = static_cast<VTA_LV_ROW *>(data);
    VTAObj *child = VTAObj_GetNthChild(tree, node, row->VTA_RowNbr);
    if (child == nullptr) {
        snprintf(msg, msg_size, "No more values in %s", node->VTA_Name);
        return VTA_ERR_NOT_FOUND;
    }
    if (row->VTA_RowNbr == 0) {
        snprintf(row->VTA_Cells[0].VTA_Text, VTA_LV_TEXT_SIZE, "Name");
        snprintf(row->VTA_Cells[1].VTA_Text, VTA_LV_TEXT_SIZE, "Value");
        row->VTA_Cells[1].VTA_RightAlign = 1;
        row->VTA_ColCount = 2;
        return VTA_OK;
    }
    row->VTA_Node = child;
    VTAObj_ValueRow(row);
    return VTA_OK;
}

void show_status(VTANote *note) {
    if (note->VTA_Code != VTA_NOTE_MESSAGE)
        return;
    VTA_MESSAGE_DATA message;
    VTAObj_GetData(note->VTA_Obj, &message, sizeof message);
    printf("  status bar: %s\n", message.VTA_Text);
}

VTAObj *add(VTATree *tree, VTAObj *parent, const char *name, uint32_t kind, VTAObj_OpFunc op) {
    VTAObj *node = VTAObj_Alloc(op);
    if (node == nullptr)
        return nullptr;
    VTAObj_SetName(node, name);
    node->VTA_Type = kind;
    node->VTA_IsFolder = 1;
    if (VTAObj_Insert(tree, parent, node) != VTA_OK) {
        VTAObj_Free(&node);
        return nullptr;
    }
    return node;
}

void add_value(VTATree *tree, VTAObj *parent, const char *name, const VTA_VALUE_DATA &value) {
    VTAObj *node = VTAObj_Alloc(VTAObj_ValueOpFunc);
    if (node == nullptr)
        return;
    VTAObj_SetName(node, name);
    node->VTA_Type = VTA_OBJ_VALUE;
    VTAObj_SetData(node, &value, sizeof value);
    if (VTAObj_Insert(tree, parent, node) != VTA_OK)
        VTAObj_Free(&node);
}

void add_size(VTATree *tree, VTAObj *parent, const char *name, uint64_t bytes) {
    VTA_VALUE_DATA value{};
    value.VTA_HasSize = 1;
    value.VTA_Size = bytes;
    add_value(tree, parent, name, value);
}

// Asks the node's rows (code 2, row 0, 1, 2, ... until result 2) and prints them aligned.
void print_rows(VTATree *tree, VTAObj *node) {
    std::vector<std::vector<std::string>> rows;
    std::vector<bool> right;
    char msg[256] = "";
    for (int32_t n = 0; n < 1000; ++n) {
        VTA_LV_ROW row{};
        row.VTA_RowNbr = n;
        int32_t rc =
            VTATree_Op(tree, VTA_OP_LV_ROW_GETBYNBR, node, &row, sizeof row, msg, sizeof msg);
        if (rc != VTA_OK)
            break;
        std::vector<std::string> cells;
        for (uint32_t col = 0; col < row.VTA_ColCount; ++col) {
            cells.emplace_back(row.VTA_Cells[col].VTA_Text);
            if (n == 0)
                right.push_back(row.VTA_Cells[col].VTA_RightAlign != 0);
        }
        rows.push_back(cells);
    }
    printf("\nList of '%s':\n", node->VTA_Name);
    if (rows.empty()) {
        printf("  (%s)\n", msg);
        return;
    }
    std::vector<size_t> width(right.size(), 0);
    for (const auto &cells : rows)
        for (size_t col = 0; col < cells.size() && col < width.size(); ++col)
            width[col] = std::max(width[col], cells[col].size());
    for (size_t r = 0; r < rows.size(); ++r) {
        std::string line = " ";
        for (size_t col = 0; col < rows[r].size() && col < width.size(); ++col) {
            int w = static_cast<int>(width[col]);
            char cell[128];
            snprintf(cell, sizeof cell, right[col] ? " %*s" : " %-*s", w, rows[r][col].c_str());
            line += cell;
        }
        while (!line.empty() && line.back() == ' ')
            line.pop_back();
        printf("%s\n", line.c_str());
        if (r == 0) {
            std::string rule = " ";
            for (size_t w : width)
                rule += " " + std::string(w, '-');
            printf("%s\n", rule.c_str());
        }
    }
}

} // namespace

int main() {
    printf(
        "The console does not exist yet: this demo asks the simulated cluster's agents for their "
        "name servers and prints a small admin tree as list-view rows.\n");
    VTATree *tree = VTATree_Create();
    if (tree == nullptr) {
        fprintf(stderr, "out of memory\n");
        return 1;
    }
    VTAObj *root = VTATree_GetCurrent(tree);
    for (const char *host : {"beta", "alpha"}) {
        VTAObj *computer = add(tree, root, host, VTA_OBJ_COMPUTER, demo_folder_op);
        if (computer == nullptr)
            continue;
        add(tree, computer, "File Systems", VTA_OBJ_ALL_FS, demo_folder_op);
        VTAObj *disks = add(tree, computer, "Disks", VTA_OBJ_ALL_DISKS, demo_values_op);
        char msg[256];
        // The host's port-mapper agent, asked over the wire, names its name server's port.
        host_addr addr{};
        char text[256] = "not resolved";
        if (resolve_host(host, &addr) == 0) {
            int port = service_port_lookup(&addr, NAME_SERVER_SERVICE_TAG,
                                           NAME_SERVER_SERVICE_NUMBER, NAME_SERVER_SERVICE_VERSION);
            char where[64];
            addr_to_string(&addr, where, sizeof where);
            if (port > 0)
                snprintf(text, sizeof text, "%s, name server port %d", where, port);
            else
                snprintf(text, sizeof text, "%s, agent not answering", where);
        }
        printf("Agent of '%s': %s\n", host, text);
        VTAObj_SetMessage(tree, computer, "Address", text, msg, sizeof msg);
        add_size(tree, disks, "disk0", 4ull << 40);
        add_size(tree, disks, "disk1", 750ull << 30);
        add_size(tree, disks, "journal", 1536);
        add_value(tree, disks, "spare", VTA_VALUE_DATA{});
    }

    print_rows(tree, root);
    VTAObj *alpha = nullptr;
    VTAObj_FindChild(root, nullptr, "alpha", &alpha);
    if (alpha != nullptr) {
        printf("\nSelecting 'alpha' (refresh, then it becomes the current node):\n");
        VTATree_SetNotify(tree, show_status);
        char msg[256] = "";
        VTATree_SetCurrent(tree, alpha, msg, sizeof msg);
        VTATree_SetNotify(tree, nullptr);
        print_rows(tree, VTATree_GetCurrent(tree));
        VTAObj *disks = VTAObj_FindChildOfType(tree, alpha, VTA_OBJ_ALL_DISKS);
        if (disks != nullptr)
            print_rows(tree, disks);
        VTAObj *fs = VTAObj_FindChildOfType(tree, alpha, VTA_OBJ_ALL_FS);
        if (fs != nullptr)
            print_rows(tree, fs);
    }
    VTATree_Destroy(&tree);
    return 0;
}
