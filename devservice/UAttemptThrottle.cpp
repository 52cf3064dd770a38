#include "devservice/UAttemptThrottle.h"

#include <algorithm>
#include <iterator>

TAttemptThrottle::TAttemptThrottle(int limit, int64_t windowSeconds, size_t maxKeys)
    : m_Limit(static_cast<size_t>(std::max(limit, 1))), m_Window(windowSeconds), m_MaxKeys(std::max<size_t>(maxKeys, 1)) {}

void TAttemptThrottle::Expire(std::deque<int64_t>& attempts, int64_t now) const {
    while (!attempts.empty() && now - attempts.front() >= m_Window)
        attempts.pop_front();
}

bool TAttemptThrottle::Allows(const std::string& key, int64_t now) {
    std::lock_guard lock(m_Lock);
    const auto entry = m_Attempts.find(key);
    if (entry == m_Attempts.end())
        return true;
    Expire(entry->second, now);
    return entry->second.size() < m_Limit;
}

void TAttemptThrottle::Record(const std::string& key, int64_t now) {
    std::lock_guard lock(m_Lock);
    if (!m_Attempts.contains(key) && m_Attempts.size() >= m_MaxKeys) {
        for (auto entry = m_Attempts.begin(); entry != m_Attempts.end();) {
            Expire(entry->second, now);
            entry = entry->second.empty() ? m_Attempts.erase(entry) : std::next(entry);
        }
        if (m_Attempts.size() >= m_MaxKeys)
            m_Attempts.erase(std::min_element(m_Attempts.begin(), m_Attempts.end(), [](const auto& a, const auto& b) {
                return a.second.back() < b.second.back();
            }));
    }
    std::deque<int64_t>& attempts = m_Attempts[key];
    Expire(attempts, now);
    attempts.push_back(now);
    // Only the last `limit` attempts decide; older ones need not be kept.
    while (attempts.size() > m_Limit)
        attempts.pop_front();
}
