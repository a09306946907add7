// Structure of the admin tree: creation, sorted insertion, placeholders, search, unlinking,
// deletion, kind names, value rows and message leaves.
#include "libvtadmin/vtadmin_tree.h"
#include "support_tree.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using Names = std::vector<std::string>;

using TreeStructure = TreeWithParent;

void set_value(VTAObj *node, const VTA_VALUE_DATA &value) {
    VTAObj_SetData(node, &value, sizeof value);
}

std::string cell(const VTA_LV_ROW &row, int col) {
    return row.VTA_Cells[col].VTA_Text;
}

TEST(TreeCreate, RootIsCurrentLazyConnectionsFolderWithPlaceholder) {
    VTATree *tree = VTATree_Create();
    ASSERT_NE(tree, nullptr);
    VTAObj *root = tree->VTA_Root;
    ASSERT_NE(root, nullptr);
    EXPECT_STREQ(root->VTA_Name, "Connections");
    EXPECT_EQ(root->VTA_Type, VTA_OBJ_ALL);
    EXPECT_EQ(root->VTA_IsFolder, 1);
    EXPECT_EQ(root->VTA_LoadOnDemand, 1);
    EXPECT_EQ(root->VTA_OpFunc, VTAObj_RootOpFunc);
    EXPECT_EQ(root->VTA_Parent, nullptr);
    EXPECT_EQ(root->VTA_SibRight, nullptr);
    EXPECT_EQ(VTATree_GetCurrent(tree), root);
    EXPECT_EQ(tree->VTA_Owner, nullptr);
    EXPECT_EQ(tree->VTA_Notify, nullptr);

    VTAObj *placeholder = root->VTA_Child;
    ASSERT_NE(placeholder, nullptr);
    EXPECT_STREQ(placeholder->VTA_Name, "_NEED_REFRESH_");
    EXPECT_EQ(placeholder->VTA_Type, VTA_OBJ_DUMMY);
    EXPECT_EQ(placeholder->VTA_IsFolder, 1);
    EXPECT_EQ(placeholder->VTA_LoadOnDemand, 0);
    EXPECT_EQ(placeholder->VTA_Child, nullptr);
    EXPECT_EQ(placeholder->VTA_SibRight, nullptr);
    VTATree_Destroy(&tree);
}

TEST(TreeCreate, DestroyClearsPointerAndAnnouncesChildrenBeforeParents) {
    VTATree *tree = VTATree_Create();
    ASSERT_NE(tree, nullptr);
    VTAObj *host = add_node(tree, tree->VTA_Root, "alpha", VTA_OBJ_COMPUTER, true, true);
    add_node(tree, host, "Disks", VTA_OBJ_ALL_DISKS, true, false);
    TreeRecorder recorder;
    recorder.attach(tree);
    VTATree_Destroy(&tree);
    EXPECT_EQ(tree, nullptr);
    EXPECT_EQ(recorder.notes, (Names{"removed Disks", "removed alpha", "removed Connections"}));

    VTATree_Destroy(&tree); // null tree pointer: ignored
    VTATree_Destroy(nullptr);
}

TEST_F(TreeStructure, FoldersFirstThenByteOrderOfNames) {
    add_node(tree, parent, "beta", VTA_OBJ_VALUE, false, false);
    add_node(tree, parent, "Alpha", VTA_OBJ_DISK, true, false);
    add_node(tree, parent, "alpha", VTA_OBJ_VALUE, false, false);
    add_node(tree, parent, "Zeta", VTA_OBJ_DISK, true, false);
    EXPECT_EQ(child_names(tree, parent), (Names{"Alpha", "Zeta", "alpha", "beta"}));
    EXPECT_EQ(recorder.notes,
              (Names{"inserted beta", "inserted Alpha", "inserted alpha", "inserted Zeta"}));
}

