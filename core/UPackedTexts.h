#pragma once
// A fixed number of texts kept back to back in one block of the record heap: for records kept by the
// hundred thousand, 8 + 4 * N bytes and one allocation where N strings take 32 bytes each and, past
// 15 characters, an allocation each. Set as a whole, read by position. Thread contract: a value that
// is no longer assigned may be read from any thread.

#include "base/UException.h"
#include "core/URecordHeap.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string_view>
#include <utility>

template <size_t N> class TPackedTexts {
public:
    TPackedTexts() = default;
    // Raises Exception when the texts together reach 4 GB.
    explicit TPackedTexts(const std::array<std::string_view, N>& texts) {
        size_t total = 0;
        for (size_t i = 0; i < N; ++i) {
            total += texts[i].size();
            if (total > std::numeric_limits<uint32_t>::max())
                throw Exception("The texts of a record are too long.");
            m_Ends[i] = static_cast<uint32_t>(total);
        }
        if (total == 0)
            return;
        m_Block = static_cast<char*>(TRecordHeap::AllocateRecord(total));
        for (size_t i = 0, start = 0; i < N; start = m_Ends[i++])
            if (!texts[i].empty())
                std::memcpy(m_Block + start, texts[i].data(), texts[i].size());
    }
    TPackedTexts(TPackedTexts&& other) noexcept
        : m_Block(std::exchange(other.m_Block, nullptr)), m_Ends(std::exchange(other.m_Ends, {})) {}
    TPackedTexts& operator=(TPackedTexts&& other) noexcept {
        if (this != &other) {
            Release();
            m_Block = std::exchange(other.m_Block, nullptr);
            m_Ends = std::exchange(other.m_Ends, {});
        }
        return *this;
    }
    ~TPackedTexts() { Release(); }

    std::string_view operator[](size_t index) const {
        const uint32_t start = index == 0 ? 0 : m_Ends[index - 1];
        return {m_Block + start, m_Ends[index] - start};
    }

private:
    // The block holds exactly the texts, so its size is where the last one ends.
    void Release() noexcept {
        if (m_Block)
            TRecordHeap::DeallocateRecord(m_Block, m_Ends[N - 1]);
        m_Block = nullptr;
    }

    char* m_Block = nullptr;
    std::array<uint32_t, N> m_Ends{};
};
