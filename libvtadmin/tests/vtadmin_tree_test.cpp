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

TEST(TreeCreate, RootIsCurrentLazyConnectionsFolderWithPlaceholder) {
    VTATree *tree = VTATree_Create();
    ASSERT_NE(tree, nullptr);
    VTAObj *root = tree->VTA_Root;
    EXPECT_EQ(shape(root), "Connections|All|folder|lazy");
    EXPECT_EQ(root->VTA_OpFunc, VTAObj_RootOpFunc);
    EXPECT_EQ(VTATree_GetCurrent(tree), root);
    EXPECT_EQ(child_names(tree, nullptr), Names{"Connections"});
    EXPECT_EQ(child_names(tree, root), Names{"_NEED_REFRESH_"});
    EXPECT_EQ(shape(root->VTA_Child), "_NEED_REFRESH_|<Dummy>|folder");
    EXPECT_EQ(root->VTA_Child->VTA_OpFunc, VTAObj_DummyOpFunc);

    VTAObj *host = add_node(tree, root, "alpha", VTA_OBJ_COMPUTER, true, true);
    add_node(tree, host, "Disks", VTA_OBJ_ALL_DISKS, true, false);
    TreeRecorder recorder;
    recorder.attach(tree);
    VTATree_Destroy(&tree);
    EXPECT_EQ(tree, nullptr);
    EXPECT_EQ(recorder.notes, (Names{"removed Disks", "removed alpha", "removed Connections"}));
    VTATree_Destroy(&tree); // null tree pointer: ignored
    VTATree_Destroy(nullptr);
}

// Folders first, then by unsigned byte order of the names; namesakes in insertion order.
TEST_F(TreeStructure, InsertionOrder) {
    const struct {
        const char *name;
        std::vector<std::pair<const char *, bool>> inserted; // name, folder
        Names order;
    } rows[] = {
        {"folders first, then bytes",
         {{"beta", false}, {"Alpha", true}, {"alpha", false}, {"Zeta", true}},
         {"Alpha", "Zeta", "alpha", "beta"}},
        {"high bytes last, leaves never before a folder",
         {{"AAA", false}, {"zz-dir", true}, {"\xc3\xa9t\xc3\xa9", false}, {"a-dir", true}},
         {"a-dir", "zz-dir", "AAA", "\xc3\xa9t\xc3\xa9"}},
        {"namesakes",
         {{"fs", true}, {"a", true}, {"fs", true}, {"z", true}},
         {"a", "fs", "fs", "z"}},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        VTAObj *folder = add_node(tree, parent, "folder", VTA_OBJ_DISK, true, false);
        recorder.clear();
        Names notes;
        for (const auto &[name, is_folder] : row.inserted) {
            add_node(tree, folder, name, VTA_OBJ_VALUE, is_folder, false);
            notes.push_back(std::string("inserted ") + name);
        }
        EXPECT_EQ(child_names(tree, folder), row.order);
        EXPECT_EQ(recorder.notes, notes);
        VTAObj_Delete(tree, &folder);
    }
    // Before the root on the top level: the tree's root field follows the first node.
    VTAObj *first = add_node(tree, nullptr, "AAA", VTA_OBJ_DISK, true, false);
    EXPECT_EQ(tree->VTA_Root, first);
    EXPECT_EQ(child_names(tree, nullptr), (Names{"AAA", "Connections"}));
    VTAObj_Delete(tree, &first);
    EXPECT_EQ(first, nullptr);
    EXPECT_EQ(child_names(tree, nullptr), Names{"Connections"});
}

