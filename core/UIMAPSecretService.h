#pragma once
// The desktop's Secret Service (GNOME Keyring, KWallet) through libsecret, for the IMAP passwords.
// Never prompts: a locked keyring counts as no answer, so that the windowless program and the
// systemd unit never wait on an unlock dialog nobody sees; every call gives up after
// SecretServiceTimeoutMs. Any thread.

#include <optional>
#include <string>

#include "core/UIMAPSettings.h"

inline constexpr int SecretServiceTimeoutMs = 5000;

// What the Secret Service said about a password.
struct TSecretLookup {
    // False when no Secret Service answered (no session bus, none running, locked, too slow).
    bool Answered = false;
    std::optional<std::string> Password;
};

// A session bus is there to ask (without starting one) and TESSIVAR_PASSWORD_STORE does not say
// "file".
bool SecretServiceWanted();
TSecretLookup LookupSecretPassword(const TIMAPServer& server);
// False when it could not be kept there (nothing answered, or the default keyring is locked).
bool StoreSecretPassword(const TIMAPServer& server, const std::string& password);
// Removes it (unlocked items only), also when TESSIVAR_PASSWORD_STORE says "file"; false when
// nothing answered.
bool ClearSecretPassword(const TIMAPServer& server);
