#include "core/URecordHeap.h"

#include <cstdint>
#include <new>
#include <sys/mman.h>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#define TESSIVAR_RECORDS_ON_GLOBAL_HEAP 1
#define POISON_BLOCK(block, size) ASAN_POISON_MEMORY_REGION(block, size)
#define UNPOISON_BLOCK(block, size) ASAN_UNPOISON_MEMORY_REGION(block, size)
#else
#define POISON_BLOCK(block, size) ((void)(block), (void)(size))
#define UNPOISON_BLOCK(block, size) ((void)(block), (void)(size))
#endif

#ifndef MADV_POPULATE_WRITE
#define MADV_POPULATE_WRITE 23
#endif

TRecordHeap::~TRecordHeap() {
    for (void* chunk : m_Chunks) {
        UNPOISON_BLOCK(chunk, ChunkSize);
        ::munmap(chunk, ChunkSize);
    }
}

// A chunk aligned to its size, so that it can be one huge page: twice the size is mapped and the
// ends beyond the aligned part are given back. Filling it at once is a hint: a kernel without it
// (before 5.14) fills the pages as they are first touched.
void TRecordHeap::AddChunk() {
    // Room for the chunk first, so that a mapped chunk is always recorded.
    if (m_Chunks.size() == m_Chunks.capacity())
        m_Chunks.reserve(2 * m_Chunks.size() + 8);
    void* mapped = ::mmap(nullptr, 2 * ChunkSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped == MAP_FAILED)
        throw std::bad_alloc();
    const auto start = reinterpret_cast<uintptr_t>(mapped);
    const uintptr_t aligned = (start + ChunkSize - 1) & ~(ChunkSize - 1);
    if (aligned > start)
        ::munmap(mapped, aligned - start);
    if (const uintptr_t tail = start + 2 * ChunkSize - (aligned + ChunkSize); tail > 0)
        ::munmap(reinterpret_cast<void*>(aligned + ChunkSize), tail);
    auto* chunk = reinterpret_cast<char*>(aligned);
#ifdef MADV_HUGEPAGE
    ::madvise(chunk, ChunkSize, MADV_HUGEPAGE);
#endif
    ::madvise(chunk, ChunkSize, MADV_POPULATE_WRITE);
    POISON_BLOCK(chunk, ChunkSize);
    m_Chunks.push_back(chunk);
    m_Next = chunk;
    m_End = chunk + ChunkSize;
}

void* TRecordHeap::Allocate(size_t size) {
    if (size > LargestPooled)
        return ::operator new(size);
    const size_t sizeClass = SizeClass(size), blockSize = (sizeClass + 1) * Granularity;
    std::lock_guard lock(m_Lock);
    void* block = nullptr;
    if (TFreeBlock* free = m_Free[sizeClass]) {
        UNPOISON_BLOCK(free, blockSize);
        m_Free[sizeClass] = free->Next;
        block = free;
    } else {
        // The rest of a chunk too short for the block is left unused: under one block per chunk.
        if (static_cast<size_t>(m_End - m_Next) < blockSize)
            AddChunk();
        block = m_Next;
        m_Next += blockSize;
        UNPOISON_BLOCK(block, blockSize);
    }
    return block;
}

void TRecordHeap::Deallocate(void* block, size_t size) noexcept {
    if (!block)
        return;
    if (size > LargestPooled) {
        ::operator delete(block, size);
        return;
    }
    const size_t sizeClass = SizeClass(size);
    std::lock_guard lock(m_Lock);
    auto* free = static_cast<TFreeBlock*>(block);
    free->Next = m_Free[sizeClass];
    m_Free[sizeClass] = free;
    POISON_BLOCK(block, (sizeClass + 1) * Granularity);
}

size_t TRecordHeap::ChunkCount() const {
    std::lock_guard lock(m_Lock);
    return m_Chunks.size();
}

#ifndef TESSIVAR_RECORDS_ON_GLOBAL_HEAP
namespace {
// Never destroyed: records may still be freed while the program's other static objects go.
union TProcessHeap {
    TProcessHeap() : Heap() {}
    ~TProcessHeap() {}
    TRecordHeap Heap;
};

TRecordHeap& ProcessHeap() {
    static TProcessHeap heap;
    return heap.Heap;
}
} // namespace
#endif

void* TRecordHeap::AllocateRecord(size_t size) {
#ifdef TESSIVAR_RECORDS_ON_GLOBAL_HEAP
    return ::operator new(size);
#else
    return ProcessHeap().Allocate(size);
#endif
}

void TRecordHeap::DeallocateRecord(void* block, size_t size) noexcept {
#ifdef TESSIVAR_RECORDS_ON_GLOBAL_HEAP
    ::operator delete(block, size);
#else
    ProcessHeap().Deallocate(block, size);
#endif
}