TEST_F(TreeStructure, NonFolderNeverGoesBeforeAFolderAndBytesCompareUnsigned) {
    add_node(tree, parent, "AAA", VTA_OBJ_VALUE, false, false);
    add_node(tree, parent, "zz-folder", VTA_OBJ_DISK, true, false);
    add_node(tree, parent, "\xc3\xa9t\xc3\xa9", VTA_OBJ_VALUE, false, false); // UTF-8, high bytes
    add_node(tree, parent, "a-folder", VTA_OBJ_DISK, true, false);
    add_node(tree, parent, "zzz", VTA_OBJ_VALUE, false, false);
    EXPECT_EQ(child_names(tree, parent),
              (Names{"a-folder", "zz-folder", "AAA", "zzz", "\xc3\xa9t\xc3\xa9"}));
}

TEST_F(TreeStructure, TopLevelInsertionKeepsTheRootFieldOnTheFirstNode) {
    VTAObj *first = add_node(tree, nullptr, "AAA", VTA_OBJ_DISK, true, false);
    EXPECT_EQ(tree->VTA_Root, first);
    EXPECT_EQ(child_names(tree, nullptr), (Names{"AAA", "Connections"}));
    VTAObj_Delete(tree, &first);
    EXPECT_EQ(first, nullptr);
    EXPECT_STREQ(tree->VTA_Root->VTA_Name, "Connections");
    EXPECT_EQ(tree->VTA_Root->VTA_SibLeft, nullptr);
}

TEST_F(TreeStructure, NamesakesKeepInsertionOrderAndAreFoundOneAfterAnother) {
    VTAObj *first = add_node(tree, parent, "fs", VTA_OBJ_FS_ACTIVE, true, false);
    add_node(tree, parent, "a", VTA_OBJ_FS_ACTIVE, true, false);
    VTAObj *second = add_node(tree, parent, "fs", VTA_OBJ_FS_STANDBY, true, false);
    add_node(tree, parent, "z", VTA_OBJ_FS_ACTIVE, true, false);
    EXPECT_EQ(child_names(tree, parent), (Names{"a", "fs", "fs", "z"}));
    EXPECT_EQ(first->VTA_SibRight, second);

    VTAObj *found = nullptr;
    EXPECT_EQ(VTAObj_FindChild(parent, nullptr, "fs", &found), VTA_OK);
    EXPECT_EQ(found, first);
    EXPECT_EQ(VTAObj_FindChild(parent, found->VTA_SibRight, "fs", &found), VTA_OK);
    EXPECT_EQ(found, second);
    EXPECT_EQ(VTAObj_FindChild(parent, found->VTA_SibRight, "fs", &found), VTA_ERR_NOT_FOUND);
    EXPECT_EQ(found, nullptr);
    // The start node itself is part of the search.
    EXPECT_EQ(VTAObj_FindChild(nullptr, second, "fs", &found), VTA_OK);
    EXPECT_EQ(found, second);
}

TEST_F(TreeStructure, FindChildReportsMissingNamesAndArguments) {
    add_node(tree, parent, "one", VTA_OBJ_VALUE, false, false);
    VTAObj *found = parent; // any non-null value: must be cleared
    EXPECT_EQ(VTAObj_FindChild(parent, nullptr, "on", &found), VTA_ERR_NOT_FOUND);
    EXPECT_EQ(found, nullptr);
    found = parent;
    EXPECT_EQ(VTAObj_FindChild(nullptr, nullptr, "one", &found), VTA_ERR_INVALID);
    EXPECT_EQ(found, nullptr);
    found = parent;
    EXPECT_EQ(VTAObj_FindChild(parent, nullptr, nullptr, &found), VTA_ERR_INVALID);
    EXPECT_EQ(found, nullptr);
    VTAObj *leaf = parent->VTA_Child;
    EXPECT_EQ(VTAObj_FindChild(leaf, nullptr, "one", &found), VTA_ERR_NOT_FOUND);
    EXPECT_EQ(VTAObj_FindChild(tree->VTA_Root, nullptr, "Parent", &found), VTA_OK);
    EXPECT_EQ(found, parent);
}

