// Structure of the admin tree: creation, sorted insertion, placeholders, search, unlinking,
// deletion, kind names, value rows, message leaves and the child index.
#include "libvtadmin/vtadmin_tree.h"
#include "support_tree.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
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

// ---- The index kept beside the sibling lists: searches, sorted insertion, n-th child and
// child numbers must give what walking the list gives, also after nodes are renamed or turned
// into folders in place, unlinked or deleted. ----

// The list rules written as plain walks, to compare the tree's answers with.
VTAObj *walk_find(VTAObj *from, const char *name) {
    for (VTAObj *node = from; node != nullptr; node = node->VTA_SibRight)
        if (strncmp(node->VTA_Name, name, VTA_NAME_SIZE) == 0)
            return node;
    return nullptr;
}

// The node a new node would be linked before.
VTAObj *walk_insert_before(VTAObj *first, bool folder, const char *name) {
    for (VTAObj *next = first; next != nullptr; next = next->VTA_SibRight) {
        if (folder && !next->VTA_IsFolder)
            return next;
        if ((folder || !next->VTA_IsFolder) && strncmp(name, next->VTA_Name, VTA_NAME_SIZE) < 0)
            return next;
    }
    return nullptr;
}

// Every n-th child and child number of `parent` against the walk; its children are returned.
std::vector<VTAObj *> expect_positions_agree(VTAObj *parent, const std::string &where) {
    const std::vector<VTAObj *> nodes = children(parent);
    for (size_t i = 0; i < nodes.size(); ++i) {
        EXPECT_EQ(VTAObj_GetNthChild(nullptr, parent, static_cast<int32_t>(i + 1)), nodes[i])
            << where << ": child " << i + 1;
        EXPECT_EQ(VTAObj_ChildNumber(nodes[i]), static_cast<int32_t>(i + 1))
            << where << ": number of " << nodes[i]->VTA_Name;
    }
    EXPECT_EQ(VTAObj_GetNthChild(nullptr, parent, static_cast<int32_t>(nodes.size() + 1)), nullptr)
        << where;
    return nodes;
}

// Every search, n-th child and child number of `parent` against the walks.
void expect_index_agrees(VTAObj *parent, const std::vector<std::string> &names,
                         const std::string &where) {
    const std::vector<VTAObj *> nodes = expect_positions_agree(parent, where);
    for (const std::string &name : names) {
        VTAObj *found = nullptr;
        VTAObj_FindChild(parent, nullptr, name.c_str(), &found);
        EXPECT_EQ(found, walk_find(parent->VTA_Child, name.c_str())) << where << ": " << name;
        for (VTAObj *start : nodes) {
            VTAObj_FindChild(parent, start, name.c_str(), &found);
            EXPECT_EQ(found, walk_find(start, name.c_str()))
                << where << ": " << name << " from " << start->VTA_Name;
        }
    }
}

using TreeIndex = TreeWithParent;

TEST_F(TreeIndex, UnlinkingAndDeletingKeepPositionsAndTheLastChildTakesTheIndexAlong) {
    for (const char *name : {"d", "b", "f", "a", "c", "e"})
        add_node(tree, parent, name, VTA_OBJ_VALUE, false, false);
    VTAObj *c = nullptr;
    ASSERT_EQ(VTAObj_FindChild(parent, nullptr, "c", &c), VTA_OK);
    VTAObj_Unlink(tree, c);
    EXPECT_EQ(VTAObj_ChildNumber(c), 1) << "an unlinked node is alone";
    VTAObj_Free(&c);
    VTAObj *first = parent->VTA_Child;
    VTAObj_Delete(tree, &first);
    VTAObj *last = VTAObj_GetNthChild(tree, parent, 4);
    ASSERT_NE(last, nullptr);
    VTAObj_Delete(tree, &last);
    EXPECT_EQ(child_names(tree, parent), (Names{"b", "d", "e"}));
    expect_index_agrees(parent, {"a", "b", "c", "d", "e", "f"}, "after removals");

    while (parent->VTA_Child != nullptr) {
        VTAObj *child = parent->VTA_Child;
        VTAObj_Delete(tree, &child);
    }
    EXPECT_EQ(parent->VTA_ChildIndex, nullptr);
    EXPECT_EQ(VTAObj_GetNthChild(tree, parent, 2), nullptr);
    add_node(tree, parent, "again", VTA_OBJ_VALUE, false, false);
    EXPECT_EQ(VTAObj_GetNthChild(tree, parent, 1)->VTA_Name, std::string("again"));
}

