#pragma once
// Keeps a local POP3 server from relaying refused logins to the real server again and again, so
// that nobody on this machine can get the user's real mailbox locked by its provider by trying
// passwords through Tessivar.
//
// - Credentials the real server refused are refused locally, without asking the server, for a
//   while that doubles with each refusal of the same credentials: RefusedLoginMemory at first, at
//   most MaxRefusedLoginMemory.
// - After FreeRefusals refusals in a row (any credentials), credentials not known to be good wait
//   before they are relayed: FirstBackOff after the last refusal, doubling with each further
//   refusal, at most MaxBackOff. A login the real server accepts ends the back-off.
//
// Credentials are kept only as this run's fingerprints (core/UAccountLoginHash.h). Thread
// contract: any thread; one lock guards everything.

#include <chrono>
#include <cstddef>
#include <map>
#include <mutex>

#include "core/UAccountLoginHash.h"

class TTessivarLoginThrottle {
public:
    using TClock = std::chrono::steady_clock;

    static constexpr std::chrono::seconds RefusedLoginMemory{60};
    static constexpr std::chrono::seconds MaxRefusedLoginMemory{60 * 60};
    static constexpr int FreeRefusals = 2;
    static constexpr std::chrono::seconds FirstBackOff{30};
    static constexpr std::chrono::seconds MaxBackOff{30 * 60};
    // Refused credentials remembered at most; the ones whose time ends first make room.
    static constexpr std::size_t MaxRemembered = 256;

    // The real server refused these credentials recently: refuse them without asking it.
    bool RecentlyRefused(const TLoginFingerprint& login, TClock::time_point now = TClock::now());
    // Unknown credentials must wait before they are relayed; zero when they may go now.
    TClock::duration BackOffLeft(TClock::time_point now = TClock::now()) const;

    void Refused(const TLoginFingerprint& login, TClock::time_point now = TClock::now());
    void Accepted(const TLoginFingerprint& login);

private:
    struct TRefusal {
        int Count = 0;
        TClock::time_point Until;
    };

    mutable std::mutex m_Lock;
    std::map<TLoginFingerprint, TRefusal> m_Refused; // guarded by m_Lock
    int m_RefusalsInARow = 0;                         // guarded by m_Lock
    TClock::time_point m_RelayAgain{};                // guarded by m_Lock
};