TEST_F(TreeStructure, LazyFolderGetsPlaceholderThatTheFirstRealChildReplaces) {
    VTAObj *host = add_node(tree, parent, "host", VTA_OBJ_COMPUTER, true, true);
    EXPECT_EQ(recorder.notes, (Names{"inserted host", "inserted _NEED_REFRESH_"}));
    ASSERT_NE(host->VTA_Child, nullptr);
    EXPECT_EQ(host->VTA_Child->VTA_Type, VTA_OBJ_DUMMY);
    EXPECT_EQ(host->VTA_Child->VTA_OpFunc, VTAObj_DummyOpFunc);

    recorder.clear();
    add_node(tree, host, "Disks", VTA_OBJ_ALL_DISKS, true, false);
    EXPECT_EQ(recorder.notes, (Names{"removed _NEED_REFRESH_", "inserted Disks"}));
    EXPECT_EQ(child_names(tree, host), (Names{"Disks"}));

    recorder.clear();
    add_node(tree, host, "A", VTA_OBJ_VALUE, false, false);
    EXPECT_EQ(recorder.notes, (Names{"inserted A"})); // the placeholder was only the first
}

TEST_F(TreeStructure, OnlyFoldersThatLoadOnDemandGetAPlaceholder) {
    VTAObj *plain = add_node(tree, parent, "plain", VTA_OBJ_DISK, true, false);
    VTAObj *lazy_leaf = add_node(tree, parent, "leaf", VTA_OBJ_VALUE, false, true);
    EXPECT_EQ(plain->VTA_Child, nullptr);
    EXPECT_EQ(lazy_leaf->VTA_Child, nullptr);
    // A placeholder inserted by hand is not given a placeholder of its own.
    VTAObj *dummy = add_node(tree, parent, "_NEED_REFRESH_", VTA_OBJ_DUMMY, true, true);
    EXPECT_EQ(dummy->VTA_Child, nullptr);
}

TEST_F(TreeStructure, NthChildCountsFromOne) {
    VTAObj *only = add_node(tree, parent, "only", VTA_OBJ_VALUE, false, false);
    EXPECT_EQ(VTAObj_GetNthChild(tree, parent, 0), only);
    EXPECT_EQ(VTAObj_GetNthChild(tree, parent, 1), only);
    EXPECT_EQ(VTAObj_GetNthChild(tree, parent, -5), only);
    EXPECT_EQ(VTAObj_GetNthChild(tree, parent, 2), nullptr);
    VTAObj *last = add_node(tree, parent, "z", VTA_OBJ_VALUE, false, false);
    EXPECT_EQ(VTAObj_GetNthChild(tree, parent, 2), last);
    EXPECT_EQ(VTAObj_GetNthChild(tree, parent, 3), nullptr);
    EXPECT_EQ(VTAObj_GetNthChild(tree, nullptr, 1), nullptr);
    EXPECT_EQ(VTAObj_GetNthChild(tree, only, 1), nullptr);
}

TEST_F(TreeStructure, FindByKindDownOneLevelAndUpTheAncestors) {
    VTAObj *host = add_node(tree, parent, "host", VTA_OBJ_COMPUTER, true, false);
    VTAObj *disks = add_node(tree, host, "Disks", VTA_OBJ_ALL_DISKS, true, false);
    VTAObj *fs = add_node(tree, host, "File Systems", VTA_OBJ_ALL_FS, true, false);
    VTAObj *disk = add_node(tree, disks, "d1", VTA_OBJ_DISK, true, false);

    EXPECT_EQ(VTAObj_FindChildOfType(tree, host, VTA_OBJ_ALL_FS), fs);
    EXPECT_EQ(VTAObj_FindChildOfType(tree, host, VTA_OBJ_DISK), nullptr); // grandchild only
    EXPECT_EQ(VTAObj_FindChildOfType(tree, nullptr, VTA_OBJ_DISK), nullptr);

    EXPECT_EQ(VTAObj_FindUpOfType(tree, disk, VTA_OBJ_COMPUTER), host);
    EXPECT_EQ(VTAObj_FindUpOfType(tree, disk, VTA_OBJ_DISK), disk);
    EXPECT_EQ(VTAObj_FindUpOfType(tree, disk, VTA_OBJ_ALL), tree->VTA_Root);
    EXPECT_EQ(VTAObj_FindUpOfType(tree, disk, VTA_OBJ_FS_ACTIVE), nullptr);
    EXPECT_EQ(VTAObj_FindUpOfType(tree, nullptr, VTA_OBJ_ALL), nullptr);
}