TEST_F(TreeStructure, FindChildWalksNamesakesAndReportsMisses) {
    VTAObj *first = add_node(tree, parent, "fs", VTA_OBJ_FS_ACTIVE, true, false);
    VTAObj *second = add_node(tree, parent, "fs", VTA_OBJ_FS_STANDBY, true, false);
    VTAObj *leaf = add_node(tree, parent, "one", VTA_OBJ_VALUE, false, false);
    const struct {
        const char *name;
        VTAObj *under, *from;
        const char *wanted;
        int32_t result;
        VTAObj *found;
    } rows[] = {
        {"first namesake", parent, nullptr, "fs", VTA_OK, first},
        {"next namesake", parent, second, "fs", VTA_OK, second},
        {"past the last namesake", parent, leaf, "fs", VTA_ERR_NOT_FOUND, nullptr},
        {"from a start node alone", nullptr, second, "fs", VTA_OK, second},
        {"a prefix is no match", parent, nullptr, "on", VTA_ERR_NOT_FOUND, nullptr},
        {"neither parent nor start", nullptr, nullptr, "one", VTA_ERR_INVALID, nullptr},
        {"no name", parent, nullptr, nullptr, VTA_ERR_INVALID, nullptr},
        {"under a leaf", leaf, nullptr, "one", VTA_ERR_NOT_FOUND, nullptr},
        {"under the root", tree->VTA_Root, nullptr, "Parent", VTA_OK, parent},
    };
    for (const auto &row : rows) {
        VTAObj *found = parent; // any non-null value: must be replaced
        EXPECT_EQ(VTAObj_FindChild(row.under, row.from, row.wanted, &found), row.result)
            << row.name;
        EXPECT_EQ(found, row.found) << row.name;
    }
}

TEST_F(TreeStructure, OnlyFoldersLoadedOnDemandGetAPlaceholderTheFirstChildReplaces) {
    VTAObj *host = add_node(tree, parent, "host", VTA_OBJ_COMPUTER, true, true);
    add_node(tree, host, "Disks", VTA_OBJ_ALL_DISKS, true, false);
    add_node(tree, host, "A", VTA_OBJ_VALUE, false, false);
    EXPECT_EQ(recorder.notes, (Names{"inserted host", "inserted _NEED_REFRESH_",
                                     "removed _NEED_REFRESH_", "inserted Disks", "inserted A"}));
    EXPECT_EQ(child_names(tree, host), (Names{"Disks", "A"}));
    EXPECT_EQ(add_node(tree, parent, "plain", VTA_OBJ_DISK, true, false)->VTA_Child, nullptr);
    EXPECT_EQ(add_node(tree, parent, "leaf", VTA_OBJ_VALUE, false, true)->VTA_Child, nullptr);
    // A placeholder inserted by hand is not given a placeholder of its own.
    EXPECT_EQ(add_node(tree, parent, "_NEED_REFRESH_", VTA_OBJ_DUMMY, true, true)->VTA_Child,
              nullptr);
}

TEST_F(TreeStructure, NthChildCountsFromOneAndFindByKindLooksDownOneLevelOrUp) {
    VTAObj *host = add_node(tree, parent, "host", VTA_OBJ_COMPUTER, true, false);
    VTAObj *disks = add_node(tree, host, "Disks", VTA_OBJ_ALL_DISKS, true, false);
    VTAObj *fs = add_node(tree, host, "File Systems", VTA_OBJ_ALL_FS, true, false);
    VTAObj *disk = add_node(tree, disks, "d1", VTA_OBJ_DISK, true, false);
    const struct {
        const char *name;
        VTAObj *got, *expected;
    } rows[] = {
        {"child 1", VTAObj_GetNthChild(tree, host, 1), disks},
        {"child 0 is the first", VTAObj_GetNthChild(tree, host, 0), disks},
        {"negative is the first", VTAObj_GetNthChild(tree, host, -5), disks},
        {"child 2", VTAObj_GetNthChild(tree, host, 2), fs},
        {"past the end", VTAObj_GetNthChild(tree, host, 3), nullptr},
        {"no parent", VTAObj_GetNthChild(tree, nullptr, 1), nullptr},
        {"no children", VTAObj_GetNthChild(tree, disk, 1), nullptr},
        {"child of kind", VTAObj_FindChildOfType(tree, host, VTA_OBJ_ALL_FS), fs},
        {"grandchild of kind", VTAObj_FindChildOfType(tree, host, VTA_OBJ_DISK), nullptr},
        {"kind, no parent", VTAObj_FindChildOfType(tree, nullptr, VTA_OBJ_DISK), nullptr},
        {"up to the computer", VTAObj_FindUpOfType(tree, disk, VTA_OBJ_COMPUTER), host},
        {"up from itself", VTAObj_FindUpOfType(tree, disk, VTA_OBJ_DISK), disk},
        {"up to the root", VTAObj_FindUpOfType(tree, disk, VTA_OBJ_ALL), tree->VTA_Root},
        {"up, no such kind", VTAObj_FindUpOfType(tree, disk, VTA_OBJ_FS_ACTIVE), nullptr},
        {"up, no node", VTAObj_FindUpOfType(tree, nullptr, VTA_OBJ_ALL), nullptr},
    };
    for (const auto &row : rows)
        EXPECT_EQ(row.got, row.expected) << row.name;
}

