#include "libvtadmin/vtadmin_child_index.h"

#include "libutil/fatal.h"
#include "libvtadmin/vtadmin_memory.h"
#include "libvtadmin/vtadmin_tree.h"

#include <algorithm>
#include <cstring>
#include <endian.h>
#include <new>

// The index is a B+ tree that counts: leaves hold the list's nodes in list order with their
// sort keys, inner nodes the number of nodes below each child and the key of its first node.
// Walks by position read the counts, walks by key the first keys; with some fifty entries per
// block a list of a million nodes is four blocks deep, and a walk reads a few cache lines per
// level where a binary tree reads one per level at twenty levels.

constexpr size_t kPrefixSize = 16;

// The sort key of a node: folders (group 0) before the others (group 1), then the name in byte
// order. The first 16 bytes are held as two big-endian words, so that comparing them as numbers
// compares the bytes; only names alike in those bytes and longer than them read the nodes.
struct VTAChildKey {
    uint64_t high, low;
    uint8_t group;
    uint8_t whole;   // the name ends within the first 16 bytes
    uint8_t descent; // leaf entries: this key is above that of the right neighbour
};

namespace {

uint64_t big_endian_word(const unsigned char *bytes) {
    uint64_t word;
    memcpy(&word, bytes, sizeof word);
    return be64toh(word);
}

VTAChildKey make_key(bool folder, const char *name) {
    unsigned char prefix[kPrefixSize] = {};
    const size_t length = strnlen(name, kPrefixSize);
    memcpy(prefix, name, length);
    return VTAChildKey{big_endian_word(prefix), big_endian_word(prefix + 8),
                       static_cast<uint8_t>(folder ? 0 : 1),
                       static_cast<uint8_t>(length < kPrefixSize), 0};
}

VTAChildKey key_of_node(const VTAObj *node) {
    return make_key(node->VTA_IsFolder != 0, node->VTA_Name);
}

// Compares two keys alone: -1, 0 or 1, or kTailsDecide when the names are alike in the first 16
// bytes and go on beyond them.
constexpr int kTailsDecide = 2;

// Inlined: it decides almost every step of a search.
[[gnu::always_inline]] inline int compare_keys(const VTAChildKey &a, const VTAChildKey &b) {
    if (a.group != b.group)
        return a.group < b.group ? -1 : 1;
    if (a.high != b.high)
        return a.high < b.high ? -1 : 1;
    if (a.low != b.low)
        return a.low < b.low ? -1 : 1;
    return a.whole || b.whole ? 0 : kTailsDecide;
}

int compare_tails(const char *name_a, const char *name_b) {
    return strncmp(name_a + kPrefixSize, name_b + kPrefixSize, VTA_NAME_SIZE - kPrefixSize);
}

// Compares keys as the tree orders nodes; `name_a` and `name_b` are the whole names.
int compare(const VTAChildKey &a, const char *name_a, const VTAChildKey &b, const char *name_b) {
    const int c = compare_keys(a, b);
    return c != kTailsDecide ? c : compare_tails(name_a, name_b);
}

// Asks the memory system for `bytes` from `start` at once, ahead of a search through them that
// would otherwise wait for one cache line after another.
void prefetch(const void *start, size_t bytes) {
    const char *p = static_cast<const char *>(start);
    for (size_t offset = 0; offset < bytes; offset += 64)
        __builtin_prefetch(p + offset);
}

bool same_key(const VTAChildKey &a, const VTAChildKey &b) {
    return a.group == b.group && a.high == b.high && a.low == b.low && a.whole == b.whole;
}

} // namespace

struct VTAChildInner;

// Leaves and inner nodes of about 2 KB.
constexpr uint32_t kLeafCapacity = 60;
constexpr uint32_t kInnerCapacity = 43;

struct VTAChildLeaf {
    VTAChildInner *parent;
    uint32_t slot; // position among the parent's children
    uint32_t count;
    VTAChildKey keys[kLeafCapacity];
    VTAObj *nodes[kLeafCapacity];
};