TEST_F(TreeStructure, UnlinkJoinsNeighboursAndMovesTheFirstChild) {
    VTAObj *a = add_node(tree, parent, "a", VTA_OBJ_VALUE, false, false);
    VTAObj *b = add_node(tree, parent, "b", VTA_OBJ_VALUE, false, false);
    VTAObj *c = add_node(tree, parent, "c", VTA_OBJ_VALUE, false, false);
    recorder.clear();

    VTAObj_Unlink(tree, b);
    EXPECT_EQ(child_names(tree, parent), (Names{"a", "c"}));
    EXPECT_EQ(b->VTA_Parent, nullptr);
    EXPECT_EQ(b->VTA_SibLeft, nullptr);
    EXPECT_EQ(b->VTA_SibRight, nullptr);
    VTAObj_Free(&b);
    EXPECT_EQ(b, nullptr);

    VTAObj_Unlink(tree, a);
    EXPECT_EQ(parent->VTA_Child, c);
    EXPECT_EQ(child_names(tree, parent), (Names{"c"}));
    VTAObj_Free(&a);
    EXPECT_EQ(recorder.notes, (Names{"removed b", "removed a"}));

    VTAObj_Unlink(nullptr, c); // ignored
    VTAObj_Unlink(tree, nullptr);
    EXPECT_EQ(parent->VTA_Child, c);
}

TEST_F(TreeStructure, UnlinkingTheCurrentNodeLeavesNoCurrentNode) {
    VTAObj *node = add_node(tree, parent, "n", VTA_OBJ_VALUE, false, false);
    tree->VTA_Current = node;
    recorder.clear();
    VTAObj_Delete(tree, &node);
    EXPECT_EQ(VTATree_GetCurrent(tree), nullptr);
    EXPECT_EQ(recorder.notes, (Names{"removed n"})); // no current-changed note
}

TEST_F(TreeStructure, DeleteAnnouncesTheWholeSubtreeChildrenFirst) {
    VTAObj *host = add_node(tree, parent, "host", VTA_OBJ_COMPUTER, true, false);
    VTAObj *fs = add_node(tree, host, "FS", VTA_OBJ_ALL_FS, true, false);
    add_node(tree, fs, "fs1", VTA_OBJ_FS_ACTIVE, true, false);
    add_node(tree, fs, "fs2", VTA_OBJ_FS_DOWN, true, true);
    add_node(tree, host, "x", VTA_OBJ_VALUE, false, false);
    add_node(tree, parent, "keep", VTA_OBJ_VALUE, false, false);
    recorder.clear();

    VTAObj *doomed = host;
    VTAObj_Delete(tree, &doomed);
    EXPECT_EQ(doomed, nullptr);
    EXPECT_EQ(recorder.notes, (Names{"removed fs1", "removed _NEED_REFRESH_", "removed fs2",
                                     "removed FS", "removed x", "removed host"}));
    EXPECT_EQ(child_names(tree, parent), (Names{"keep"}));
    VTAObj_Delete(tree, &doomed); // null node: ignored
}

