#include "mail/UTessivarLoginThrottle.h"

#include <algorithm>

namespace {

// base * 2^(count - 1), at most `limit`.
std::chrono::seconds Doubled(std::chrono::seconds base, int count, std::chrono::seconds limit) {
    std::chrono::seconds value = base;
    for (int i = 1; i < count && value < limit; ++i)
        value *= 2;
    return std::min(value, limit);
}

} // namespace

bool TTessivarLoginThrottle::RecentlyRefused(const TLoginFingerprint& login, TClock::time_point now) {
    std::lock_guard lock(m_Lock);
    const auto found = m_Refused.find(login);
    return found != m_Refused.end() && now < found->second.Until;
}

TTessivarLoginThrottle::TClock::duration TTessivarLoginThrottle::BackOffLeft(TClock::time_point now) const {
    std::lock_guard lock(m_Lock);
    if (m_RefusalsInARow <= FreeRefusals || now >= m_RelayAgain)
        return TClock::duration::zero();
    return m_RelayAgain - now;
}

void TTessivarLoginThrottle::Refused(const TLoginFingerprint& login, TClock::time_point now) {
    std::lock_guard lock(m_Lock);
    if (m_Refused.size() >= MaxRemembered && !m_Refused.count(login)) {
        const auto first = std::min_element(m_Refused.begin(), m_Refused.end(),
                                            [](const auto& a, const auto& b) { return a.second.Until < b.second.Until; });
        m_Refused.erase(first);
    }
    TRefusal& refusal = m_Refused[login];
    ++refusal.Count;
    refusal.Until = now + Doubled(RefusedLoginMemory, refusal.Count, MaxRefusedLoginMemory);
    ++m_RefusalsInARow;
    if (m_RefusalsInARow > FreeRefusals)
        m_RelayAgain = now + Doubled(FirstBackOff, m_RefusalsInARow - FreeRefusals, MaxBackOff);
}

void TTessivarLoginThrottle::Accepted(const TLoginFingerprint& login) {
    std::lock_guard lock(m_Lock);
    m_Refused.erase(login);
    m_RefusalsInARow = 0;
    m_RelayAgain = {};
}