struct VTAChildInner {
    VTAChildInner *parent;
    uint32_t slot;
    uint32_t count;
    uint32_t sizes[kInnerCapacity];      // nodes below each child
    VTAChildKey firsts[kInnerCapacity];  // the key of the first node below each child
    VTAObj *first_nodes[kInnerCapacity]; // that node, for names longer than the key
    void *children[kInnerCapacity];      // leaves or inner nodes, as the level says
};

namespace {

// Leaves and inner nodes share a pool of their own, apart from the nodes, so that a search
// through a large list reads a few compact megabytes rather than blocks spread among gigabytes
// of nodes.
constexpr size_t kBlockSize =
    (std::max(sizeof(VTAChildLeaf), sizeof(VTAChildInner)) + 7) & ~size_t(7);
block_pool g_blocks(kBlockSize, VTA_NODE_MEMORY_KEPT / BLOCK_POOL_SLAB_SIZE);

// An entry of the index: the leaf and the position in it.
struct entry_ref {
    VTAChildLeaf *leaf = nullptr;
    uint32_t at = 0;
    explicit operator bool() const { return leaf != nullptr; }
    VTAChildKey &key() const { return leaf->keys[at]; }
    VTAObj *node() const { return leaf->nodes[at]; }
};

// Where a key falls: its position, and the nodes before and at that position (null at the ends).
struct place {
    uint32_t position;
    VTAObj *before, *at;
};

// Where the last name a search did not find would go, in one group. A refresh looks for each
// name it reads and inserts the ones it does not find, so the insertion asks for the same place
// again; any change of the list forgets it.
struct missed_name {
    bool valid = false;
    VTAChildKey key{};
    char name[VTA_NAME_SIZE];
    place where{};
};

} // namespace

struct VTAChildIndex {
    void *root = nullptr; // a leaf when height is 0
    uint32_t height = 0;
    uint32_t count = 0;
    uint32_t folders = 0;  // nodes keyed as folders
    uint32_t descents = 0; // neighbours out of order
    VTAChildIndex **slot = nullptr;
    mutable missed_name missed[2]; // by group: searches remember, changes forget
};

