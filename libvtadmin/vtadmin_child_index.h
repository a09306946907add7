// Index of one sibling list of the admin tree, kept beside the sibling links: the list's order
// with counts, so that the n-th node and the position of a node take O(log n), and, as long as
// the list is in sorted order (folders first, then byte order of names), search by key for
// names and for the sorted insert position. A list whose order was broken by a node changed
// in place (renamed, turned into a folder) reports itself unsorted; the tree then walks it.
#pragma once

#include <cstddef>
#include <cstdint>

struct VTAObj;
struct VTAChildIndex;

// How many emptied slabs of memory the indexes keep for reuse (vtadmin_memory.h).
void child_index_keep_empty_slabs(size_t count);

// A new, empty index whose owner keeps it in `*slot` (a parent's VTA_ChildIndex or the tree's
// VTA_TopIndex); the slot is cleared when the index goes away with its last node. Null when
// memory runs out.
VTAChildIndex *child_index_create(VTAChildIndex **slot);

// Records `node`, already linked into the list between its VTA_SibLeft and VTA_SibRight, at
// `position` (0 = first). False when memory runs out; the index is then dropped (its slot
// cleared, every node of the list forgotten) and the list is walked from then on.
bool child_index_insert(VTAChildIndex *index, uint32_t position, VTAObj *node);
// Forgets `node` while its sibling links are still set; the index goes with its last node.
void child_index_erase(VTAObj *node);
// Drops the whole index: every node of the list is forgotten (the list is walked from then on)
// and the owner's slot cleared. For a list about to go whole, and when memory runs out.
void child_index_drop(VTAChildIndex *index);
// Takes up the name and folder flag of `node` after they changed in place.
void child_index_rekey(VTAObj *node);

uint32_t child_index_size(const VTAChildIndex *index);
// The node at `position` (0 = first), or null past the end.
VTAObj *child_index_at(const VTAChildIndex *index, uint32_t position);
// The position of a node in its list (0 = first).
uint32_t child_index_position(const VTAObj *node);
// True while every node's key is at most its right neighbour's.
bool child_index_sorted(const VTAChildIndex *index);

// Sorted lists only: the position of the first node whose key (folders first, then the name
// in byte order over at most 256 bytes) is above that of a node named `name`, with the nodes
// before and at that position (null at the ends).
uint32_t child_index_upper_bound(const VTAChildIndex *index, bool folder, const char *name,
                                 VTAObj **before, VTAObj **at);
// Sorted lists only: the first node at `position` or after it named `name`, or null.
VTAObj *child_index_find(const VTAChildIndex *index, uint32_t position, const char *name);

// Every node of the list in list order, to `visit`, which must not change the list. Reads the
// index's arrays rather than chasing sibling links, so that the nodes' memory is read ahead.
void child_index_each(const VTAChildIndex *index, void (*visit)(VTAObj *, void *), void *context);