TEST_F(TreeStructure, UnlinkJoinsNeighboursAndDeleteAnnouncesTheSubtreeChildrenFirst) {
    VTAObj *a = add_node(tree, parent, "a", VTA_OBJ_VALUE, false, false);
    VTAObj *b = add_node(tree, parent, "b", VTA_OBJ_VALUE, false, false);
    VTAObj *c = add_node(tree, parent, "c", VTA_OBJ_VALUE, false, false);
    recorder.clear();
    VTAObj_Unlink(tree, b);
    EXPECT_EQ(child_names(tree, parent), (Names{"a", "c"}));
    EXPECT_TRUE(!b->VTA_Parent && !b->VTA_SibLeft && !b->VTA_SibRight);
    VTAObj_Free(&b);
    EXPECT_EQ(b, nullptr);
    VTAObj_Unlink(tree, a);
    EXPECT_EQ(parent->VTA_Child, c);
    VTAObj_Free(&a);
    VTAObj_Unlink(nullptr, c); // ignored
    VTAObj_Unlink(tree, nullptr);
    EXPECT_EQ(child_names(tree, parent), (Names{"c"}));
    EXPECT_EQ(recorder.notes, (Names{"removed b", "removed a"}));

    VTAObj *host = add_node(tree, parent, "host", VTA_OBJ_COMPUTER, true, false);
    VTAObj *fs = add_node(tree, host, "FS", VTA_OBJ_ALL_FS, true, false);
    add_node(tree, fs, "fs1", VTA_OBJ_FS_ACTIVE, true, false);
    add_node(tree, fs, "fs2", VTA_OBJ_FS_DOWN, true, true);
    add_node(tree, host, "x", VTA_OBJ_VALUE, false, false);
    tree->VTA_Current = host;
    recorder.clear();
    VTAObj_Delete(tree, &host);
    EXPECT_EQ(host, nullptr);
    EXPECT_EQ(recorder.notes, (Names{"removed fs1", "removed _NEED_REFRESH_", "removed fs2",
                                     "removed FS", "removed x", "removed host"}))
        << "no current-changed note either";
    EXPECT_EQ(VTATree_GetCurrent(tree), nullptr);
    EXPECT_EQ(child_names(tree, parent), (Names{"c"}));
    VTAObj_Delete(tree, &host); // null node: ignored
}