namespace {

void forget_missed(VTAChildIndex *index) {
    index->missed[0].valid = index->missed[1].valid = false;
}

bool is_missed(const missed_name &missed, const VTAChildKey &key, const char *name) {
    return missed.valid && same_key(missed.key, key) &&
           (key.whole || strncmp(missed.name + kPrefixSize, name + kPrefixSize,
                                 VTA_NAME_SIZE - kPrefixSize) == 0);
}

// The entry of a node linked in `index`, or none.
entry_ref entry_of(const VTAChildIndex *index, const VTAObj *node) {
    if (node == nullptr || node->VTA_ListIndex != index)
        return {};
    VTAChildLeaf *leaf = node->VTA_ListLeaf;
    for (uint32_t i = 0; i < leaf->count; ++i)
        if (leaf->nodes[i] == node)
            return {leaf, i};
    return {};
}

// Sets the descent mark of `a` from its right neighbour `b` (none: no neighbour).
void mark(VTAChildIndex *index, entry_ref a, entry_ref b) {
    if (!a)
        return;
    const uint8_t descent =
        b && compare(a.key(), a.node()->VTA_Name, b.key(), b.node()->VTA_Name) > 0 ? 1 : 0;
    index->descents += descent;
    index->descents -= a.key().descent;
    a.key().descent = descent;
}

// The neighbours of the entry at `at` of `leaf`, which stands for `node`: in the same leaf unless
// at its ends, so that the neighbouring nodes themselves are seldom read.
entry_ref left_of(const VTAChildIndex *index, VTAChildLeaf *leaf, uint32_t at, const VTAObj *node) {
    return at > 0 ? entry_ref{leaf, at - 1} : entry_of(index, node->VTA_SibLeft);
}

entry_ref right_of(const VTAChildIndex *index, VTAChildLeaf *leaf, uint32_t at,
                   const VTAObj *node) {
    return at + 1 < leaf->count ? entry_ref{leaf, at + 1} : entry_of(index, node->VTA_SibRight);
}

void mark_around(VTAChildIndex *index, entry_ref self) {
    const VTAObj *node = self.node();
    mark(index, left_of(index, self.leaf, self.at, node), self);
    mark(index, self, right_of(index, self.leaf, self.at, node));
}

VTAChildInner *parent_of(void *block, uint32_t level) {
    return level == 0 ? static_cast<VTAChildLeaf *>(block)->parent
                      : static_cast<VTAChildInner *>(block)->parent;
}

uint32_t slot_of(void *block, uint32_t level) {
    return level == 0 ? static_cast<VTAChildLeaf *>(block)->slot
                      : static_cast<VTAChildInner *>(block)->slot;
}

void set_place(void *block, uint32_t level, VTAChildInner *parent, uint32_t slot) {
    if (level == 0) {
        static_cast<VTAChildLeaf *>(block)->parent = parent;
        static_cast<VTAChildLeaf *>(block)->slot = slot;
    } else {
        static_cast<VTAChildInner *>(block)->parent = parent;
        static_cast<VTAChildInner *>(block)->slot = slot;
    }
}

uint32_t count_of(void *block, uint32_t level) {
    return level == 0 ? static_cast<VTAChildLeaf *>(block)->count
                      : static_cast<VTAChildInner *>(block)->count;
}

// The key and node of the first entry below `block`.
void first_of(void *block, uint32_t level, VTAChildKey *key, VTAObj **node) {
    if (level == 0) {
        *key = static_cast<VTAChildLeaf *>(block)->keys[0];
        *node = static_cast<VTAChildLeaf *>(block)->nodes[0];
    } else {
        *key = static_cast<VTAChildInner *>(block)->firsts[0];
        *node = static_cast<VTAChildInner *>(block)->first_nodes[0];
    }
}

// Copies the first key of `block` (at `level`) into its ancestors, as far as it is first.
void propagate_first(void *block, uint32_t level) {
    if (count_of(block, level) == 0)
        return;
    VTAChildKey key;
    VTAObj *node;
    first_of(block, level, &key, &node);
    for (VTAChildInner *parent = parent_of(block, level); parent != nullptr;) {
        const uint32_t slot = slot_of(block, level);
        parent->firsts[slot] = key;
        parent->first_nodes[slot] = node;
        if (slot != 0)
            return;
        block = parent;
        ++level;
        parent = parent->parent;
    }
}

// Adds `delta` to the counts of every ancestor of `block`.
void add_to_sizes(void *block, uint32_t level, int delta) {
    for (VTAChildInner *parent = parent_of(block, level); parent != nullptr;) {
        parent->sizes[slot_of(block, level)] += static_cast<uint32_t>(delta);
        block = parent;
        ++level;
        parent = parent->parent;
    }
}

// Gives every child of `inner` from `from` on its place again after a shift.
void renumber(VTAChildInner *inner, uint32_t level, uint32_t from) {
    for (uint32_t i = from; i < inner->count; ++i)
        set_place(inner->children[i], level - 1, inner, i);
}

void move_entries(VTAChildInner *to, uint32_t to_at, VTAChildInner *from, uint32_t from_at,
                  uint32_t n) {
    memmove(to->sizes + to_at, from->sizes + from_at, n * sizeof to->sizes[0]);
    memmove(to->firsts + to_at, from->firsts + from_at, n * sizeof to->firsts[0]);
    memmove(to->first_nodes + to_at, from->first_nodes + from_at, n * sizeof to->first_nodes[0]);
    memmove(to->children + to_at, from->children + from_at, n * sizeof to->children[0]);
}

void move_entries(VTAChildLeaf *to, uint32_t to_at, VTAChildLeaf *from, uint32_t from_at,
                  uint32_t n) {
    memmove(to->keys + to_at, from->keys + from_at, n * sizeof to->keys[0]);
    memmove(to->nodes + to_at, from->nodes + from_at, n * sizeof to->nodes[0]);
}

template <typename Block>
uint32_t append_entries(Block *to, Block *from, uint32_t from_at) {
    const uint32_t n = from->count - from_at;
    move_entries(to, to->count, from, from_at, n);
    to->count += n;
    from->count = from_at;
    return n;
}

// Moves the entries of `from` (at `level`) from `from_at` on to the end of `to`; the number moved.
uint32_t append_entries(void *to, void *from, uint32_t from_at, uint32_t level) {
    if (level == 0)
        return append_entries(static_cast<VTAChildLeaf *>(to), static_cast<VTAChildLeaf *>(from),
                              from_at);
    return append_entries(static_cast<VTAChildInner *>(to), static_cast<VTAChildInner *>(from),
                          from_at);
}

// Makes `block` (at `level`) the home of its entries from `from` on: of their nodes, or of
// their child blocks.
void adopt_entries(void *block, uint32_t level, uint32_t from) {
    if (level > 0) {
        renumber(static_cast<VTAChildInner *>(block), level, from);
        return;
    }
    auto *leaf = static_cast<VTAChildLeaf *>(block);
    for (uint32_t i = from; i < leaf->count; ++i)
        leaf->nodes[i]->VTA_ListLeaf = leaf;
}

// Every node below `block` in list order, to `visit`.
void visit_all(void *block, uint32_t level, void (*visit)(VTAObj *, void *), void *context) {
    if (level == 0) {
        VTAChildLeaf *leaf = static_cast<VTAChildLeaf *>(block);
        for (uint32_t i = 0; i < leaf->count; ++i)
            visit(leaf->nodes[i], context);
        return;
    }
    VTAChildInner *inner = static_cast<VTAChildInner *>(block);
    for (uint32_t i = 0; i < inner->count; ++i)
        visit_all(inner->children[i], level - 1, visit, context);
}

void release_all(void *block, uint32_t level) {
    if (level > 0) {
        VTAChildInner *inner = static_cast<VTAChildInner *>(block);
        for (uint32_t i = 0; i < inner->count; ++i)
            release_all(inner->children[i], level - 1);
    }
    g_blocks.release(block);
}

// Puts `child` (at `level` - 1, holding `size` nodes) at `slot` of `inner` (at `level`), which
// has room.
void put_child(VTAChildInner *inner, uint32_t level, uint32_t slot, void *child, uint32_t size) {
    move_entries(inner, slot + 1, inner, slot, inner->count - slot);
    ++inner->count;
    inner->sizes[slot] = size;
    inner->children[slot] = child;
    renumber(inner, level, slot);
    first_of(child, level - 1, &inner->firsts[slot], &inner->first_nodes[slot]);
}

bool split(VTAChildIndex *index, void *block, uint32_t level);

// Links `right`, split off `left` (both at `level`) and holding `size` of its nodes, after it.
bool link_after(VTAChildIndex *index, void *left, void *right, uint32_t level, uint32_t size) {
    VTAChildInner *parent = parent_of(left, level);
    if (parent == nullptr) {
        auto *root = static_cast<VTAChildInner *>(g_blocks.allocate());
        if (root == nullptr)
            return false;
        root->count = 1;
        root->children[0] = left;
        root->sizes[0] = index->count;
        set_place(left, level, root, 0);
        first_of(left, level, &root->firsts[0], &root->first_nodes[0]);
        index->root = root;
        ++index->height;
        parent = root;
    }
    if (parent->count == kInnerCapacity) {
        if (!split(index, parent, level + 1))
            return false;
        parent = parent_of(left, level);
    }
    const uint32_t slot = slot_of(left, level);
    parent->sizes[slot] -= size;
    put_child(parent, level + 1, slot + 1, right, size);
    return true;
}

// Moves the upper half of a full `block` into a new one linked after it. False when memory
// ran out (nothing has moved then).
bool split(VTAChildIndex *index, void *block, uint32_t level) {
    void *right = g_blocks.allocate();
    if (right == nullptr)
        return false;
    const uint32_t count = count_of(block, level);
    const uint32_t moved = append_entries(right, block, count - count / 2, level);
    uint32_t size = moved;
    if (level > 0) {
        size = 0;
        for (uint32_t i = 0; i < moved; ++i)
            size += static_cast<VTAChildInner *>(right)->sizes[i];
    }
    if (!link_after(index, block, right, level, size)) {
        append_entries(block, right, 0, level); // everything back as it was
        g_blocks.release(right);
        return false;
    }
    adopt_entries(right, level, 0);
    return true;
}

// The leaf and place where a node inserted at `position` goes (the end of a leaf rather than
// the start of the next, so that first keys rarely change).
entry_ref insertion_place(const VTAChildIndex *index, uint32_t position) {
    void *block = index->root;
    for (uint32_t level = index->height; level > 0; --level) {
        auto *inner = static_cast<VTAChildInner *>(block);
        uint32_t i = 0;
        while (i + 1 < inner->count && position > inner->sizes[i])
            position -= inner->sizes[i++];
        block = inner->children[i];
    }
    return {static_cast<VTAChildLeaf *>(block), position};
}

// Takes `child` (at `level` - 1, now empty or merged away) out of its parent; the parent goes
// along when it has no child left. The root is never left with a single inner child.
void remove_child(VTAChildIndex *index, void *child, uint32_t level);

// After removals from `block` (at `level`): an empty block goes; a block and a neighbour that
// fit into three quarters of one are merged.
void rebalance(VTAChildIndex *index, void *block, uint32_t level) {
    const uint32_t capacity = level == 0 ? kLeafCapacity : kInnerCapacity;
    const uint32_t count = count_of(block, level);
    VTAChildInner *parent = parent_of(block, level);
    if (count == 0 && parent != nullptr) {
        remove_child(index, block, level);
        return;
    }
    if (parent == nullptr || count >= capacity / 4)
        return;
    const uint32_t slot = slot_of(block, level);
    // The left of the two takes the right one's entries.
    uint32_t left_slot;
    if (slot + 1 < parent->count &&
        count + count_of(parent->children[slot + 1], level) <= capacity * 3 / 4)
        left_slot = slot;
    else if (slot > 0 && count + count_of(parent->children[slot - 1], level) <= capacity * 3 / 4)
        left_slot = slot - 1;
    else
        return;
    void *left = parent->children[left_slot];
    void *right = parent->children[left_slot + 1];
    const uint32_t first = count_of(left, level);
    append_entries(left, right, 0, level);
    adopt_entries(left, level, first);
    parent->sizes[left_slot] += parent->sizes[left_slot + 1];
    parent->sizes[left_slot + 1] = 0;
    remove_child(index, right, level);
}

void remove_child(VTAChildIndex *index, void *child, uint32_t level) {
    VTAChildInner *parent = parent_of(child, level);
    const uint32_t slot = slot_of(child, level);
    move_entries(parent, slot, parent, slot + 1, parent->count - slot - 1);
    --parent->count;
    renumber(parent, level + 1, slot);
    g_blocks.release(child);
    if (slot == 0)
        propagate_first(parent, level + 1);
    if (parent == index->root) {
        if (parent->count == 1) {
            index->root = parent->children[0];
            set_place(index->root, level, nullptr, 0);
            --index->height;
            g_blocks.release(parent);
        }
        return;
    }
    rebalance(index, parent, level + 1);
}

// The first place in [low, high) of ascending keys whose key is not `below` the bound.
template <typename Below>
uint32_t first_not_below(const VTAChildKey *keys, VTAObj *const *nodes, uint32_t low, uint32_t high,
                         Below below) {
    while (low < high) {
        const uint32_t mid = (low + high) / 2;
        if (below(keys[mid], &nodes[mid]))
            low = mid + 1;
        else
            high = mid;
    }
    return low;
}

// The first node whose key is above `key` (strictly when `strict`, else at or above).
place bound(const VTAChildIndex *index, const VTAChildKey &key, const char *name, bool strict) {
    // A node's name is read only when the keys cannot decide.
    auto below = [&](const VTAChildKey &k, VTAObj *const *node) {
        int c = compare_keys(k, key);
        if (c == kTailsDecide)
            c = compare_tails((*node)->VTA_Name, name);
        return strict ? c <= 0 : c < 0;
    };
    // Listings mostly arrive in sorted order: a key beyond the last node's is placed at the end
    // without a search. The rightmost blocks stay in cache while a list is filled.
    const void *last_block = index->root;
    for (uint32_t level = index->height; level > 0; --level) {
        const auto *inner = static_cast<const VTAChildInner *>(last_block);
        last_block = inner->children[inner->count - 1];
    }
    const auto *last_leaf = static_cast<const VTAChildLeaf *>(last_block);
    if (last_leaf->count > 0) {
        VTAObj *const *last = &last_leaf->nodes[last_leaf->count - 1];
        if (below(last_leaf->keys[last_leaf->count - 1], last))
            return {index->count, *last, (*last)->VTA_SibRight};
    }
    uint32_t position = 0;
    void *block = index->root;
    for (uint32_t level = index->height; level > 0; --level) {
        auto *inner = static_cast<VTAChildInner *>(block);
        prefetch(inner->firsts, inner->count * sizeof inner->firsts[0]);
        // The last child whose first node is below the bound; the first child when none is.
        const uint32_t child =
            first_not_below(inner->firsts, inner->first_nodes, 1, inner->count, below) - 1;
        for (uint32_t i = 0; i < child; ++i)
            position += inner->sizes[i];
        block = inner->children[child];
    }
    auto *leaf = static_cast<VTAChildLeaf *>(block);
    prefetch(leaf->keys, leaf->count * sizeof leaf->keys[0]);
    const uint32_t low = first_not_below(leaf->keys, leaf->nodes, 0, leaf->count, below);
    place found{position + low, nullptr, nullptr};
    if (low < leaf->count) {
        found.at = leaf->nodes[low];
        found.before = found.at->VTA_SibLeft;
    } else if (leaf->count > 0) {
        found.before = leaf->nodes[leaf->count - 1];
        found.at = found.before->VTA_SibRight;
    }
    return found;
}

} // namespace

