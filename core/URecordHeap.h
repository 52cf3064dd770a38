#pragma once
// Memory for the model's records and their texts, which a large database holds by the hundred
// thousand. Blocks of up to 512 bytes are carved from 2 MB chunks that the kernel may back with huge
// pages and fills in one call, so that loading 100,000 emails takes a few dozen page faults instead
// of one per 4 kB touched (on a virtual machine a fault costs more than building the record).
// A freed block goes to the free list of its size class and is given out again; the chunks stay
// until the heap is destroyed. Larger blocks come from the global heap.
// Thread contract: any thread.

#include <array>
#include <cstddef>
#include <mutex>
#include <vector>

class TRecordHeap {
public:
    // Every block is aligned to, and a multiple of, this many bytes.
    static constexpr size_t Granularity = 16;
    static constexpr size_t LargestPooled = 512;
    static constexpr size_t ChunkSize = size_t{2} << 20;

    TRecordHeap() = default;
    TRecordHeap(const TRecordHeap&) = delete;
    TRecordHeap& operator=(const TRecordHeap&) = delete;
    // Gives the chunks back; every pooled block must have been freed before.
    ~TRecordHeap();

    // Raises std::bad_alloc when no memory is left.
    void* Allocate(size_t size);
    // `size` is the one the block was allocated with.
    void Deallocate(void* block, size_t size) noexcept;
    size_t ChunkCount() const;

    // The heap of the records. Under AddressSanitizer the records use the global heap instead, so
    // that its checks of every access and of leaks apply to them.
    static void* AllocateRecord(size_t size);
    static void DeallocateRecord(void* block, size_t size) noexcept;

private:
    struct TFreeBlock {
        TFreeBlock* Next;
    };
    static size_t SizeClass(size_t size) { return (size == 0 ? 0 : (size - 1) / Granularity); }
    void AddChunk();

    mutable std::mutex m_Lock;
    std::array<TFreeBlock*, LargestPooled / Granularity> m_Free{};
    char* m_Next = nullptr;
    char* m_End = nullptr;
    std::vector<void*> m_Chunks;
};
