#include "libvtadmin/vtadmin_block_pool.h"

#include "libutil/fatal.h"

#include <cstdint>
#include <cstring>
#include <sys/mman.h>

// The head of every slab; its blocks follow. A slab is found from any of its blocks by
// rounding the address down to the slab size.
struct block_pool_slab {
    block_pool_slab *prev, *next; // in the pool's list of slabs with room
    void *free_list;              // released blocks, chained through their first bytes
    uint32_t used;                // blocks handed out
    uint32_t carved;              // blocks handed out at least once; the rest were never touched
    uint32_t capacity;
    bool listed; // in the list of slabs with room
};

namespace {

constexpr size_t kFirstBlock = (sizeof(block_pool_slab) + 63) & ~size_t(63);

unsigned char *block_at(block_pool_slab *slab, size_t block_size, uint32_t index) {
    return reinterpret_cast<unsigned char *>(slab) + kFirstBlock + size_t(index) * block_size;
}

block_pool_slab *slab_of(void *block) {
    return reinterpret_cast<block_pool_slab *>(reinterpret_cast<uintptr_t>(block) &
                                               ~uintptr_t(BLOCK_POOL_SLAB_SIZE - 1));
}

// A slab-aligned, zeroed slab: twice the size is mapped and the ends around the aligned middle
// are given back, so that the slab is exactly one huge page.
void *map_slab() {
    void *mapped = mmap(nullptr, 2 * BLOCK_POOL_SLAB_SIZE, PROT_READ | PROT_WRITE,
                        MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped == MAP_FAILED)
        return nullptr;
    const uintptr_t start = reinterpret_cast<uintptr_t>(mapped);
    const uintptr_t aligned =
        (start + BLOCK_POOL_SLAB_SIZE - 1) & ~uintptr_t(BLOCK_POOL_SLAB_SIZE - 1);
    if (aligned > start)
        munmap(mapped, aligned - start);
    const uintptr_t end = start + 2 * BLOCK_POOL_SLAB_SIZE;
    if (end > aligned + BLOCK_POOL_SLAB_SIZE)
        munmap(reinterpret_cast<void *>(aligned + BLOCK_POOL_SLAB_SIZE),
               end - aligned - BLOCK_POOL_SLAB_SIZE);
    void *slab = reinterpret_cast<void *>(aligned);
    // Both are advice: without huge pages the slab is still faulted in by one call rather than
    // page by page; an older kernel that knows neither leaves the slab to be faulted on use.
    madvise(slab, BLOCK_POOL_SLAB_SIZE, MADV_HUGEPAGE);
    madvise(slab, BLOCK_POOL_SLAB_SIZE, MADV_POPULATE_WRITE);
    return slab;
}

void link_front(block_pool_slab **list, block_pool_slab *slab) {
    slab->prev = nullptr;
    slab->next = *list;
    if (*list != nullptr)
        (*list)->prev = slab;
    *list = slab;
    slab->listed = true;
}

void unlink(block_pool_slab **list, block_pool_slab *slab) {
    if (slab->prev != nullptr)
        slab->prev->next = slab->next;
    else
        *list = slab->next;
    if (slab->next != nullptr)
        slab->next->prev = slab->prev;
    slab->prev = slab->next = nullptr;
    slab->listed = false;
}

} // namespace

void *block_pool::allocate() {
    std::lock_guard<std::mutex> lock(mutex_);
    block_pool_slab *slab = with_room_;
    if (slab == nullptr) {
        KX_ASSERT(block_size_ % 8 == 0 && block_size_ > 0 &&
                      block_size_ <= BLOCK_POOL_SLAB_SIZE - kFirstBlock,
                  "vtadmin_block_pool");
        slab = static_cast<block_pool_slab *>(map_slab());
        if (slab == nullptr)
            return nullptr;
        slab->capacity = static_cast<uint32_t>((BLOCK_POOL_SLAB_SIZE - kFirstBlock) / block_size_);
        link_front(&with_room_, slab);
        ++slabs_;
        ++empty_slabs_;
    }
    unsigned char *block;
    if (slab->free_list != nullptr) {
        block = static_cast<unsigned char *>(slab->free_list);
        memcpy(&slab->free_list, block, sizeof slab->free_list);
        memset(block, 0, zero_reused_ ? block_size_ : sizeof slab->free_list);
    } else {
        block = block_at(slab, block_size_, slab->carved++); // still zero from the mapping
    }
    if (slab->used++ == 0)
        --empty_slabs_;
    if (slab->free_list == nullptr && slab->carved == slab->capacity)
        unlink(&with_room_, slab);
    return block;
}

void block_pool::release(void *block) {
    if (block == nullptr)
        return;
    std::lock_guard<std::mutex> lock(mutex_);
    block_pool_slab *slab = slab_of(block);
    memcpy(block, &slab->free_list, sizeof slab->free_list);
    slab->free_list = block;
    if (!slab->listed)
        link_front(&with_room_, slab);
    if (--slab->used == 0 && ++empty_slabs_ > keep_empty_)
        unmap(slab);
}

void block_pool::keep_empty_slabs(size_t count) {
    std::lock_guard<std::mutex> lock(mutex_);
    keep_empty_ = count;
    unmap_excess_empty_slabs();
}

size_t block_pool::slabs() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return slabs_;
}

void block_pool::unmap(block_pool_slab *slab) {
    unlink(&with_room_, slab);
    munmap(slab, BLOCK_POOL_SLAB_SIZE);
    --slabs_;
    --empty_slabs_;
}

void block_pool::unmap_excess_empty_slabs() {
    for (block_pool_slab *slab = with_room_; slab != nullptr && empty_slabs_ > keep_empty_;) {
        block_pool_slab *next = slab->next;
        if (slab->used == 0)
            unmap(slab);
        slab = next;
    }
}