void child_index_drop(VTAChildIndex *index) {
    if (index->root != nullptr) {
        visit_all(
            index->root, index->height,
            [](VTAObj *node, void *) {
                node->VTA_ListIndex = nullptr;
                node->VTA_ListLeaf = nullptr;
            },
            nullptr);
        release_all(index->root, index->height);
    }
    if (index->slot != nullptr)
        *index->slot = nullptr;
    delete index;
}

void child_index_keep_empty_slabs(size_t count) {
    g_blocks.keep_empty_slabs(count);
}

VTAChildIndex *child_index_create(VTAChildIndex **slot) {
    // Allocated apart from the nodes (whose nothrow allocations the tree counts on).
    VTAChildIndex *index = nullptr;
    try {
        index = new VTAChildIndex();
    } catch (const std::bad_alloc &) {
        return nullptr;
    }
    index->slot = slot;
    return index;
}

bool child_index_insert(VTAChildIndex *index, uint32_t position, VTAObj *node) {
    forget_missed(index);
    if (index->root == nullptr) {
        index->root = g_blocks.allocate();
        if (index->root == nullptr) {
            child_index_drop(index);
            return false;
        }
    }
    entry_ref place = insertion_place(index, position);
    if (place.leaf->count == kLeafCapacity) {
        if (!split(index, place.leaf, 0)) {
            child_index_drop(index);
            return false;
        }
        if (place.at > place.leaf->count) {
            place.at -= place.leaf->count;
            place.leaf =
                static_cast<VTAChildLeaf *>(place.leaf->parent->children[place.leaf->slot + 1]);
        }
    }
    VTAChildLeaf *leaf = place.leaf;
    move_entries(leaf, place.at + 1, leaf, place.at, leaf->count - place.at);
    ++leaf->count;
    leaf->keys[place.at] = key_of_node(node);
    leaf->nodes[place.at] = node;
    node->VTA_ListIndex = index;
    node->VTA_ListLeaf = leaf;
    ++index->count;
    index->folders += leaf->keys[place.at].group == 0;
    add_to_sizes(leaf, 0, 1);
    if (place.at == 0)
        propagate_first(leaf, 0);
    mark_around(index, {leaf, place.at});
    return true;
}