TEST(TreeTypeName, TableNamesAndEmptyOnes) {
    EXPECT_STREQ(VTAObj_TypeName(VTA_OBJ_INVALID), "<Invalid>");
    EXPECT_STREQ(VTAObj_TypeName(VTA_OBJ_DUMMY), "<Dummy>");
    EXPECT_STREQ(VTAObj_TypeName(VTA_OBJ_VALUE), "Value");
    EXPECT_STREQ(VTAObj_TypeName(VTA_OBJ_ALL), "All");
    EXPECT_STREQ(VTAObj_TypeName(VTA_OBJ_COMPUTER), "Computer");
    EXPECT_STREQ(VTAObj_TypeName(VTA_OBJ_FS_STANDBY), "File System (Standby)");
    EXPECT_STREQ(VTAObj_TypeName(VTA_OBJ_SG_DISABLED), "Stripe Group (Disabled)");
    EXPECT_STREQ(VTAObj_TypeName(VTA_OBJ_QUOTA_DIR), "Quota (Directory)");
    EXPECT_STREQ(VTAObj_TypeName(VTA_OBJ_QOS), "Quality of Service");
    EXPECT_STREQ(VTAObj_TypeName(VTA_OBJ_DEBUG), "Debug");
    EXPECT_STREQ(VTAObj_TypeName(VTA_OBJ_LAST), "<Last>");
    for (uint32_t kind : {3u, 6u, 19u, 22u, 30u, 0xFFFFFFFFu})
        EXPECT_STREQ(VTAObj_TypeName(kind), "") << kind;
}

TEST(TreeValueRow, ShowsTextThenSizeThenNumberThenNotInitialized) {
    VTAObj *node = make_node("Size", VTA_OBJ_VALUE, false, false, VTAObj_ValueOpFunc);
    VTA_LV_ROW row{};
    row.VTA_Node = node;

    VTA_VALUE_DATA value{};
    set_value(node, value);
    VTAObj_ValueRow(&row);
    EXPECT_EQ(row.VTA_ColCount, 2u);
    EXPECT_EQ(cell(row, 0), "Size");
    EXPECT_EQ(cell(row, 1), "<Not Initialized>");

    value.VTA_HasNumber = 1;
    value.VTA_Number = 0x1234ABCDEF0ull;
    set_value(node, value);
    VTAObj_ValueRow(&row);
    EXPECT_EQ(cell(row, 1), "0x1234abcdef0");

    value.VTA_HasSize = 1;
    value.VTA_Size = 10737418240ull;
    set_value(node, value);
    VTAObj_ValueRow(&row);
    EXPECT_EQ(cell(row, 1), "10G");
    value.VTA_Size = 1536;
    set_value(node, value);
    VTAObj_ValueRow(&row);
    EXPECT_EQ(cell(row, 1), "1536");

    strcpy(value.VTA_Text, "4768M");
    set_value(node, value);
    VTAObj_ValueRow(&row);
    EXPECT_EQ(cell(row, 1), "4768M");
    VTAObj_Free(&node);
}

TEST(TreeValueRow, CutsLongNamesAndFullTextsToEightyCharacters) {
    std::string name(200, 'n');
    VTAObj *node = make_node(name.c_str(), VTA_OBJ_VALUE, false, false, VTAObj_ValueOpFunc);
    VTA_VALUE_DATA value{};
    memset(value.VTA_Text, 't', sizeof value.VTA_Text); // no terminating NUL
    set_value(node, value);
    VTA_LV_ROW row{};
    row.VTA_Node = node;
    VTAObj_ValueRow(&row);
    EXPECT_EQ(cell(row, 0), std::string(80, 'n'));
    EXPECT_EQ(cell(row, 1), std::string(80, 't'));
    VTAObj_Free(&node);
}

