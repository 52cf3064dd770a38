#pragma once
// The two preference files of one Thunderbird profile, read together and written back: prefs.js,
// which Thunderbird reads at its start and rewrites while it runs, and user.js, whose values it
// lays over prefs.js at every start. Model's thread only, like the driver that uses it.

#include "clients/UPrefsJs.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Thunderbird's lists of account and identity keys ("account1,account2"), blanks and empty keys
// left out; none when the preference is missing.
std::vector<std::string> ThunderbirdKeyList(const std::optional<std::string>& text);

class TProfilePrefs {
public:
    explicit TProfilePrefs(std::string directory);

    // Reads both files. False, with the reason in error, when prefs.js is missing or unreadable, or
    // when either file does not parse: such a profile is never written to.
    bool Load(std::string& error);

    // The value Thunderbird takes at its next start: user.js over prefs.js.
    const TPrefValue* Effective(std::string_view name) const;
    std::optional<std::string> EffectiveString(std::string_view name) const;
    std::optional<int32_t> EffectiveInteger(std::string_view name) const;

    // Writes back the files whose text changed. prefs.js is replaced atomically (through a symbolic
    // link to its target), owner-only, with backup its previous text kept as the one backup
    // "prefs.js.tessivar-backup"; user.js likewise, or removed when nothing but blanks is left in
    // it and it is not to be kept. True when prefs.js was written. Raises Exception with the
    // system's error text.
    bool Save(bool backup = true);

    bool HasUserFile() const { return m_HasUserFile; }
    // Keep user.js even when nothing but blanks is left in it (the user had such a file).
    void SetUserFileKept(bool kept) { m_KeepUserFile = kept; }
    // Save leaves a user.js in the profile.
    bool UserFileAfterSave() const;

    bool PrefsChanged() const { return Prefs.Text() != m_PrefsText; }
    bool UserChanged() const { return User.Text() != m_UserText; }

    const std::string& Directory() const { return m_Directory; }
    std::string PrefsPath() const { return m_Directory + "/prefs.js"; }
    std::string UserPath() const { return m_Directory + "/user.js"; }

    TPrefsDocument Prefs;
    TPrefsDocument User; // empty when the profile has no user.js

private:
    std::string m_Directory;
    std::string m_PrefsText; // as read
    std::string m_UserText;  // as read
    bool m_HasUserFile = false;
    bool m_KeepUserFile = false;
};