void child_index_erase(VTAObj *node) {
    VTAChildIndex *index = node->VTA_ListIndex;
    if (index == nullptr)
        return;
    forget_missed(index);
    const entry_ref self = entry_of(index, node);
    index->descents -= self.key().descent;
    index->folders -= self.key().group == 0;
    // The neighbours meet (the sibling links still pass through the node).
    const entry_ref left = left_of(index, self.leaf, self.at, node);
    entry_ref right = right_of(index, self.leaf, self.at, node);
    VTAChildLeaf *leaf = self.leaf;
    move_entries(leaf, self.at, leaf, self.at + 1, leaf->count - self.at - 1);
    --leaf->count;
    if (right.leaf == leaf)
        --right.at;
    node->VTA_ListIndex = nullptr;
    node->VTA_ListLeaf = nullptr;
    if (--index->count == 0) {
        child_index_drop(index);
        return;
    }
    mark(index, left, right);
    add_to_sizes(leaf, 0, -1);
    if (self.at == 0)
        propagate_first(leaf, 0);
    rebalance(index, leaf, 0);
}

void child_index_rekey(VTAObj *node) {
    VTAChildIndex *index = node->VTA_ListIndex;
    if (index == nullptr)
        return;
    forget_missed(index);
    const entry_ref self = entry_of(index, node);
    VTAChildKey key = key_of_node(node);
    // A long name may have changed beyond the key, so only a short one counts as unchanged.
    if (key.whole && same_key(self.key(), key))
        return;
    key.descent = self.key().descent;
    index->folders += (key.group == 0) - (self.key().group == 0);
    self.key() = key;
    if (self.at == 0)
        propagate_first(self.leaf, 0);
    mark_around(index, self);
}

