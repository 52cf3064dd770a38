#pragma once
// What the program keeps of an account's login to its real server: a salted slow hash (Argon2id
// through libsodium's crypto_pwhash_str, at its "interactive" limits: 2 passes over 64 MiB), so that
// a mail program can still read the mail already stored while the real server cannot be reached,
// without the password itself ever being written anywhere; and a keyed fast fingerprint that
// recognises a login again in memory during this run (never stored: its key is made at random for
// each run).
//
// Thread contract: any thread. The slow hash and its check run one at a time in the process, so
// that many logins at once never take the hash's memory more than once.

#include <array>
#include <string>
#include <string_view>

#include "base/UException.h"

// The hash could not be made (libsodium failed to start or had no memory).
TESSIVAR_EXCEPTION(ETessivarLoginHashException, Exception);

// A new hash of the user name and password, with a fresh random salt; the text form
// crypto_pwhash_str gives ("$argon2id$..."), which names its own limits.
std::string HashAccountLogin(std::string_view username, std::string_view password);
// The user name and password are those the hash was made of. False for an empty or malformed hash.
bool AccountLoginMatches(const std::string& hash, std::string_view username, std::string_view password);

using TLoginFingerprint = std::array<unsigned char, 32>;
// Keyed BLAKE2b of the user name and password with this run's key.
TLoginFingerprint AccountLoginFingerprint(std::string_view username, std::string_view password);