TEST(TreeTypeName, NamesOfTheKindsAndEmptyOnesBetween) {
    EXPECT_STREQ(VTAObj_TypeName(VTA_OBJ_INVALID), "<Invalid>");
    EXPECT_STREQ(VTAObj_TypeName(VTA_OBJ_VALUE), "Value");
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

std::string value_row(const char *name, const VTA_VALUE_DATA &value, uint32_t kind) {
    VTAObj *node = make_node(name, kind, kind != VTA_OBJ_VALUE, false, VTAObj_ValueOpFunc);
    VTAObj_SetData(node, &value, sizeof value);
    VTA_LV_ROW row{};
    row.VTA_Node = node;
    VTAObj_ValueRow(&row);
    VTAObj_Free(&node);
    return row_text(row);
}

// The text when set, else the size, else the number; names and texts cut to 80 characters.
TEST(TreeValueRow, ShowsTheFirstValueThatIsSet) {
    VTA_VALUE_DATA v{};
    EXPECT_EQ(value_row("Size", v, VTA_OBJ_VALUE), "Size|<Not Initialized>");
    EXPECT_EQ(value_row("Disks", v, VTA_OBJ_ALL_DISKS), "<No Object>|????");
    v.VTA_HasNumber = 1;
    v.VTA_Number = 0x1234ABCDEF0ull;
    EXPECT_EQ(value_row("Size", v, VTA_OBJ_VALUE), "Size|0x1234abcdef0");
    v.VTA_HasSize = 1;
    v.VTA_Size = 10737418240ull;
    EXPECT_EQ(value_row("Size", v, VTA_OBJ_VALUE), "Size|10G");
    v.VTA_Size = 1536;
    EXPECT_EQ(value_row("Size", v, VTA_OBJ_VALUE), "Size|1536");
    strcpy(v.VTA_Text, "4768M");
    EXPECT_EQ(value_row("Size", v, VTA_OBJ_VALUE), "Size|4768M");
    memset(v.VTA_Text, 't', sizeof v.VTA_Text); // no terminating NUL
    EXPECT_EQ(value_row(std::string(200, 'n').c_str(), v, VTA_OBJ_VALUE),
              std::string(80, 'n') + "|" + std::string(80, 't'));
    VTA_LV_ROW row{};
    VTAObj_ValueRow(&row);
    EXPECT_EQ(row_text(row), "<No Object>|????");
}

// Nodes from the pool or allocated on their own: new ones and ones that take the place of a
// freed node are all zero but for their operation function (and where they came from).
TEST(TreeNodeMemory, AllocGivesAZeroedRecordAlsoInPlaceOfAFreedNode) {
    for (bool pooled : {true, false}) {
        VTAObj_SetNodeMemory(pooled, VTA_NODE_MEMORY_KEPT);
        VTAObj *used[2] = {};
        for (int i = 0; i < 8; ++i) {
            VTAObj *node = used[i % 2] = VTAObj_Alloc(VTAObj_ValueOpFunc);
            ASSERT_NE(node, nullptr);
            VTAObj expected{};
            expected.VTA_OpFunc = VTAObj_ValueOpFunc;
            expected.VTA_Pooled = pooled;
            EXPECT_EQ(memcmp(node, &expected, sizeof expected), 0) << pooled << " node " << i;
            // Every field written, as a node in use has them, before it goes back.
            memset(node, 0xA5, sizeof *node);
            node->VTA_Parent = node->VTA_Child = node->VTA_SibLeft = node->VTA_SibRight = nullptr;
            node->VTA_Pooled = pooled;
            if (i % 2 == 1)
                for (VTAObj *&freed : used)
                    VTAObj_Free(&freed);
        }
    }
    VTAObj_SetNodeMemory(true, VTA_NODE_MEMORY_KEPT);
}

TEST_F(TreeStructure, SetMessageInsertsOnceThenReusesTheNode) {
    ASSERT_EQ(VTAObj_SetMessage(tree, parent, "Status", "Connecting", msg, sizeof msg), VTA_OK);
    VTAObj *node = parent->VTA_Child;
    EXPECT_EQ(shape(node), "Status|Value|leaf");
    EXPECT_EQ(node->VTA_OpFunc, VTAObj_ValueOpFunc);
    const std::string long_text(100, 'x');
    ASSERT_EQ(VTAObj_SetMessage(tree, parent, "Status", long_text.c_str(), msg, sizeof msg),
              VTA_OK);
    EXPECT_EQ(parent->VTA_Child, node);
    VTA_VALUE_DATA value{};
    VTAObj_GetData(node, &value, sizeof value);
    EXPECT_EQ(value.VTA_Text, std::string(79, 'x'));
    EXPECT_EQ(recorder.notes, (Names{"inserted Status", "updated Status"}));

    // An existing child of the name becomes a value node; its old value is not kept.
    VTAObj *disk = add_node(tree, parent, "d1", VTA_OBJ_DISK, true, false);
    value.VTA_HasSize = 1;
    VTAObj_SetData(disk, &value, sizeof value);
    ASSERT_EQ(VTAObj_SetMessage(tree, parent, "d1", "", msg, sizeof msg), VTA_OK);
    EXPECT_EQ(disk->VTA_Type, VTA_OBJ_VALUE);
    VTAObj_GetData(disk, &value, sizeof value);
    EXPECT_TRUE(value.VTA_Text[0] == '\0' && !value.VTA_HasSize);

    EXPECT_EQ(VTAObj_SetMessage(tree, nullptr, "x", "t", msg, sizeof msg), VTA_ERR_INVALID);
    EXPECT_STREQ(msg, "Unexpected error 22 Message node");
    EXPECT_EQ(VTAObj_SetMessage(nullptr, parent, "x", "t", msg, sizeof msg), VTA_ERR_INVALID);
    EXPECT_STREQ(msg, "Unexpected error inserting node 'x'");
    EXPECT_EQ(child_names(tree, parent), (Names{"d1", "Status"}));
}

// ---- Broken link invariants stop the process ----

std::string report(const char *expression) {
    return std::string("PANIC: [a-z]+ ASSERT failed \"") + expression +
           "\" file vtadmin_tree, line [0-9]+";
}

TEST(TreeDeathTest, BrokenLinksStopFreeInsertAndUnlink) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    VTAObj other{};
    VTAObj *node = VTAObj_Alloc(nullptr);
    node->VTA_Parent = node->VTA_Child = node->VTA_SibLeft = node->VTA_SibRight = &other;
    // Checked in this order: each link is reported once those before it are clear.
    const std::pair<VTAObj **, const char *> links[] = {
        {&node->VTA_Parent, "VTAObj->VTA_Parent == NULL"},
        {&node->VTA_Child, "VTAObj->VTA_Child == NULL"},
        {&node->VTA_SibLeft, "VTAObj->VTA_SibLeft == NULL"},
        {&node->VTA_SibRight, "VTAObj->VTA_SibRight == NULL"},
    };
    for (const auto &[link, expression] : links) {
        EXPECT_DEATH(VTAObj_Free(&node), report(expression));
        *link = nullptr;
    }
    VTAObj_Free(&node);
    EXPECT_EQ(node, nullptr);

    VTATree *tree = VTATree_Create();
    VTAObj *root = tree->VTA_Root;
    EXPECT_DEATH(VTAObj_Insert(tree, nullptr, root->VTA_Child),
                 report("VTAObj->VTA_Parent == NULL"));
    EXPECT_DEATH(VTAObj_Unlink(tree, root), report("VTAObj->VTA_Child == NULL"));
    VTAObj *a = add_node(tree, root, "a", VTA_OBJ_VALUE, false, false);
    VTAObj *b = add_node(tree, root, "b", VTA_OBJ_VALUE, false, false);
    a->VTA_Parent = b->VTA_Parent = nullptr; // a: no left sibling but a right one; b: the reverse
    EXPECT_DEATH(VTAObj_Insert(tree, root, a), report("VTAObj->VTA_SibRight == NULL"));
    EXPECT_DEATH(VTAObj_Insert(tree, root, b), report("VTAObj->VTA_SibLeft == NULL"));
    a->VTA_Parent = b->VTA_Parent = root;
    VTATree_Destroy(&tree);
}

} // namespace
