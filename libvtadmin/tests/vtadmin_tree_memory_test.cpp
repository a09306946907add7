// Memory use of the admin tree: which calls allocate nodes, what happens when allocation
// fails, and that every node is released again. With the node pool turned off the tree
// allocates each node with nothrow new, which this test program replaces to count, fail and
// track those allocations.
#include "libvtadmin/vtadmin_tree.h"
#include "support_tree.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <new>

namespace {

constexpr int kTracked = 256;
bool g_tracking = false;
int g_allocations = 0;
int g_fail_at = -1; // 0 = the next nothrow allocation fails, 1 = the one after, ...
void *g_live[kTracked];

void untrack(void *p) {
    for (void *&slot : g_live)
        if (slot == p && p != nullptr) {
            slot = nullptr;
            return;
        }
}

int live_count() {
    int n = 0;
    for (void *slot : g_live)
        n += slot != nullptr;
    return n;
}

} // namespace

void *operator new(std::size_t size, const std::nothrow_t &) noexcept {
    if (g_tracking) {
        int index = g_allocations++;
        if (index == g_fail_at)
            return nullptr;
    }
    void *p = std::malloc(size ? size : 1);
    if (g_tracking)
        for (void *&slot : g_live)
            if (slot == nullptr) {
                slot = p;
                break;
            }
    return p;
}

// Every allocation of this program comes from malloc (the plain form too), so the frees below
// match; the compiler cannot see that through the replaced functions.
void *operator new(std::size_t size) {
    void *p = std::malloc(size ? size : 1);
    if (p == nullptr)
        throw std::bad_alloc();
    return p;
}

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void *p) noexcept {
    untrack(p);
    std::free(p);
}

void operator delete(void *p, std::size_t) noexcept {
    untrack(p);
    std::free(p);
}
#pragma GCC diagnostic pop

namespace {

using Names = std::vector<std::string>;

int g_calls = 0;

int32_t counting_op(VTATree *, uint32_t op, VTAObj *, void *, size_t, char *, size_t) {
    ++g_calls;
    return op == VTA_OP_REFRESH ? VTA_OK : VTA_ERR_NOT_HANDLED;
}

class TreeMemory : public ::testing::Test {
protected:
    void SetUp() override {
        VTAObj_SetNodeMemory(false, 0);
        g_calls = 0;
        g_tracking = true;
    }
    void TearDown() override {
        VTATree_Destroy(&tree);
        EXPECT_EQ(live_count(), 0) << "every node is released";
        g_tracking = false;
    }
    // Nothrow allocations made by `body`, failing the `fail_at`-th one (-1: none).
    template <typename Body>
    int allocations(Body body, int fail_at = -1) {
        g_allocations = 0;
        g_fail_at = fail_at;
        body();
        g_fail_at = -1;
        return g_allocations;
    }
    // A new tree with a node "n" of a kind that counts its calls.
    VTAObj *new_tree() {
        tree = VTATree_Create();
        return add_node(tree, tree->VTA_Root, "n", VTA_OBJ_DISK, true, false, counting_op);
    }
    int32_t op(uint32_t code, VTAObj *node) {
        return VTATree_Op(tree, code, node, nullptr, 0, msg, sizeof msg);
    }

    VTATree *tree = nullptr;
    TreeRecorder recorder;
    char msg[256] = "";
};

TEST_F(TreeMemory, CreateAllocatesTreeRootAndPlaceholderAndGivesNullWhenAnyFails) {
    EXPECT_EQ(allocations([&] { tree = VTATree_Create(); }), 3);
    ASSERT_NE(tree, nullptr);
    EXPECT_EQ(live_count(), 3);
    VTATree_Destroy(&tree);
    EXPECT_EQ(live_count(), 0);
    for (int fail_at = 0; fail_at < 3; ++fail_at) {
        allocations([&] { tree = VTATree_Create(); }, fail_at);
        EXPECT_EQ(tree, nullptr) << fail_at;
        EXPECT_EQ(live_count(), 0) << fail_at;
    }
}

// The progress message node is allocated only for a notify callback, and freed at the end.
TEST_F(TreeMemory, MessageNodeOnlyWithACallbackAndItsFailureStopsTheOperation) {
    VTAObj *node = new_tree();
    EXPECT_EQ(allocations([&] {
                  EXPECT_EQ(op(VTA_OP_REFRESH, node), VTA_OK);
                  EXPECT_EQ(op(VTA_OP_DELETE, node), VTA_ERR_INVALID);
              }),
              0);
    EXPECT_EQ(allocations([&] { EXPECT_EQ(op(VTA_OP_SAVE, node), VTA_OK); }, 0), 0)
        << "allocation would fail now, but nothing needs it";
    EXPECT_EQ(g_calls, 3);

    recorder.attach(tree);
    const int live = live_count();
    EXPECT_EQ(allocations([&] { op(VTA_OP_SAVE, node); }), 1);
    EXPECT_EQ(live_count(), live);
    EXPECT_EQ(recorder.messages().size(), 2u);

    recorder.clear();
    allocations([&] { EXPECT_EQ(op(VTA_OP_SAVE, node), VTA_ERR_INVALID); }, 0);
    EXPECT_STREQ(msg, "Out of memory in Tree OP\n");
    EXPECT_EQ(g_calls, 4);
    EXPECT_TRUE(recorder.notes.empty());
}

TEST_F(TreeMemory, PlaceholderAndMessageNodeFailuresLeaveTheTreeWhole) {
    tree = VTATree_Create();
    recorder.attach(tree);
    VTAObj *root = tree->VTA_Root;
    VTAObj *host = make_node("host", VTA_OBJ_COMPUTER, true, true);
    allocations([&] { EXPECT_EQ(VTAObj_Insert(tree, root, host), VTA_ERR_NO_MEMORY); }, 0);
    EXPECT_EQ(host->VTA_Parent, root) << "the folder stays linked";
    EXPECT_EQ(host->VTA_Child, nullptr);
    EXPECT_EQ(recorder.notes, (Names{"removed _NEED_REFRESH_", "inserted host"}));

    allocations(
        [&] {
            EXPECT_EQ(VTAObj_SetMessage(tree, root, "Status", "x", msg, sizeof msg),
                      VTA_ERR_NO_MEMORY);
        },
        0);
    EXPECT_STREQ(msg, "Out of memory on Message node 'Status'");
    EXPECT_EQ(child_names(tree, root), (Names{"host"})) << "nothing was inserted";
    // Reusing the node needs no allocation.
    ASSERT_EQ(VTAObj_SetMessage(tree, root, "Status", "x", msg, sizeof msg), VTA_OK);
    EXPECT_EQ(allocations(
                  [&] {
                      EXPECT_EQ(VTAObj_SetMessage(tree, root, "Status", "y", msg, sizeof msg),
                                VTA_OK);
                  },
                  0),
              0);
}

} // namespace
