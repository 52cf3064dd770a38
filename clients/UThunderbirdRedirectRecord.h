#pragma once
// What a Thunderbird profile must hold while some of its POP3 servers point at local servers, so
// that prefs.js and user.js can be given back byte for byte after a clean stop and also after a
// kill: the two files as they were before the first redirect, the texts last written (a file that
// differs from them was rewritten by Thunderbird or the user since), the redirected servers with
// their real settings, and the servers restored while a running Thunderbird still held the local
// server (their real values wait in user.js for its next start), with the local server Thunderbird
// holds for them (a value it writes back that differs from it is the user's own change).
//
// Kept in the profile as "prefs.js.tessivar-restore", owner-only, and removed once nothing is
// redirected or waiting. Model's thread only, like the driver that uses it.

#include <cstdint>
#include <map>
#include <optional>
#include <string>

// The real server of a redirected server key, as Thunderbird had it.
struct TThunderbirdRealServer {
    std::string Host;
    int32_t Port = 110;
    int32_t SocketType = 0;
    int32_t AuthMethod = 0; // 0: the profile names none
    bool operator==(const TThunderbirdRealServer&) const = default;
};

struct TThunderbirdRedirectedServer {
    std::string Host; // the local server the profile points at
    int32_t Port = 0;
    int64_t Time = 0; // when it was redirected, nanoseconds since the epoch
    TThunderbirdRealServer Real;
    bool operator==(const TThunderbirdRedirectedServer&) const = default;
};

struct TThunderbirdRedirectRecord {
    std::string OriginalPrefs;
    std::optional<std::string> OriginalUser; // nothing: the profile had no user.js
    std::string WrittenPrefs;
    std::optional<std::string> WrittenUser;
    std::map<std::string, TThunderbirdRedirectedServer> Redirected; // by server key
    // Restored, the real values waiting in user.js for Thunderbird: by server key, as they were
    // redirected (an entry of an older record knows only its key: Host is empty).
    std::map<std::string, TThunderbirdRedirectedServer> Pending;

    bool Empty() const { return Redirected.empty() && Pending.empty(); }
    bool operator==(const TThunderbirdRedirectRecord&) const = default;
};

std::string RedirectRecordPath(const std::string& profileDirectory);
// The record's file text, and back; nothing when the text is not a record this program wrote.
std::string FormatRedirectRecord(const TThunderbirdRedirectRecord& record);
std::optional<TThunderbirdRedirectRecord> ParseRedirectRecord(const std::string& text);
// Nothing when the profile holds no record or an unreadable one (traced).
std::optional<TThunderbirdRedirectRecord> LoadRedirectRecord(const std::string& profileDirectory);
// Writes the record durably, or removes its file when the record is empty. Raises Exception.
void SaveRedirectRecord(const std::string& profileDirectory, const TThunderbirdRedirectRecord& record);
