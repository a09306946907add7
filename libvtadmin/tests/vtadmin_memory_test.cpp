// Memory for large listings. The block pool behind the tree's nodes and indexes: blocks apart
// and zeroed across slabs, released blocks used again before a new slab, emptied slabs kept only
// up to the limit. Large arrays: zeroed, contents kept through growth from small pages to huge
// ones and between huge mappings.
#include "libvtadmin/vtadmin_memory.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

namespace {

constexpr size_t kBlock = 1936; // a node's size
constexpr size_t kPerSlab = (BLOCK_POOL_SLAB_SIZE - 64) / kBlock;

bool all_bytes(const void *block, size_t from, unsigned char value) {
    const auto *bytes = static_cast<const unsigned char *>(block);
    for (size_t i = from; i < kBlock; ++i)
        if (bytes[i] != value)
            return false;
    return true;
}

TEST(BlockPool, BlocksOfSeveralSlabsAreZeroedAlignedAndApart) {
    block_pool pool(kBlock, 0);
    std::vector<unsigned char *> blocks;
    for (size_t i = 0; i < 2 * kPerSlab + 1; ++i) {
        auto *block = static_cast<unsigned char *>(pool.allocate());
        ASSERT_NE(block, nullptr) << i;
        ASSERT_EQ(reinterpret_cast<uintptr_t>(block) % 8, 0u) << i;
        ASSERT_TRUE(all_bytes(block, 0, 0)) << "block " << i << " is not zero";
        memset(block, static_cast<int>(i % 251) + 1, kBlock);
        blocks.push_back(block);
    }
    EXPECT_EQ(pool.slabs(), 3u);
    for (size_t i = 0; i < blocks.size(); ++i)
        ASSERT_TRUE(all_bytes(blocks[i], 0, static_cast<unsigned char>(i % 251 + 1)))
            << "block " << i << " was overwritten";
    for (unsigned char *block : blocks)
        pool.release(block);
    EXPECT_EQ(pool.slabs(), 0u);
}

TEST(BlockPool, ReleasedBlocksComeBackBeforeANewSlabIsMapped) {
    const struct {
        const char *label;
        bool zero_reused;
        size_t zero_up_to;  // the reused block is zero up to here
        unsigned char rest; // and holds this from there on
    } cases[] = {
        {"cleared by the pool", true, kBlock, 0},
        {"left as released", false, 8, 0x5A},
    };
    for (const auto &c : cases) {
        block_pool pool(kBlock, 1, c.zero_reused);
        std::vector<void *> blocks;
        for (size_t i = 0; i < kPerSlab; ++i) // exactly one full slab
            blocks.push_back(pool.allocate());
        ASSERT_EQ(pool.slabs(), 1u) << c.label;
        void *freed = blocks[kPerSlab / 2];
        memset(freed, 0x5A, kBlock);
        pool.release(freed);
        void *again = pool.allocate();
        EXPECT_EQ(again, freed) << c.label;
        EXPECT_EQ(pool.slabs(), 1u) << c.label << ": a slab with room is used first";
        for (size_t i = 0; i < c.zero_up_to; ++i)
            ASSERT_EQ(static_cast<unsigned char *>(again)[i], 0) << c.label << ": byte " << i;
        EXPECT_TRUE(all_bytes(again, c.zero_up_to, c.rest)) << c.label;
        for (void *block : blocks)
            pool.release(block);
    }
}

TEST(BlockPool, EmptiedSlabsAreKeptUpToTheLimit) {
    const struct {
        size_t keep;      // emptied slabs kept
        size_t lowered;   // the limit set afterwards
        size_t kept;      // slabs mapped once all blocks are back
        size_t remaining; // and after lowering the limit
    } cases[] = {{0, 0, 0, 0}, {1, 1, 1, 1}, {2, 1, 2, 1}, {5, 0, 3, 0}};
    for (const auto &c : cases) {
        block_pool pool(kBlock, c.keep);
        std::vector<void *> blocks;
        for (size_t i = 0; i < 3 * kPerSlab; ++i)
            blocks.push_back(pool.allocate());
        ASSERT_EQ(pool.slabs(), 3u) << "keep " << c.keep;
        for (void *block : blocks)
            pool.release(block);
        EXPECT_EQ(pool.slabs(), c.kept) << "keep " << c.keep;
        pool.keep_empty_slabs(c.lowered);
        EXPECT_EQ(pool.slabs(), c.remaining) << "keep " << c.keep << ", then " << c.lowered;
        // A kept slab serves the next allocation.
        void *block = pool.allocate();
        EXPECT_EQ(pool.slabs(), std::max<size_t>(c.remaining, 1)) << "keep " << c.keep;
        pool.release(block);
    }
}

// A pattern that tells every 8-byte word of an array from every other.
uint64_t word_at(size_t i) {
    return 0x9E3779B97F4A7C15u * (i + 1);
}

TEST(LargeArray, GrowthKeepsTheContentsAndZeroesWhatIsAdded) {
    // Doubling as a listing does, within the first huge page and beyond it, and a request
    // smaller than the array.
    const size_t sizes[] = {100, 24 * 1024, 700 * 1024, 1536 * 1024, 5 << 20, 1 << 20, 9 << 20};
    // A null array is allocated by growing.
    auto *words = static_cast<uint64_t *>(large_array_resize(nullptr, sizes[0]));
    ASSERT_NE(words, nullptr);
    ASSERT_EQ(reinterpret_cast<uintptr_t>(words) % 64, 0u);
    size_t filled = 0; // words written so far
    size_t size = sizes[0];
    for (size_t wanted : sizes) {
        words = static_cast<uint64_t *>(large_array_resize(words, wanted));
        ASSERT_NE(words, nullptr) << wanted;
        size = std::max(size, wanted);
        for (size_t i = 0; i < filled; ++i)
            ASSERT_EQ(words[i], word_at(i)) << "word " << i << " after growing to " << wanted;
        for (size_t i = filled; i < size / 8; ++i)
            ASSERT_EQ(words[i], 0u) << "word " << i << " after growing to " << wanted;
        for (; filled < size / 8; ++filled)
            words[filled] = word_at(filled);
    }
    large_array_free(words);
    large_array_free(nullptr);
}

} // namespace