// Random insertions (namesakes, folders, long names) and removals, then also in-place changes,
// checked against the walks after every step.
TEST_F(TreeIndex, RandomEditsAgreeWithWalkingTheList) {
    std::mt19937 random(17);
    const int kSortedSteps = 300; // insertions and removals only: the list stays sorted
    const std::vector<std::string> names = {"a",
                                            "b",
                                            "c",
                                            "B",
                                            "same",
                                            "same-but-longer-than-sixteen-1",
                                            "same-but-longer-than-sixteen-2",
                                            "\xc3\xa9t\xc3\xa9",
                                            "z",
                                            ""};
    auto pick = [&](size_t n) { return static_cast<size_t>(random() % n); };
    for (int step = 0; step < 2 * kSortedSteps; ++step) {
        const std::vector<VTAObj *> nodes = children(parent);
        const size_t action = nodes.empty() ? 0 : pick(step < kSortedSteps ? 7 : 10);
        const std::string &name = names[pick(names.size())];
        std::string where = "step " + std::to_string(step);
        if (action < 5) {
            const bool folder = pick(2) == 0;
            VTAObj *seen = nullptr; // looked for first, as a refresh does before inserting
            VTAObj_FindChild(parent, nullptr, name.c_str(), &seen);
            VTAObj *before = walk_insert_before(parent->VTA_Child, folder, name.c_str());
            VTAObj *node = add_node(tree, parent, name.c_str(), VTA_OBJ_VALUE, folder, false);
            EXPECT_EQ(node->VTA_SibRight, before) << where << ": insert " << name;
        } else if (action < 7) {
            VTAObj *node = nodes[pick(nodes.size())];
            VTAObj_Delete(tree, &node);
        } else if (action < 9) {
            VTAObj_SetName(nodes[pick(nodes.size())], name.c_str());
        } else {
            VTAObj *node = nodes[pick(nodes.size())];
            node->VTA_IsFolder = !node->VTA_IsFolder;
            VTATree_Notify(tree, VTA_NOTE_UPDATED, node);
        }
        expect_index_agrees(parent, names, where);
        if (HasFailure())
            return;
    }
}

// Orders two siblings as the list rules do: -1, 0 or 1.
int list_order(const VTAObj *a, const VTAObj *b) {
    if (a->VTA_IsFolder != b->VTA_IsFolder)
        return a->VTA_IsFolder ? -1 : 1;
    const int c = strncmp(a->VTA_Name, b->VTA_Name, VTA_NAME_SIZE);
    return (c > 0) - (c < 0);
}

// Lists of tens of thousands of nodes make an index several levels deep, whose blocks split as
// the list grows and merge as it shrinks. Every insertion must land after its namesakes and
// before the first greater node; positions, numbers and searches must match the list at each
// stage, down to a single node.
TEST_F(TreeIndex, DeepListsGrowAndShrinkInStep) {
    std::mt19937 random(29);
    std::vector<std::string> names;
    for (int i = 0; i < 6000; ++i) // long alike names share the 16 bytes the index keeps
        names.push_back((i % 3 == 0 ? "a-long-shared-prefix-" : "n") + std::to_string(i % 4000));
    auto check = [&](const std::string &stage) {
        expect_positions_agree(parent, stage);
        for (size_t i = 0; i < names.size(); i += 97) {
            const char *name = names[i].c_str();
            VTAObj *found = nullptr;
            VTAObj_FindChild(parent, nullptr, name, &found);
            ASSERT_EQ(found, walk_find(parent->VTA_Child, name)) << stage << ": " << name;
            VTAObj *next = found != nullptr ? found->VTA_SibRight : nullptr;
            if (next != nullptr) { // the next namesake
                VTAObj_FindChild(parent, next, name, &found);
                ASSERT_EQ(found, walk_find(next, name)) << stage << ": " << name << " again";
            }
        }
    };
    const struct {
        const char *stage;
        int insertions, deletions;
    } stages[] = {
        {"grown to 24,000", 24000, 0}, {"shrunk to 6,000", 0, 18000}, {"churned", 8000, 8000},
        {"shrunk to 20", 0, 5980},     {"shrunk to 1", 0, 19},
    };
    uint32_t count = 0;
    for (const auto &stage : stages) {
        for (int i = 0; i < stage.insertions; ++i, ++count) {
            const std::string &name = names[random() % names.size()];
            VTAObj *node =
                add_node(tree, parent, name.c_str(), VTA_OBJ_VALUE, random() % 4 == 0, false);
            ASSERT_TRUE(node->VTA_SibLeft == nullptr || list_order(node->VTA_SibLeft, node) <= 0)
                << stage.stage << ": " << name << " after " << node->VTA_SibLeft->VTA_Name;
            ASSERT_TRUE(node->VTA_SibRight == nullptr || list_order(node, node->VTA_SibRight) < 0)
                << stage.stage << ": " << name << " before " << node->VTA_SibRight->VTA_Name;
        }
        for (int i = 0; i < stage.deletions; ++i, --count) {
            VTAObj *node =
                VTAObj_GetNthChild(tree, parent, static_cast<int32_t>(random() % count + 1));
            VTAObj_Delete(tree, &node);
        }
        check(stage.stage);
        if (HasFailure())
            return;
    }
    VTAObj *last = parent->VTA_Child;
    VTAObj_Delete(tree, &last);
    EXPECT_EQ(parent->VTA_ChildIndex, nullptr);
}

} // namespace
