// The index kept beside the sibling lists: searches, sorted insertion, n-th child and child
// numbers must give what walking the list gives, also after nodes are renamed or turned into
// folders in place, unlinked or deleted.
#include "libvtadmin/vtadmin_tree.h"
#include "support_tree.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

using Names = std::vector<std::string>;

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

std::vector<VTAObj *> children(VTAObj *parent) {
    std::vector<VTAObj *> nodes;
    for (VTAObj *node = parent->VTA_Child; node != nullptr; node = node->VTA_SibRight)
        nodes.push_back(node);
    return nodes;
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

// How a linked node changes in place.
enum class change { set_name, write_and_announce, become_folder, become_leaf };

struct rename_case {
    const char *label;
    change how;
    const char *target; // the node changed
    const char *new_name;
    Names order; // the sibling order afterwards (the node keeps its place)
};

TEST_F(TreeIndex, NodesChangedInPlaceAreFoundUnderTheirNewKeys) {
    const rename_case cases[] = {
        {"rename within its place", change::set_name, "m", "n", {"a", "n", "z", "k", "y"}},
        {"rename past its neighbours", change::set_name, "a", "zz", {"zz", "m", "z", "k", "y"}},
        {"rename to a namesake", change::set_name, "z", "m", {"a", "m", "m", "k", "y"}},
        {"written and announced", change::write_and_announce, "k", "b", {"a", "m", "z", "b", "y"}},
        {"long names",
         change::set_name,
         "m",
         "a-very-long-name-beyond-the-prefix-2",
         {"a", "a-very-long-name-beyond-the-prefix-2", "z", "k", "y"}},
        {"leaf becomes a folder", change::become_folder, "k", "k", {"a", "m", "z", "k", "y"}},
        {"folder becomes a leaf", change::become_leaf, "a", "a", {"a", "m", "z", "k", "y"}},
    };
    for (const rename_case &c : cases) {
        SCOPED_TRACE(c.label);
        VTAObj *host = add_node(tree, parent, "host", VTA_OBJ_COMPUTER, true, false);
        for (const char *name : {"z", "m", "a"})
            add_node(tree, host, name, VTA_OBJ_DISK, true, false);
        for (const char *name : {"y", "k"})
            add_node(tree, host, name, VTA_OBJ_VALUE, false, false);
        VTAObj *target = nullptr;
        ASSERT_EQ(VTAObj_FindChild(host, nullptr, c.target, &target), VTA_OK);
        switch (c.how) {
        case change::set_name:
            VTAObj_SetName(target, c.new_name);
            break;
        case change::write_and_announce:
            strcpy(target->VTA_Name, c.new_name);
            VTATree_Notify(tree, VTA_NOTE_UPDATED, target);
            break;
        case change::become_folder:
        case change::become_leaf:
            target->VTA_IsFolder = c.how == change::become_folder;
            VTATree_Notify(tree, VTA_NOTE_UPDATED, target);
            break;
        }
        EXPECT_EQ(child_names(tree, host), c.order);
        expect_index_agrees(host, {c.target, c.new_name, "a", "b", "k", "m", "y", "z", "zz"},
                            c.label);
        VTAObj_Delete(tree, &host);
    }
}

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

TEST_F(TreeIndex, TopLevelListIsIndexedLikeAnyOther) {
    add_node(tree, nullptr, "B", VTA_OBJ_DISK, true, false);
    add_node(tree, nullptr, "A", VTA_OBJ_DISK, true, false);
    EXPECT_EQ(child_names(tree, nullptr), (Names{"A", "B", "Connections"}));
    VTAObj *found = nullptr;
    EXPECT_EQ(VTAObj_FindChild(nullptr, tree->VTA_Root, "Connections", &found), VTA_OK);
    EXPECT_EQ(VTAObj_ChildNumber(found), 3);
    VTAObj_SetName(found, "0");
    EXPECT_EQ(VTAObj_FindChild(nullptr, tree->VTA_Root, "0", &found), VTA_OK);
    EXPECT_EQ(VTAObj_FindChild(nullptr, tree->VTA_Root, "Connections", &found), VTA_ERR_NOT_FOUND);
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
