#include "support_tree.h"

#include <gtest/gtest.h>

namespace {

void record_note(VTANote *note) {
    auto *recorder = static_cast<TreeRecorder *>(note->VTA_Tree->VTA_Owner);
    VTAObj *node = note->VTA_Obj;
    switch (note->VTA_Code) {
    case VTA_NOTE_MESSAGE: {
        VTA_MESSAGE_DATA data;
        VTAObj_GetData(node, &data, sizeof data);
        EXPECT_EQ(node->VTA_Type, VTA_OBJ_MESSAGE);
        recorder->notes.push_back(std::string("message ") + data.VTA_Text +
                                  (data.VTA_Busy ? " busy" : " idle"));
        recorder->message_nodes.push_back(node);
        return;
    }
    case VTA_NOTE_INSERTED:
        recorder->notes.push_back(std::string("inserted ") + node->VTA_Name);
        return;
    case VTA_NOTE_REMOVED:
        recorder->notes.push_back(std::string("removed ") + node->VTA_Name);
        return;
    case VTA_NOTE_UPDATED:
        recorder->notes.push_back(std::string("updated ") + node->VTA_Name);
        return;
    case VTA_NOTE_CURRENT:
        recorder->notes.push_back(std::string("current ") + (node ? node->VTA_Name : "(null)"));
        return;
    default:
        ADD_FAILURE() << "unknown note code " << note->VTA_Code;
    }
}

} // namespace

void TreeRecorder::attach(VTATree *tree) {
    VTATree_SetOwner(tree, this);
    VTATree_SetNotify(tree, record_note);
}

void TreeRecorder::clear() {
    notes.clear();
    message_nodes.clear();
}

std::vector<std::string> TreeRecorder::messages() const {
    std::vector<std::string> out;
    for (const std::string &note : notes)
        if (note.rfind("message ", 0) == 0)
            out.push_back(note.substr(8));
    return out;
}

VTAObj *make_node(const char *name, uint32_t kind, bool folder, bool lazy, VTAObj_OpFunc op_func) {
    VTAObj *node = VTAObj_Alloc(op_func);
    if (node == nullptr)
        return nullptr;
    VTAObj_SetName(node, name);
    node->VTA_Type = kind;
    node->VTA_IsFolder = folder;
    node->VTA_LoadOnDemand = lazy;
    return node;
}

VTAObj *add_node(VTATree *tree, VTAObj *parent, const char *name, uint32_t kind, bool folder,
                 bool lazy, VTAObj_OpFunc op_func) {
    VTAObj *node = make_node(name, kind, folder, lazy, op_func);
    EXPECT_NE(node, nullptr);
    EXPECT_EQ(VTAObj_Insert(tree, parent, node), VTA_OK) << name;
    return node;
}

std::vector<std::string> child_names(VTATree *tree, VTAObj *parent) {
    std::vector<std::string> names;
    VTAObj *previous = nullptr;
    for (VTAObj *node = parent ? parent->VTA_Child : tree->VTA_Root; node != nullptr;
         node = node->VTA_SibRight) {
        EXPECT_EQ(node->VTA_SibLeft, previous) << node->VTA_Name;
        EXPECT_EQ(node->VTA_Parent, parent) << node->VTA_Name;
        names.push_back(node->VTA_Name);
        previous = node;
    }
    return names;
}

std::string shape(const VTAObj *node) {
    return std::string(node->VTA_Name) + "|" + VTAObj_TypeName(node->VTA_Type) +
           (node->VTA_IsFolder ? "|folder" : "|leaf") + (node->VTA_LoadOnDemand ? "|lazy" : "");
}

std::vector<VTAObj *> children(VTAObj *parent) {
    std::vector<VTAObj *> nodes;
    for (VTAObj *node = parent->VTA_Child; node != nullptr; node = node->VTA_SibRight)
        nodes.push_back(node);
    return nodes;
}

std::string row_text(const VTA_LV_ROW &row) {
    std::string text;
    for (uint32_t c = 0; c < row.VTA_ColCount && c < uint32_t(VTA_LV_MAX_COLS); ++c)
        text += (c ? "|" : "") + std::string(row.VTA_Cells[c].VTA_Text);
    return text;
}

void TreeWithParent::SetUp() {
    tree = VTATree_Create();
    ASSERT_NE(tree, nullptr);
    recorder.attach(tree);
    parent =
        add_node(tree, tree->VTA_Root, "Parent", VTA_OBJ_ALL_FS, true, parent_lazy_, parent_op_);
    recorder.clear();
}

int32_t TreeWithParent::op(uint32_t code, VTAObj *node, void *data, size_t size) {
    msg[0] = '\0';
    return VTATree_Op(tree, code, node, data, size, msg, sizeof msg);
}

void TreeWithParent::TearDown() {
    VTATree_Destroy(&tree);
}