TEST(TreeValueRow, NoObjectForMissingOrNonValueNodes) {
    VTA_LV_ROW row{};
    VTAObj_ValueRow(&row);
    EXPECT_EQ(row.VTA_ColCount, 2u);
    EXPECT_EQ(cell(row, 0), "<No Object>");
    EXPECT_EQ(cell(row, 1), "????");

    VTAObj *folder = make_node("Disks", VTA_OBJ_ALL_DISKS, true, false);
    row.VTA_Node = folder;
    VTAObj_ValueRow(&row);
    EXPECT_EQ(cell(row, 0), "<No Object>");
    EXPECT_EQ(cell(row, 1), "????");
    VTAObj_Free(&folder);
}

// Nodes from the pool or allocated on their own: new ones and ones that take the place of a
// freed node are all zero but for their operation function (and where they came from).
TEST(TreeNodeMemory, AllocGivesAZeroedRecordAlsoInPlaceOfAFreedNode) {
    for (bool pooled : {true, false}) {
        VTAObj_SetNodeMemory(pooled, VTA_NODE_MEMORY_KEPT);
        std::vector<VTAObj *> used;
        for (int i = 0; i < 8; ++i) {
            VTAObj *node = VTAObj_Alloc(VTAObj_ValueOpFunc);
            ASSERT_NE(node, nullptr);
            VTAObj expected{};
            expected.VTA_OpFunc = VTAObj_ValueOpFunc;
            expected.VTA_Pooled = pooled;
            EXPECT_EQ(memcmp(node, &expected, sizeof expected), 0)
                << (pooled ? "pooled" : "own") << " node " << i;
            // Every field written, as a node in use has them, before it goes back.
            memset(node, 0xA5, sizeof *node);
            node->VTA_Parent = node->VTA_Child = node->VTA_SibLeft = node->VTA_SibRight = nullptr;
            node->VTA_Pooled = pooled;
            used.push_back(node);
            if (i % 2 == 1) {
                for (VTAObj *&freed : used)
                    VTAObj_Free(&freed);
                used.clear();
            }
        }
    }
    VTAObj_SetNodeMemory(true, VTA_NODE_MEMORY_KEPT);
}

TEST_F(TreeStructure, SetMessageInsertsOnceThenReusesTheNode) {
    char msg[256] = "";
    ASSERT_EQ(VTAObj_SetMessage(tree, parent, "Status", "Connecting", msg, sizeof msg), VTA_OK);
    VTAObj *node = nullptr;
    ASSERT_EQ(VTAObj_FindChild(parent, nullptr, "Status", &node), VTA_OK);
    EXPECT_EQ(node->VTA_Type, VTA_OBJ_VALUE);
    EXPECT_EQ(node->VTA_OpFunc, VTAObj_ValueOpFunc);
    EXPECT_EQ(node->VTA_IsFolder, 0);
    VTA_LV_ROW row{};
    row.VTA_Node = node;
    VTAObj_ValueRow(&row);
    EXPECT_EQ(cell(row, 1), "Connecting");

    std::string long_text(100, 'x');
    ASSERT_EQ(VTAObj_SetMessage(tree, parent, "Status", long_text.c_str(), msg, sizeof msg),
              VTA_OK);
    VTAObj *again = nullptr;
    ASSERT_EQ(VTAObj_FindChild(parent, nullptr, "Status", &again), VTA_OK);
    EXPECT_EQ(again, node);
    EXPECT_EQ(again->VTA_SibRight, nullptr); // still one child of that name
    VTAObj_ValueRow(&row);
    EXPECT_EQ(cell(row, 1), std::string(79, 'x'));
    EXPECT_EQ(recorder.notes, (Names{"inserted Status", "updated Status"}));
}

