// Memory for large listings, asking the kernel for transparent huge pages: equal-sized blocks
// carved from 2 MiB slabs, for the admin tree's nodes and the pieces of its child index, and
// arrays in mappings of their own, for the records a listing collects. A large folder is tens
// of thousands of nodes and as many records; taken from the C heap, every 4 KiB page they cover
// costs a page fault on first touch (10 us and more on a virtual machine), where a huge page
// costs one.
#pragma once

#include <cstddef>
#include <mutex>

struct block_pool_slab;

// Size of one slab: one huge page.
constexpr size_t BLOCK_POOL_SLAB_SIZE = size_t(2) << 20;

class block_pool {
public:
    // Blocks of `block_size` bytes (a multiple of 8, below the slab size), 8-byte aligned; up to
    // `keep_empty_slabs` emptied slabs are kept for reuse. With `zero_reused` false a released
    // block comes back as it was released but for its first 8 bytes, which are zero: for owners
    // that clear their blocks on release anyway.
    constexpr block_pool(size_t block_size, size_t keep_empty_slabs, bool zero_reused = true)
        : block_size_(block_size), zero_reused_(zero_reused), keep_empty_(keep_empty_slabs) {}
    block_pool(const block_pool &) = delete;
    block_pool &operator=(const block_pool &) = delete;

    // A zeroed block (see zero_reused), or null when the system has no memory for a new slab.
    void *allocate();
    // Takes back a block of this pool. A slab whose blocks are all back is kept for reuse while
    // no more than `keep_empty_slabs` slabs are kept so; beyond that it goes back to the system.
    void release(void *block);
    // Sets how many emptied slabs are kept; slabs kept beyond a lower limit go at once.
    void keep_empty_slabs(size_t count);

    size_t block_size() const { return block_size_; }
    // Slabs mapped, in use or kept.
    size_t slabs() const;

private:
    // Gives an empty slab back to the system.
    void unmap(block_pool_slab *slab);
    void unmap_excess_empty_slabs();

    const size_t block_size_;
    const bool zero_reused_;
    mutable std::mutex mutex_;
    block_pool_slab *with_room_ = nullptr; // slabs with a free or never used block
    size_t slabs_ = 0;
    size_t empty_slabs_ = 0;
    size_t keep_empty_;
};

// A zeroed array of `bytes` in a mapping of its own, of whole huge pages; null when memory runs
// out.
void *large_array_alloc(size_t bytes);
// The array grown to `bytes` (a smaller size leaves it as it is), its contents kept and what is
// added zeroed; null when memory runs out, the array then staying as it was. A null array is
// allocated.
void *large_array_resize(void *array, size_t bytes);
// Unmaps the array; null is ignored.
void large_array_free(void *array);
