#include "core/UAccountLoginHash.h"

#include <sodium.h>

#include <mutex>

namespace {

// One slow hash at a time: each takes crypto_pwhash_MEMLIMIT_INTERACTIVE (64 MiB).
std::mutex SlowHashLock;

void StartSodium() {
    static const bool started = sodium_init() >= 0;
    if (!started)
        throw ETessivarLoginHashException("The password hashing library could not be started.");
}

// The user name's length first, so that no other split of the same bytes gives the same text.
std::string LoginText(std::string_view username, std::string_view password) {
    std::string text = std::to_string(username.size());
    text.append(":").append(username).append(password);
    return text;
}

const std::array<unsigned char, crypto_generichash_KEYBYTES>& RunKey() {
    static const auto key = [] {
        StartSodium();
        std::array<unsigned char, crypto_generichash_KEYBYTES> made{};
        randombytes_buf(made.data(), made.size());
        return made;
    }();
    return key;
}

} // namespace

std::string HashAccountLogin(std::string_view username, std::string_view password) {
    StartSodium();
    std::string text = LoginText(username, password);
    char hash[crypto_pwhash_STRBYTES];
    int result;
    {
        std::lock_guard lock(SlowHashLock);
        result = crypto_pwhash_str(hash, text.data(), text.size(), crypto_pwhash_OPSLIMIT_INTERACTIVE,
                                   crypto_pwhash_MEMLIMIT_INTERACTIVE);
    }
    sodium_memzero(text.data(), text.size());
    if (result != 0)
        throw ETessivarLoginHashException("Not enough memory to hash the login.");
    return hash;
}

bool AccountLoginMatches(const std::string& hash, std::string_view username, std::string_view password) {
    if (hash.empty() || hash.size() >= crypto_pwhash_STRBYTES)
        return false;
    StartSodium();
    std::string text = LoginText(username, password);
    int result;
    {
        std::lock_guard lock(SlowHashLock);
        result = crypto_pwhash_str_verify(hash.c_str(), text.data(), text.size());
    }
    sodium_memzero(text.data(), text.size());
    return result == 0;
}

TLoginFingerprint AccountLoginFingerprint(std::string_view username, std::string_view password) {
    const auto& key = RunKey();
    std::string text = LoginText(username, password);
    TLoginFingerprint fingerprint{};
    crypto_generichash(fingerprint.data(), fingerprint.size(), reinterpret_cast<const unsigned char*>(text.data()),
                       text.size(), key.data(), key.size());
    sodium_memzero(text.data(), text.size());
    return fingerprint;
}
