// Equal-sized blocks carved from 2 MiB slabs that ask the kernel for transparent huge pages,
// for the admin tree's nodes and the pieces of its child index. A large folder is tens of
// thousands of such blocks; taken one by one from the C heap, every 4 KiB page they cover costs
// a page fault on first touch (10 us and more on a virtual machine), where a slab costs one.
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
