#include "support_nodes.h"

#include "support_cluster.h"
#include "support_vtadmin.h"

#include "libvtadmin/vtadmin_recent.h"
#include "libvtadmin/vtadminlib.h"

#include <cstdlib>
#include <cstring>

void ClusterTreeTest::SetUp() {
    setenv("TIMEDWAIT_VALUE", "5", 1);
    cluster_ = start_test_cluster(scenario_json());
    ASSERT_NE(cluster_, nullptr);
    VTAdmin_Init();
    write_config_file("cfg.kxntadmin", "");
    VTAObj_RecentResetForTests();
    tree_ = VTATree_Create();
    recorder_.attach(tree_);
    ASSERT_EQ(op(VTA_OP_REFRESH, tree_->VTA_Root), 0) << msg_;
}

void ClusterTreeTest::TearDown() {
    VTATree_Destroy(&tree_);
    VTAdmin_Teardown();
    if (cluster_ != nullptr)
        cluster_stop(cluster_);
    write_config_file("cfg.kxntadmin", "");
}

int32_t ClusterTreeTest::op(uint32_t code, VTAObj *node, void *data, size_t size) {
    msg_[0] = '\0';
    return VTATree_Op(tree_, code, node, data, size, msg_, sizeof msg_);
}

VTAObj *ClusterTreeTest::computer(const char *host) {
    std::string text = host;
    EXPECT_EQ(op(VTA_OP_CREATE, tree_->VTA_Root, text.data(), text.size() + 1), 0) << msg_;
    VTAObj *node = nullptr;
    for (VTAObj *c = tree_->VTA_Root->VTA_Child; c != nullptr; c = c->VTA_SibRight)
        if (strcmp(c->VTA_Name, host) == 0)
            node = c;
    EXPECT_NE(node, nullptr);
    EXPECT_EQ(op(VTA_OP_REFRESH, node), 0) << msg_;
    return node;
}

VTAObj *ClusterTreeTest::open(VTAObj *parent, const char *name, int occurrence) {
    VTAObj *found = nullptr;
    for (VTAObj *c = parent->VTA_Child; c != nullptr; c = c->VTA_SibRight)
        if (strcmp(c->VTA_Name, name) == 0 && --occurrence == 0) {
            found = c;
            break;
        }
    EXPECT_NE(found, nullptr) << name << " under " << parent->VTA_Name;
    if (found != nullptr) {
        EXPECT_EQ(op(VTA_OP_REFRESH, found), 0) << name << ": " << msg_;
    }
    return found;
}

std::vector<std::string> ClusterTreeTest::rows(VTAObj *node) {
    std::vector<std::string> lines;
    for (int32_t n = 0; n < 200; ++n) {
        VTA_LV_ROW row{};
        row.VTA_RowNbr = n;
        if (op(VTA_OP_LV_ROW_GETBYNBR, node, &row, sizeof row) != 0)
            break;
        lines.push_back(row_text(row));
    }
    return lines;
}

std::string ClusterTreeTest::value(VTAObj *node, const char *label) {
    VTAObj *child = nullptr;
    if (VTAObj_FindChild(node, nullptr, label, &child) != 0)
        return "<missing " + std::string(label) + ">";
    VTA_VALUE_DATA data;
    VTAObj_GetData(child, &data, sizeof data);
    return data.VTA_Text;
}

VTAObj *ClusterTreeTest::child(VTAObj *folder, const char *name, uint32_t kind) {
    for (VTAObj *c = folder->VTA_Child; c != nullptr; c = c->VTA_SibRight)
        if (strcmp(c->VTA_Name, name) == 0 && c->VTA_Type == kind)
            return c;
    return nullptr;
}

uint32_t ClusterTreeTest::allowed(VTAObj *node, uint32_t asked) {
    VTA_ALLOW_MENU allow{asked, VTA_MENU_NOT_ALLOWED};
    EXPECT_EQ(op(VTA_OP_ALLOW_MENU, node, &allow, sizeof allow), 0) << msg_;
    return allow.VTA_Answer;
}
