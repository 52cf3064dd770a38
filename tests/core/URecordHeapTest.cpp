#include "core/URecordHeap.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <thread>
#include <vector>

namespace {
struct TBlock {
    unsigned char* Data;
    size_t Size;
    unsigned char Fill;
};

bool Holds(const TBlock& block) {
    return std::all_of(block.Data, block.Data + block.Size, [&](unsigned char c) { return c == block.Fill; });
}
} // namespace

// Blocks of every pooled size and beyond, more than one chunk holds: each aligned, each keeping all
// of its bytes while the others are written, a freed block given out again for its own size only.
TEST(URecordHeap, BlocksAreAlignedSeparateAndReusedBySize) {
    TRecordHeap heap;
    std::vector<TBlock> blocks;
    size_t pooledBytes = 0;
    for (size_t i = 0; pooledBytes < 3 * TRecordHeap::ChunkSize; ++i) {
        const size_t size = i % (TRecordHeap::LargestPooled + 40);
        auto* data = static_cast<unsigned char*>(heap.Allocate(size));
        ASSERT_EQ(reinterpret_cast<uintptr_t>(data) % TRecordHeap::Granularity, 0u) << size;
        const auto fill = static_cast<unsigned char>(i);
        std::memset(data, fill, size);
        blocks.push_back({data, size, fill});
        if (size <= TRecordHeap::LargestPooled)
            pooledBytes += size;
    }
    EXPECT_GE(heap.ChunkCount(), 3u);
    for (const TBlock& block : blocks)
        ASSERT_TRUE(Holds(block)) << block.Size;

    const size_t chunks = heap.ChunkCount();
    const TBlock freed = blocks[100];
    heap.Deallocate(freed.Data, freed.Size);
    EXPECT_NE(heap.Allocate(freed.Size + TRecordHeap::Granularity), freed.Data);
    EXPECT_EQ(heap.Allocate(freed.Size), freed.Data);
    EXPECT_EQ(heap.ChunkCount(), chunks);
    for (const TBlock& block : blocks)
        if (block.Data != freed.Data)
            heap.Deallocate(block.Data, block.Size);
}

// The model's thread and the connection threads free and allocate records at the same time: no block
// may be given to two of them.
TEST(URecordHeap, ThreadsNeverShareABlock) {
    TRecordHeap heap;
    std::vector<std::thread> threads;
    std::vector<int> failures(4, 0);
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            std::vector<TBlock> mine;
            for (int round = 0; round < 20000; ++round) {
                const size_t size = 16 + (round % 7) * 24;
                auto* data = static_cast<unsigned char*>(heap.Allocate(size));
                std::memset(data, t + 1, size);
                mine.push_back({data, size, static_cast<unsigned char>(t + 1)});
                if (round % 3 == 2) {
                    failures[t] += Holds(mine.front()) ? 0 : 1;
                    heap.Deallocate(mine.front().Data, mine.front().Size);
                    mine.erase(mine.begin());
                }
            }
            for (const TBlock& block : mine) {
                failures[t] += Holds(block) ? 0 : 1;
                heap.Deallocate(block.Data, block.Size);
            }
        });
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(failures, std::vector<int>(4, 0));
}
