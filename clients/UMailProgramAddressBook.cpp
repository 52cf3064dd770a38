#include "clients/UMailProgramAddressBook.h"

#include "base/LStrings.h"
#include "base/UDebug.h"

#include <sqlite3.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>

namespace {

std::string Environment(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

std::string Home() {
    return Environment("HOME");
}

std::vector<std::string> SplitPaths(const std::string& text) {
    std::vector<std::string> paths;
    std::stringstream stream(text);
    std::string part;
    while (std::getline(stream, part, ':'))
        if (!part.empty())
            paths.push_back(part);
    return paths;
}

// The sections of an ini-style file as section -> key -> value, the order of keys lost.
using TIniFile = std::map<std::string, std::map<std::string, std::string>>;

TIniFile ReadIniFile(const std::string& fileName) {
    TIniFile ini;
    std::ifstream stream(fileName);
    std::string line;
    std::string section;
    while (std::getline(stream, line)) {
        line = Trim(line);
        if (line.empty() || line[0] == '#' || line[0] == ';')
            continue;
        if (line.front() == '[' && line.back() == ']') {
            section = line.substr(1, line.size() - 2);
            continue;
        }
        const size_t equals = line.find('=');
        if (equals != std::string::npos)
            ini[section][Trim(line.substr(0, equals))] = Trim(line.substr(equals + 1));
    }
    return ini;
}

std::string ProfilePath(const std::string& profilesFolder, const std::map<std::string, std::string>& profile) {
    const auto path = profile.find("Path");
    if (path == profile.end() || path->second.empty())
        return {};
    const auto relative = profile.find("IsRelative");
    const bool isRelative = relative == profile.end() || relative->second != "0";
    return isRelative ? (std::filesystem::path(profilesFolder) / path->second).string() : path->second;
}

// The open database, closed with its owner.
struct TDatabaseCloser {
    void operator()(sqlite3* database) const { sqlite3_close(database); }
};
struct TStatementFinalizer {
    void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
};

std::string ColumnText(sqlite3_stmt* statement, int column) {
    const unsigned char* text = sqlite3_column_text(statement, column);
    return text != nullptr ? reinterpret_cast<const char*>(text) : "";
}

struct TCardProperties {
    std::map<std::string, std::string> Values;
    std::string Value(const std::string& name) const {
        const auto found = Values.find(name);
        return found == Values.end() ? std::string() : Trim(found->second);
    }
};

} // namespace

std::string DefaultMailProgram() {
    // User configuration first, then the system's, then the (deprecated) application folders.
    std::vector<std::string> folders;
    const std::string configHome = Environment("XDG_CONFIG_HOME");
    folders.push_back(!configHome.empty() ? configHome : Home() + "/.config");
    const std::string configDirs = Environment("XDG_CONFIG_DIRS");
    for (const std::string& folder : SplitPaths(!configDirs.empty() ? configDirs : "/etc/xdg"))
        folders.push_back(folder);
    const std::string dataHome = Environment("XDG_DATA_HOME");
    folders.push_back((!dataHome.empty() ? dataHome : Home() + "/.local/share") + "/applications");
    const std::string dataDirs = Environment("XDG_DATA_DIRS");
    for (const std::string& folder : SplitPaths(!dataDirs.empty() ? dataDirs : "/usr/local/share:/usr/share"))
        folders.push_back(folder + "/applications");

    std::vector<std::string> names;
    for (const std::string& desktop : SplitPaths(LowerCase(Environment("XDG_CURRENT_DESKTOP"))))
        names.push_back(desktop + "-mimeapps.list");
    names.push_back("mimeapps.list");
    for (const std::string& folder : folders)
        for (const std::string& name : names) {
            const TIniFile ini = ReadIniFile(folder + "/" + name);
            const auto section = ini.find("Default Applications");
            if (section == ini.end())
                continue;
            const auto entry = section->second.find("x-scheme-handler/mailto");
            if (entry == section->second.end())
                continue;
            const std::string first = entry->second.substr(0, entry->second.find(';'));
            if (!first.empty())
                return first;
        }
    return {};
}

bool IsThunderbirdFamily(const std::string& desktopEntry) {
    const std::string entry = LowerCase(desktopEntry);
    return entry.find("thunderbird") != std::string::npos || entry.find("betterbird") != std::string::npos ||
           entry.find("icedove") != std::string::npos;
}

std::string DefaultProfileFolder(const std::string& profilesFolder) {
    const TIniFile ini = ReadIniFile(profilesFolder + "/profiles.ini");
    // Newer programs name the default profile of each installation.
    for (const auto& [section, keys] : ini)
        if (section.rfind("Install", 0) == 0) {
            const auto path = keys.find("Default");
            if (path != keys.end() && !path->second.empty())
                return ProfilePath(profilesFolder, {{"Path", path->second}, {"IsRelative", "1"}});
        }
    std::vector<const std::map<std::string, std::string>*> profiles;
    for (const auto& [section, keys] : ini)
        if (section.rfind("Profile", 0) == 0) {
            profiles.push_back(&keys);
            const auto isDefault = keys.find("Default");
            if (isDefault != keys.end() && isDefault->second == "1")
                return ProfilePath(profilesFolder, keys);
        }
    return profiles.size() == 1 ? ProfilePath(profilesFolder, *profiles[0]) : std::string();
}

std::string UserMailProgramAddressBook() {
    const std::string home = Home();
    if (home.empty())
        return {};
    for (const char* folder : {"/.thunderbird", "/snap/thunderbird/common/.thunderbird",
                               "/.var/app/org.mozilla.Thunderbird/.thunderbird", "/.mozilla-thunderbird"}) {
        const std::string profile = DefaultProfileFolder(home + folder);
        if (profile.empty())
            continue;
        const std::string book = profile + "/abook.sqlite";
        std::error_code error;
        if (std::filesystem::is_regular_file(book, error))
            return book;
    }
    return {};
}

std::vector<TContact> ReadMailProgramAddressBook(const std::string& fileName) {
    sqlite3* opened = nullptr;
    // Read-only, and never created: the mail program owns the file.
    const int openResult = sqlite3_open_v2(fileName.c_str(), &opened, SQLITE_OPEN_READONLY, nullptr);
    std::unique_ptr<sqlite3, TDatabaseCloser> database(opened);
    if (openResult != SQLITE_OK)
        throw EMailProgramAddressBookException("The address book " + fileName + " cannot be opened: " +
                                               (opened ? sqlite3_errmsg(opened) : sqlite3_errstr(openResult)));
    // The mail program may be writing it now: wait a little for its lock.
    sqlite3_busy_timeout(database.get(), 2000);
    sqlite3_stmt* prepared = nullptr;
    if (sqlite3_prepare_v2(database.get(), "SELECT card, name, value FROM properties ORDER BY rowid", -1, &prepared,
                           nullptr) != SQLITE_OK)
        throw EMailProgramAddressBookException("The address book " + fileName +
                                               " cannot be read: " + sqlite3_errmsg(database.get()));
    std::unique_ptr<sqlite3_stmt, TStatementFinalizer> statement(prepared);
    std::vector<std::string> order;
    std::map<std::string, TCardProperties> cards;
    int step;
    while ((step = sqlite3_step(statement.get())) == SQLITE_ROW) {
        const std::string card = ColumnText(statement.get(), 0);
        auto [entry, added] = cards.try_emplace(card);
        if (added)
            order.push_back(card);
        entry->second.Values[ColumnText(statement.get(), 1)] = ColumnText(statement.get(), 2);
    }
    if (step != SQLITE_DONE)
        throw EMailProgramAddressBookException("The address book " + fileName +
                                               " cannot be read: " + sqlite3_errmsg(database.get()));

    std::vector<TContact> contacts;
    for (const std::string& card : order) {
        const TCardProperties& properties = cards[card];
        std::vector<std::string> addresses;
        for (const char* name : {"PrimaryEmail", "SecondEmail"})
            if (const std::string address = properties.Value(name); !address.empty())
                addresses.push_back(address);
        const std::string vCard = properties.Value("_vCard");
        if (addresses.empty() && !vCard.empty()) {
            // Newer versions keep a card as vCard text; a damaged one costs only its card.
            try {
                for (const TContact& contact : ParseVCards(vCard))
                    contacts.push_back(contact);
            } catch (const std::exception& error) {
                DebugException("TMailProgramAddressBook", error);
            }
            continue;
        }
        std::string name = properties.Value("DisplayName");
        if (name.empty())
            name = Trim(properties.Value("FirstName") + " " + properties.Value("LastName"));
        for (const std::string& address : addresses)
            if (address.find('@') != std::string::npos)
                contacts.push_back({name.empty() ? address : name, address});
    }
    return contacts;
}
