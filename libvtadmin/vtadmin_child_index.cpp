#include "libvtadmin/vtadmin_child_index.h"

#include "libvtadmin/vtadmin_tree.h"

#include <cstring>
#include <new>
#include <vector>

namespace {

constexpr uint32_t kNone = 0xFFFFFFFFu;
// Leading name bytes kept in the entry: most names end within them, so comparisons seldom
// have to read the nodes themselves.
constexpr size_t kPrefixSize = 16;

// The sort key of a node: folders (group 0) before the others (group 1), then the name.
struct sort_key {
    uint8_t group;
    uint8_t whole; // the name ends within the prefix
    char prefix[kPrefixSize];
    const char *name;

    sort_key(bool folder, const char *text) : group(folder ? 0 : 1), name(text) {
        const size_t length = strnlen(text, kPrefixSize);
        whole = length < kPrefixSize ? 1 : 0;
        memcpy(prefix, text, length);
        memset(prefix + length, 0, kPrefixSize - length);
    }
};

// One node of a treap over the list's order (implicit positions, random priorities), stored
// in a vector and linked by indices.
struct entry {
    uint32_t left, right, up;
    uint32_t size; // of the subtree
    uint32_t priority;
    uint8_t group, whole;
    uint8_t descent; // this key is above the right neighbour's
    char prefix[kPrefixSize];
    VTAObj *node;
};

// Compares two keys as the tree orders nodes; `full_a` and `full_b` are the whole names, read
// only when the prefixes cannot decide.
int compare(uint8_t group_a, const char *prefix_a, bool whole_a, const char *full_a,
            uint8_t group_b, const char *prefix_b, bool whole_b, const char *full_b) {
    if (group_a != group_b)
        return group_a < group_b ? -1 : 1;
    const int c = memcmp(prefix_a, prefix_b, kPrefixSize);
    if (c != 0 || whole_a || whole_b)
        return c;
    return strncmp(full_a + kPrefixSize, full_b + kPrefixSize, VTA_NAME_SIZE - kPrefixSize);
}

} // namespace

struct VTAChildIndex {
    std::vector<entry> entries;
    uint32_t root = kNone;
    uint32_t free_list = kNone; // chained through `up`
    uint32_t descents = 0;      // neighbours out of order
    uint32_t random = 0x9E3779B9u;
    VTAChildIndex **slot = nullptr;

    uint32_t size(uint32_t t) const { return t == kNone ? 0 : entries[t].size; }

    void pull(uint32_t t) {
        entry &e = entries[t];
        e.size = 1 + size(e.left) + size(e.right);
        if (e.left != kNone)
            entries[e.left].up = t;
        if (e.right != kNone)
            entries[e.right].up = t;
    }

    // `first` receives the first `count` entries of `t`, `rest` the others.
    void split(uint32_t t, uint32_t count, uint32_t &first, uint32_t &rest) {
        if (t == kNone) {
            first = rest = kNone;
            return;
        }
        const uint32_t left_size = size(entries[t].left);
        if (left_size < count) {
            uint32_t right = entries[t].right;
            split(right, count - left_size - 1, right, rest);
            entries[t].right = right;
            first = t;
        } else {
            uint32_t left = entries[t].left;
            split(left, count, first, left);
            entries[t].left = left;
            rest = t;
        }
        pull(t);
    }

    uint32_t merge(uint32_t a, uint32_t b) {
        if (a == kNone)
            return b;
        if (b == kNone)
            return a;
        if (entries[a].priority > entries[b].priority) {
            const uint32_t right = merge(entries[a].right, b);
            entries[a].right = right;
            pull(a);
            return a;
        }
        const uint32_t left = merge(a, entries[b].left);
        entries[b].left = left;
        pull(b);
        return b;
    }

    uint32_t next_priority() {
        random ^= random << 13;
        random ^= random >> 17;
        random ^= random << 5;
        return random;
    }

    int compare_to(uint32_t t, const sort_key &key) const {
        const entry &e = entries[t];
        return compare(e.group, e.prefix, e.whole, e.node->VTA_Name, key.group, key.prefix,
                       key.whole, key.name);
    }

    bool above(uint32_t a, uint32_t b) const {
        const entry &x = entries[a];
        const entry &y = entries[b];
        return compare(x.group, x.prefix, x.whole, x.node->VTA_Name, y.group, y.prefix, y.whole,
                       y.node->VTA_Name) > 0;
    }

    // Position of the first entry whose key compares above `key` (strictly when `strict`,
    // else at or above); `*found` is that entry, or kNone.
    uint32_t bound(const sort_key &key, bool strict, uint32_t *found) const {
        uint32_t t = root;
        uint32_t passed = 0;
        uint32_t result = size(root);
        *found = kNone;
        while (t != kNone) {
            const int c = compare_to(t, key);
            if (c > 0 || (!strict && c == 0)) {
                result = passed + size(entries[t].left);
                *found = t;
                t = entries[t].left;
            } else {
                passed += size(entries[t].left) + 1;
                t = entries[t].right;
            }
        }
        return result;
    }

    // Sets the descent mark of `t` from its right neighbour `right` (kNone: none).
    void mark(uint32_t t, uint32_t right) {
        if (t == kNone)
            return;
        const uint8_t descent = right != kNone && above(t, right) ? 1 : 0;
        descents += descent;
        descents -= entries[t].descent;
        entries[t].descent = descent;
    }