TEST_F(TreeStructure, SetMessageTurnsAnExistingChildIntoAValueNode) {
    VTAObj *disk = add_node(tree, parent, "d1", VTA_OBJ_DISK, true, false);
    VTA_VALUE_DATA stale{};
    stale.VTA_HasSize = 1;
    stale.VTA_Size = 4096;
    set_value(disk, stale);
    char msg[64] = "";
    ASSERT_EQ(VTAObj_SetMessage(tree, parent, "d1", "", msg, sizeof msg), VTA_OK);
    EXPECT_EQ(disk->VTA_Type, VTA_OBJ_VALUE);
    VTA_LV_ROW row{};
    row.VTA_Node = disk;
    VTAObj_ValueRow(&row);
    EXPECT_EQ(cell(row, 1), "<Not Initialized>"); // the old size is not kept
}

TEST_F(TreeStructure, SetMessageErrors) {
    char msg[256] = "";
    EXPECT_EQ(VTAObj_SetMessage(tree, nullptr, "x", "t", msg, sizeof msg), VTA_ERR_INVALID);
    EXPECT_STREQ(msg, "Unexpected error 22 Message node");

    msg[0] = '\0';
    EXPECT_EQ(VTAObj_SetMessage(nullptr, parent, "x", "t", msg, sizeof msg), VTA_ERR_INVALID);
    EXPECT_STREQ(msg, "Unexpected error inserting node 'x'");
    EXPECT_EQ(parent->VTA_Child, nullptr);
}

// ---- Broken link invariants stop the process ----

const char *report(const char *expression) {
    static std::string text;
    text = std::string("PANIC: [a-z]+ ASSERT failed \"") + expression +
           "\" file vtadmin_tree, line [0-9]+";
    return text.c_str();
}

class TreeDeathTest : public ::testing::Test {
protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(TreeDeathTest, FreeChecksEveryLinkInOrder) {
    VTAObj other{};
    VTAObj *node = VTAObj_Alloc(nullptr);
    node->VTA_Parent = &other;
    node->VTA_SibRight = &other; // reported only after the parent
    EXPECT_DEATH(VTAObj_Free(&node), report("VTAObj->VTA_Parent == NULL"));
    node->VTA_Parent = nullptr;
    node->VTA_Child = &other;
    EXPECT_DEATH(VTAObj_Free(&node), report("VTAObj->VTA_Child == NULL"));
    node->VTA_Child = nullptr;
    node->VTA_SibLeft = &other;
    EXPECT_DEATH(VTAObj_Free(&node), report("VTAObj->VTA_SibLeft == NULL"));
    node->VTA_SibLeft = nullptr;
    EXPECT_DEATH(VTAObj_Free(&node), report("VTAObj->VTA_SibRight == NULL"));
    node->VTA_SibRight = nullptr;
    VTAObj_Free(&node);
    EXPECT_EQ(node, nullptr);
}

TEST_F(TreeDeathTest, InsertingALinkedNodeStops) {
    VTATree *tree = VTATree_Create();
    VTAObj *root = tree->VTA_Root;
    EXPECT_DEATH(VTAObj_Insert(tree, nullptr, root->VTA_Child),
                 report("VTAObj->VTA_Parent == NULL"));
    VTAObj *a = add_node(tree, root, "a", VTA_OBJ_VALUE, false, false);
    add_node(tree, root, "b", VTA_OBJ_VALUE, false, false);
    a->VTA_Parent = nullptr; // first child: no left sibling, but a right one
    EXPECT_DEATH(VTAObj_Insert(tree, root, a), report("VTAObj->VTA_SibRight == NULL"));
    a->VTA_Parent = root;
    VTAObj *second = a->VTA_SibRight;
    second->VTA_Parent = nullptr;
    EXPECT_DEATH(VTAObj_Insert(tree, root, second), report("VTAObj->VTA_SibLeft == NULL"));
    second->VTA_Parent = root;
    VTATree_Destroy(&tree);
}

TEST_F(TreeDeathTest, UnlinkingANodeWithChildrenStops) {
    VTATree *tree = VTATree_Create();
    EXPECT_DEATH(VTAObj_Unlink(tree, tree->VTA_Root), report("VTAObj->VTA_Child == NULL"));
    VTATree_Destroy(&tree);
}

} // namespace
