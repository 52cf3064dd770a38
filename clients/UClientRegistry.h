#pragma once
// Registry access shared by the mail client drivers: reading account keys and rewriting their POP3
// server. Model's thread only, like the drivers.

#include <string>
#include <string_view>

#include "base/LStrings.h"

class TRegistry;
class TMailClient;
class TMailClientAccount;

// How a driver keeps texts in its account keys: ordinary string values, or binary values holding
// UTF-16LE text with a terminating NUL.
enum class TStringForm { Registry, WideBinary };

// Value names of a driver's account keys besides the POP3 server and port.
struct TAccountValueNames {
    const char* AccountName;
    const char* DisplayName;
    const char* EmailAddress;
    const char* UserName;
    // The 32-bit integer value that asks for TLS from the first byte to the real POP3 server (1 on,
    // 0 or missing off); nullptr for a driver that has none.
    const char* SecureConnection = nullptr;
};

// The name beside a redirected account's secure-connection value that keeps its real setting:
// "Tessivar Remote " + the value's name.
std::string RemoteSecureConnectionName(const char* secureConnection);

// The names of the subkeys of the key; empty when the key is missing or cannot be opened.
TStringArray ReadKeyNames(const std::string& path);

// A UTF-16LE binary value as UTF-8 text up to its terminating NUL (text without a terminator is
// kept whole); fallback when the value is missing. A value stored as an ordinary string is read
// as that string.
std::string ReadWideString(const TRegistry& registry, std::string_view name, const std::string& fallback);
// Stores the text plus a NUL as UTF-16LE in a binary value.
void WriteWideString(TRegistry& registry, std::string_view name, const std::string& value);

// The scanning entries of the trace that only some drivers write.
enum class TScanTrace { Silent, Verbose };

// Reads one account key and appends the account to the client's owner. A key that is missing or
// has no value "POP3 Server" is skipped.
void ReadAccountKey(TMailClient& client, const std::string& keyPath, const std::string& identity,
                    const TAccountValueNames& names, TStringForm form, TScanTrace trace);
// Reads every subkey of an accounts key as an account key.
void ScanAccountsKey(TMailClient& client, const std::string& accountsKey, const std::string& identity,
                     const TAccountValueNames& names, TStringForm form, TScanTrace trace);

// Points the account's key at host and port, keeping its real server and port in the two extra
// values; all values reach disk together or not at all. Failures go to the trace only; the result
// tells whether the values were written. With a secureConnection value name and a key that has
// the value: pointing at a marker host switches it off (the local server speaks plain POP3) and
// keeps the real setting beside it; pointing anywhere else writes the real setting back.
bool WritePOP3Server(const TMailClientAccount& account, const std::string& host, int port, TStringForm form,
                     const char* className, const char* secureConnection = nullptr);
// The account key's "POP3 Server" as it is now; empty when the key or the value is missing.
std::string ReadPOP3Server(const TMailClientAccount& account, TStringForm form);
