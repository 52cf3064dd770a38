#pragma once
// Counts attempts per key (a client address, an account) within a sliding window, so that a key
// that made too many is refused until the window has passed. The number of keys is bounded: when
// it is reached, keys without attempts in the window go first, then the least recently used.
// Thread contract: every method may be called from any thread.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>

class TAttemptThrottle {
public:
    TAttemptThrottle(int limit, int64_t windowSeconds, size_t maxKeys);

    // True while the key made fewer than the limit of attempts in the window before `now`.
    bool Allows(const std::string& key, int64_t now);
    // Counts an attempt of the key.
    void Record(const std::string& key, int64_t now);

private:
    void Expire(std::deque<int64_t>& attempts, int64_t now) const;

    // Constant after construction.
    const size_t m_Limit;
    const int64_t m_Window;
    const size_t m_MaxKeys;

    std::mutex m_Lock;
    // Guarded by m_Lock: the times of each key's attempts within the window, oldest first.
    std::map<std::string, std::deque<int64_t>> m_Attempts;
};
