#include "libvtadmin/vtadmin_memory.h"

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

constexpr size_t kHugePage = BLOCK_POOL_SLAB_SIZE;
constexpr size_t kFirstBlock = (sizeof(block_pool_slab) + 63) & ~size_t(63);

unsigned char *block_at(block_pool_slab *slab, size_t block_size, uint32_t index) {
    return reinterpret_cast<unsigned char *>(slab) + kFirstBlock + size_t(index) * block_size;
}

block_pool_slab *slab_of(void *block) {
    return reinterpret_cast<block_pool_slab *>(reinterpret_cast<uintptr_t>(block) &
                                               ~uintptr_t(BLOCK_POOL_SLAB_SIZE - 1));
}

// A zeroed mapping of `size` (a multiple of the huge page size) that starts on a huge page and
// asks for huge pages: a huge page more is mapped, and what lies around the aligned part is
// given back.
void *map_huge_pages(size_t size) {
    void *mapped =
        mmap(nullptr, size + kHugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped == MAP_FAILED)
        return nullptr;
    const uintptr_t start = reinterpret_cast<uintptr_t>(mapped);
    const uintptr_t aligned = (start + kHugePage - 1) & ~uintptr_t(kHugePage - 1);
    if (aligned > start)
        munmap(mapped, aligned - start);
    const uintptr_t end = start + size + kHugePage;
    if (end > aligned + size)
        munmap(reinterpret_cast<void *>(aligned + size), end - aligned - size);
    void *huge = reinterpret_cast<void *>(aligned);
    // Advice: without huge pages the memory is simply faulted in page by page.
    madvise(huge, size, MADV_HUGEPAGE);
    return huge;
}

// A slab: one huge page, faulted in at once (without huge pages by one call rather than page by
// page; a kernel that cannot leaves it to be faulted on use).
void *map_slab() {
    void *slab = map_huge_pages(BLOCK_POOL_SLAB_SIZE);
    if (slab != nullptr)
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
                  "vtadmin_memory");
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

// ---- Large arrays ----

namespace {

// Every array is preceded by the size of its mapping, in a header that keeps it 64-byte aligned.
constexpr size_t kArrayHeader = 64;

// Every array is a mapping of whole huge pages, even a small one: a listing's array starts small
// and doubles as pages of entries arrive, and within one huge page it grows in place, where
// mappings of small pages had to be made, faulted in and copied at every doubling (a thousand
// disk records cost 2 ms of that on a virtual machine, against 0.2 ms in one huge page). A small
// array pays one 2 MB fault instead of a few small ones, some 15 us more.
size_t mapping_size(size_t bytes) {
    return (kArrayHeader + bytes + kHugePage - 1) & ~(kHugePage - 1);
}

size_t size_of(void *mapping) {
    size_t size;
    memcpy(&size, mapping, sizeof size);
    return size;
}

void *array_in(void *mapping, size_t size) {
    memcpy(mapping, &size, sizeof size);
    return static_cast<unsigned char *>(mapping) + kArrayHeader;
}

void *mapping_of(void *array) {
    return static_cast<unsigned char *>(array) - kArrayHeader;
}

} // namespace

void *large_array_alloc(size_t bytes) {
    const size_t size = mapping_size(bytes);
    void *mapping = map_huge_pages(size);
    return mapping != nullptr ? array_in(mapping, size) : nullptr;
}

void *large_array_resize(void *array, size_t bytes) {
    if (array == nullptr)
        return large_array_alloc(bytes);
    void *mapping = mapping_of(array);
    const size_t size = size_of(mapping);
    const size_t wanted = mapping_size(bytes);
    if (wanted <= size)
        return array;
    void *target = map_huge_pages(wanted);
    if (target == nullptr)
        return nullptr;
    // The kernel moves the pages rather than copying them.
    if (mremap(mapping, size, size, MREMAP_MAYMOVE | MREMAP_FIXED, target) == MAP_FAILED) {
        munmap(target, wanted);
        return nullptr;
    }
    return array_in(target, wanted);
}

void large_array_free(void *array) {
    if (array == nullptr)
        return;
    void *mapping = mapping_of(array);
    munmap(mapping, size_of(mapping));
}