uint32_t child_index_size(const VTAChildIndex *index) {
    return index->count;
}

VTAObj *child_index_at(const VTAChildIndex *index, uint32_t position) {
    if (position >= index->count)
        return nullptr;
    void *block = index->root;
    for (uint32_t level = index->height; level > 0; --level) {
        auto *inner = static_cast<VTAChildInner *>(block);
        uint32_t i = 0;
        while (position >= inner->sizes[i])
            position -= inner->sizes[i++];
        block = inner->children[i];
    }
    return static_cast<VTAChildLeaf *>(block)->nodes[position];
}

uint32_t child_index_position(const VTAObj *node) {
    const entry_ref self = entry_of(node->VTA_ListIndex, node);
    uint32_t position = self.at;
    void *block = self.leaf;
    uint32_t level = 0;
    for (VTAChildInner *parent = self.leaf->parent; parent != nullptr; parent = parent->parent) {
        const uint32_t slot = slot_of(block, level);
        for (uint32_t i = 0; i < slot; ++i)
            position += parent->sizes[i];
        block = parent;
        ++level;
    }
    return position;
}

bool child_index_sorted(const VTAChildIndex *index) {
    return index->descents == 0;
}

uint32_t child_index_upper_bound(const VTAChildIndex *index, bool folder, const char *name,
                                 VTAObj **before, VTAObj **at) {
    if (index->root == nullptr) {
        *before = *at = nullptr;
        return 0;
    }
    const VTAChildKey key = make_key(folder, name);
    const missed_name &missed = index->missed[key.group];
    // No node has a missed name's key, so its first place and its place after all alike agree.
    const place found = is_missed(missed, key, name) ? missed.where : bound(index, key, name, true);
    *before = found.before;
    *at = found.at;
    return found.position;
}

VTAObj *child_index_find(const VTAChildIndex *index, uint32_t position, const char *name) {
    if (index->root == nullptr)
        return nullptr;
    // Namesakes form at most two runs, one among the folders and one after them.
    for (bool folder : {true, false}) {
        if (index->folders == (folder ? 0 : index->count))
            continue; // no node of that group
        const VTAChildKey key = make_key(folder, name);
        const place first = bound(index, key, name, false);
        const entry_ref found = entry_of(index, first.at);
        if (!found || compare(found.key(), first.at->VTA_Name, key, name) != 0) {
            missed_name &missed = index->missed[key.group];
            missed.key = key;
            bounded_copy(missed.name, sizeof missed.name, name);
            missed.where = first;
            missed.valid = true;
            continue;
        }
        if (position <= first.position)
            return first.at;
        VTAObj *at = child_index_at(index, position);
        const entry_ref later = entry_of(index, at);
        if (later && compare(later.key(), at->VTA_Name, key, name) == 0)
            return at;
    }
    return nullptr;
}

void child_index_each(const VTAChildIndex *index, void (*visit)(VTAObj *, void *), void *context) {
    if (index->root != nullptr)
        visit_all(index->root, index->height, visit, context);
}
