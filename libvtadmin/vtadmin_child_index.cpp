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
// in a vector and linked by indices. Each keeps the size of its left subtree, so that a walk by
// position or by key reads one entry per level.
struct entry {
    uint32_t left, right, up;
    uint32_t left_size;
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

// Where a key falls: its position, and the entries before and at that position (kNone).
struct place {
    uint32_t position;
    uint32_t before, at;
};

} // namespace

struct VTAChildIndex {
    std::vector<entry> entries;
    uint32_t root = kNone;
    uint32_t count = 0;
    uint32_t free_list = kNone; // chained through `up`
    uint32_t descents = 0;      // neighbours out of order
    uint32_t random = 0x9E3779B9u;
    VTAChildIndex **slot = nullptr;

    void link_left(uint32_t t, uint32_t child) {
        entries[t].left = child;
        if (child != kNone)
            entries[child].up = t;
    }
    void link_right(uint32_t t, uint32_t child) {
        entries[t].right = child;
        if (child != kNone)
            entries[child].up = t;
    }

    // `first` receives the first `n` entries of `t`, `rest` the others.
    void split(uint32_t t, uint32_t n, uint32_t &first, uint32_t &rest) {
        if (t == kNone) {
            first = rest = kNone;
            return;
        }
        entry &e = entries[t];
        if (e.left_size < n) {
            uint32_t right = kNone;
            split(e.right, n - e.left_size - 1, right, rest);
            link_right(t, right);
            first = t;
        } else {
            uint32_t left = kNone;
            split(e.left, n, first, left);
            link_left(t, left);
            e.left_size -= n;
            rest = t;
        }
    }

    // `a` (of `a_size` entries) followed by `b`.
    uint32_t merge(uint32_t a, uint32_t a_size, uint32_t b) {
        if (a == kNone)
            return b;
        if (b == kNone)
            return a;
        if (entries[a].priority > entries[b].priority) {
            link_right(a, merge(entries[a].right, a_size - entries[a].left_size - 1, b));
            return a;
        }
        link_left(b, merge(a, a_size, entries[b].left));
        entries[b].left_size += a_size;
        return b;
    }

    // Inserts the single entry `x` at `position` of `t`; the new root of `t`.
    uint32_t insert_at(uint32_t t, uint32_t position, uint32_t x) {
        if (t == kNone)
            return x;
        if (entries[x].priority > entries[t].priority) {
            uint32_t first = kNone, rest = kNone;
            split(t, position, first, rest);
            link_left(x, first);
            link_right(x, rest);
            entries[x].left_size = position;
            return x;
        }
        entry &e = entries[t];
        if (position <= e.left_size) {
            link_left(t, insert_at(e.left, position, x));
            ++entries[t].left_size;
        } else {
            link_right(t, insert_at(e.right, position - e.left_size - 1, x));
        }
        return t;
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

    // The first entry whose key compares above `key` (strictly when `strict`, else at or
    // above).
    place bound(const sort_key &key, bool strict) const {
        place found{count, kNone, kNone};
        uint32_t passed = 0;
        for (uint32_t t = root; t != kNone;) {
            const int c = compare_to(t, key);
            if (c > 0 || (!strict && c == 0)) {
                found.position = passed + entries[t].left_size;
                found.at = t;
                t = entries[t].left;
            } else {
                found.before = t;
                passed += entries[t].left_size + 1;
                t = entries[t].right;
            }
        }
        return found;
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

VTAObj *node_of(const VTAChildIndex *index, uint32_t t) {
    return t != kNone ? index->entries[t].node : nullptr;
}

// Sets the key of `e` from `node`; false when it was that key already.
bool set_key(entry &e, const VTAObj *node) {
    const sort_key key(node->VTA_IsFolder != 0, node->VTA_Name);
    // A long name may have changed beyond the prefix, so only a short one counts as unchanged.
    if (e.group == key.group && e.whole && key.whole &&
        memcmp(e.prefix, key.prefix, kPrefixSize) == 0)
        return false;
    e.group = key.group;
    e.whole = key.whole;
    memcpy(e.prefix, key.prefix, kPrefixSize);
    return true;
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
    e = entry{kNone, kNone, kNone, 0, index->next_priority(), 1, 0, 0, {}, node};
    set_key(e, node);
    node->VTA_ListIndex = index;
    node->VTA_ListEntry = t;
    index->root = index->insert_at(index->root, position, t);
    index->entries[index->root].up = kNone;
    ++index->count;
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

    // Every ancestor that has the entry on its left loses one there.
    for (uint32_t child = t, up = index->entries[t].up; up != kNone;
         child = up, up = index->entries[up].up)
        if (index->entries[up].left == child)
            --index->entries[up].left_size;
    const entry &e = index->entries[t];
    const uint32_t joined = index->merge(e.left, e.left_size, e.right);
    const uint32_t up = e.up;
    if (up == kNone) {
        index->root = joined;
        if (joined != kNone)
            index->entries[joined].up = kNone;
    } else if (index->entries[up].left == t) {
        index->link_left(up, joined);
    } else {
        index->link_right(up, joined);
    }
    index->entries[t] = entry{kNone, kNone, index->free_list, 0, 0, 0, 0, 0, {}, nullptr};
    index->free_list = t;
    if (--index->count == 0)
        index->drop();
}

void child_index_rekey(VTAObj *node) {
    VTAChildIndex *index = node->VTA_ListIndex;
    if (index == nullptr)
        return;
    const uint32_t t = node->VTA_ListEntry;
    if (!set_key(index->entries[t], node))
        return;
    index->mark(entry_of(index, node->VTA_SibLeft), t);
    index->mark(t, entry_of(index, node->VTA_SibRight));
}

uint32_t child_index_size(const VTAChildIndex *index) {
    return index->count;
}

VTAObj *child_index_at(const VTAChildIndex *index, uint32_t position) {
    uint32_t t = index->root;
    while (t != kNone) {
        const entry &e = index->entries[t];
        if (position == e.left_size)
            return e.node;
        if (position < e.left_size) {
            t = e.left;
        } else {
            position -= e.left_size + 1;
            t = e.right;
        }
    }
    return nullptr;
}

uint32_t child_index_position(const VTAObj *node) {
    const VTAChildIndex *index = node->VTA_ListIndex;
    uint32_t t = node->VTA_ListEntry;
    uint32_t position = index->entries[t].left_size;
    for (uint32_t up = index->entries[t].up; up != kNone; t = up, up = index->entries[t].up)
        if (index->entries[up].right == t)
            position += index->entries[up].left_size + 1;
    return position;
}

bool child_index_sorted(const VTAChildIndex *index) {
    return index->descents == 0;
}

uint32_t child_index_upper_bound(const VTAChildIndex *index, bool folder, const char *name,
                                 VTAObj **before, VTAObj **at) {
    const place found = index->bound(sort_key(folder, name), true);
    *before = node_of(index, found.before);
    *at = node_of(index, found.at);
    return found.position;
}

VTAObj *child_index_find(const VTAChildIndex *index, uint32_t position, const char *name) {
    // Namesakes form at most two runs, one among the folders and one after them.
    for (bool folder : {true, false}) {
        const sort_key key(folder, name);
        const place first = index->bound(key, false);
        if (first.at == kNone || index->compare_to(first.at, key) != 0)
            continue;
        if (position <= first.position)
            return index->entries[first.at].node;
        VTAObj *at = child_index_at(index, position);
        if (at != nullptr && index->compare_to(entry_of(index, at), key) == 0)
            return at;
    }
    return nullptr;
}
