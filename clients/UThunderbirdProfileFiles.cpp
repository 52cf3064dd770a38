#include "clients/UThunderbirdProfileFiles.h"

#include "base/LStrings.h"
#include "base/UException.h"
#include "base/UFileUtils.h"
#include "base/UWindows.h"

#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>

std::vector<std::string> ThunderbirdKeyList(const std::optional<std::string>& text) {
    std::vector<std::string> keys;
    if (!text)
        return keys;
    for (const std::string& part : SplitText(*text, ","))
        if (const std::string key = Trim(part); !key.empty())
            keys.push_back(key);
    return keys;
}

namespace {

enum class TReadResult { Read, Missing, Failed };

TReadResult ReadWholeFile(const std::string& path, std::string& text, std::string& error) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        if (errno == ENOENT)
            return TReadResult::Missing;
        error = path + ": " + SystemErrorMessage(errno);
        return TReadResult::Failed;
    }
    std::ostringstream buffer;
    buffer << file.rdbuf();
    if (file.bad()) {
        error = path + ": could not be read";
        return TReadResult::Failed;
    }
    text = buffer.str();
    return TReadResult::Read;
}

// The file a path names, through symbolic links (a profile kept elsewhere and linked in keeps its
// link); the path itself when it cannot be resolved.
std::string ResolvedPath(const std::string& path) {
    std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(path.c_str(), nullptr), &std::free);
    return resolved ? std::string(resolved.get()) : path;
}

} // namespace

TProfilePrefs::TProfilePrefs(std::string directory) : m_Directory(std::move(directory)) {}

bool TProfilePrefs::Load(std::string& error) {
    std::string parseError;
    switch (ReadWholeFile(PrefsPath(), m_PrefsText, error)) {
    case TReadResult::Missing:
        error = PrefsPath() + ": missing";
        return false;
    case TReadResult::Failed:
        return false;
    case TReadResult::Read:
        break;
    }
    std::optional<TPrefsDocument> prefs = TPrefsDocument::Parse(m_PrefsText, &parseError);
    if (!prefs) {
        error = PrefsPath() + ": " + parseError;
        return false;
    }
    Prefs = std::move(*prefs);

    m_UserText.clear();
    switch (ReadWholeFile(UserPath(), m_UserText, error)) {
    case TReadResult::Missing:
        m_HasUserFile = false;
        User = *TPrefsDocument::Parse("");
        return true;
    case TReadResult::Failed:
        return false;
    case TReadResult::Read:
        break;
    }
    m_HasUserFile = true;
    std::optional<TPrefsDocument> user = TPrefsDocument::Parse(m_UserText, &parseError);
    if (!user) {
        error = UserPath() + ": " + parseError;
        return false;
    }
    User = std::move(*user);
    return true;
}

const TPrefValue* TProfilePrefs::Effective(std::string_view name) const {
    if (const TPrefValue* value = User.Find(name))
        return value;
    return Prefs.Find(name);
}

std::optional<std::string> TProfilePrefs::EffectiveString(std::string_view name) const {
    return User.Has(name) ? User.String(name) : Prefs.String(name);
}

std::optional<int32_t> TProfilePrefs::EffectiveInteger(std::string_view name) const {
    return User.Has(name) ? User.Integer(name) : Prefs.Integer(name);
}

bool TProfilePrefs::UserFileAfterSave() const {
    if (!UserChanged())
        return m_HasUserFile;
    return m_KeepUserFile || !Trim(User.Text()).empty();
}

bool TProfilePrefs::Save(bool backup) {
    const bool prefsChanged = PrefsChanged();
    if (prefsChanged) {
        // The backup first: the rename that replaces prefs.js is the last step.
        if (backup)
            WriteFileDurably(PrefsPath() + ".tessivar-backup", m_PrefsText, 0600);
        WriteFileDurably(ResolvedPath(PrefsPath()), Prefs.Text(), 0600);
        m_PrefsText = Prefs.Text();
    }
    if (UserChanged()) {
        if (!UserFileAfterSave()) {
            if (::unlink(ResolvedPath(UserPath()).c_str()) != 0 && errno != ENOENT)
                throw Exception(UserPath() + ": " + SystemErrorMessage(errno));
            m_HasUserFile = false;
        } else {
            WriteFileDurably(ResolvedPath(UserPath()), User.Text(), 0600);
            m_HasUserFile = true;
        }
        m_UserText = User.Text();
    }
    return prefsChanged;
}