    // Drops the whole index: its nodes are forgotten and its owner's slot cleared.
    void drop() {
        for (entry &e : entries)
            if (e.node != nullptr) {
                e.node->VTA_ListIndex = nullptr;
                e.node->VTA_ListEntry = 0;
            }
        if (slot != nullptr)
            *slot = nullptr;
        delete this;
    }
};

namespace {

// The entry of a node linked in `index`, or kNone.
uint32_t entry_of(const VTAChildIndex *index, const VTAObj *node) {
    return node != nullptr && node->VTA_ListIndex == index ? node->VTA_ListEntry : kNone;
}

void set_key(entry &e, const VTAObj *node) {
    const sort_key key(node->VTA_IsFolder != 0, node->VTA_Name);
    e.group = key.group;
    e.whole = key.whole;
    memcpy(e.prefix, key.prefix, kPrefixSize);
}

} // namespace

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
    uint32_t t = index->free_list;
    if (t != kNone) {
        index->free_list = index->entries[t].up;
    } else {
        try {
            index->entries.emplace_back();
        } catch (const std::bad_alloc &) {
            index->drop();
            return false;
        }
        t = static_cast<uint32_t>(index->entries.size() - 1);
    }
    entry &e = index->entries[t];
    e = entry{kNone, kNone, kNone, 1, index->next_priority(), 0, 0, 0, {}, node};
    set_key(e, node);
    node->VTA_ListIndex = index;
    node->VTA_ListEntry = t;

    uint32_t first = kNone, rest = kNone;
    index->split(index->root, position, first, rest);
    index->root = index->merge(index->merge(first, t), rest);
    index->entries[index->root].up = kNone;

    index->mark(entry_of(index, node->VTA_SibLeft), t);
    index->mark(t, entry_of(index, node->VTA_SibRight));
    return true;
}

void child_index_erase(VTAObj *node) {
    VTAChildIndex *index = node->VTA_ListIndex;
    if (index == nullptr)
        return;
    const uint32_t t = node->VTA_ListEntry;
    node->VTA_ListIndex = nullptr;
    node->VTA_ListEntry = 0;
    index->mark(t, kNone);
    index->mark(entry_of(index, node->VTA_SibLeft), entry_of(index, node->VTA_SibRight));

    entry &e = index->entries[t];
    const uint32_t joined = index->merge(e.left, e.right);
    const uint32_t up = index->entries[t].up;
    if (joined != kNone)
        index->entries[joined].up = up;
    if (up == kNone) {
        index->root = joined;
    } else {
        entry &parent = index->entries[up];
        (parent.left == t ? parent.left : parent.right) = joined;
        for (uint32_t p = up; p != kNone; p = index->entries[p].up)
            --index->entries[p].size;
    }
    index->entries[t] = entry{kNone, kNone, index->free_list, 0, 0, 0, 0, 0, {}, nullptr};
    index->free_list = t;
    if (index->root == kNone)
        index->drop();
}

void child_index_rekey(VTAObj *node) {
    VTAChildIndex *index = node->VTA_ListIndex;
    if (index == nullptr)
        return;
    const uint32_t t = node->VTA_ListEntry;
    set_key(index->entries[t], node);
    index->mark(entry_of(index, node->VTA_SibLeft), t);
    index->mark(t, entry_of(index, node->VTA_SibRight));
}

uint32_t child_index_size(const VTAChildIndex *index) {
    return index->size(index->root);
}

VTAObj *child_index_at(const VTAChildIndex *index, uint32_t position) {
    uint32_t t = index->root;
    while (t != kNone) {
        const uint32_t left_size = index->size(index->entries[t].left);
        if (position == left_size)
            return index->entries[t].node;
        if (position < left_size) {
            t = index->entries[t].left;
        } else {
            position -= left_size + 1;
            t = index->entries[t].right;
        }
    }
    return nullptr;
}

uint32_t child_index_position(const VTAObj *node) {
    const VTAChildIndex *index = node->VTA_ListIndex;
    uint32_t t = node->VTA_ListEntry;
    uint32_t position = index->size(index->entries[t].left);
    for (uint32_t up = index->entries[t].up; up != kNone; t = up, up = index->entries[t].up)
        if (index->entries[up].right == t)
            position += index->size(index->entries[up].left) + 1;
    return position;
}

bool child_index_sorted(const VTAChildIndex *index) {
    return index->descents == 0;
}

uint32_t child_index_upper_bound(const VTAChildIndex *index, bool folder, const char *name) {
    uint32_t found = kNone;
    return index->bound(sort_key(folder, name), true, &found);
}

VTAObj *child_index_find(const VTAChildIndex *index, uint32_t position, const char *name) {
    // Namesakes form at most two runs, one among the folders and one after them.
    for (bool folder : {true, false}) {
        const sort_key key(folder, name);
        uint32_t first = kNone;
        const uint32_t first_position = index->bound(key, false, &first);
        if (first == kNone || index->compare_to(first, key) != 0)
            continue;
        if (position <= first_position)
            return index->entries[first].node;
        VTAObj *at = child_index_at(index, position);
        if (at != nullptr && entry_of(index, at) != kNone &&
            index->compare_to(entry_of(index, at), key) == 0)
            return at;
    }
    return nullptr;
}
