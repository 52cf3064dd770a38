#include "clients/UAddressBooks.h"

#include "base/LStrings.h"
#include "base/UDebug.h"
#include "clients/UMailProgramAddressBook.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

const char* const ContactsFolderVariable = "TESSIVAR_CONTACTS";

namespace {

// A contacts folder holds collections a level or two down (one folder per address book); deeper
// trees are not address books.
const int MaxFolderDepth = 3;
// Larger files are not address books (or not ones worth reading whole into memory).
const std::uintmax_t MaxVCardFileSize = 32 * 1024 * 1024;

std::string Environment(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

bool IsVCardFile(const std::filesystem::path& path) {
    return SameText(path.extension().string(), ".vcf");
}

// The *.vcf files of the folder and its sub-folders, in name order; unreadable folders are traced.
void CollectVCardFiles(const std::filesystem::path& folder, int depth, std::vector<std::string>& files) {
    std::vector<std::filesystem::path> entries;
    std::error_code error;
    for (std::filesystem::directory_iterator it(folder, error), end; !error && it != end; it.increment(error))
        entries.push_back(it->path());
    if (error) {
        DebugException("TAddressBooks", EVCardException("The contacts folder " + folder.string() +
                                                        " cannot be read: " + error.message()));
        return;
    }
    std::sort(entries.begin(), entries.end());
    for (const auto& entry : entries) {
        std::error_code statError;
        if (std::filesystem::is_directory(entry, statError)) {
            if (depth < MaxFolderDepth)
                CollectVCardFiles(entry, depth + 1, files);
        } else if (IsVCardFile(entry)) {
            files.push_back(entry.string());
        }
    }
}

} // namespace

TAddressBookPlaces UserAddressBookPlaces() {
    TAddressBookPlaces places;
    const std::string home = Environment("HOME");
    const std::string dataHome = Environment("XDG_DATA_HOME");
    if (!dataHome.empty())
        places.VCardFolders.push_back(dataHome + "/contacts");
    else if (!home.empty())
        places.VCardFolders.push_back(home + "/.local/share/contacts");
    if (!home.empty())
        places.VCardFolders.push_back(home + "/Contacts");
    std::stringstream named(Environment(ContactsFolderVariable));
    std::string folder;
    while (std::getline(named, folder, ':'))
        if (!folder.empty())
            places.VCardFolders.push_back(folder);
    if (IsThunderbirdFamily(DefaultMailProgram()))
        places.MailProgramAddressBook = UserMailProgramAddressBook();
    return places;
}

std::vector<TContact> ReadVCardFile(const std::string& fileName) {
    std::error_code error;
    const std::uintmax_t size = std::filesystem::file_size(fileName, error);
    if (error)
        throw EVCardException("The address book " + fileName + " cannot be read: " + error.message());
    if (size > MaxVCardFileSize)
        throw EVCardException("The address book " + fileName + " is too large to be an address book.");
    std::ifstream stream(fileName, std::ios::binary);
    std::ostringstream text;
    text << stream.rdbuf();
    if (!stream && !stream.eof())
        throw EVCardException("The address book " + fileName + " cannot be read.");
    try {
        return ParseVCards(text.str());
    } catch (const EVCardException& damage) {
        throw EVCardException("The address book " + fileName + " is damaged: " + damage.what());
    }
}

std::vector<TContact> ReadAddressBooks(const TAddressBookPlaces& places) {
    std::vector<TContact> contacts;
    std::set<std::string> seenFolders;
    for (const std::string& folder : places.VCardFolders) {
        std::error_code error;
        if (!std::filesystem::is_directory(folder, error))
            continue;
        // The same folder named twice (a link, or the variable naming a default) is read once.
        const std::string canonical = std::filesystem::weakly_canonical(folder, error).string();
        if (!seenFolders.insert(error ? folder : canonical).second)
            continue;
        std::vector<std::string> files;
        CollectVCardFiles(folder, 1, files);
        for (const std::string& file : files) {
            try {
                const std::vector<TContact> read = ReadVCardFile(file);
                contacts.insert(contacts.end(), read.begin(), read.end());
            } catch (const std::exception& error) {
                DebugException("TAddressBooks", error);
            }
        }
    }
    if (!places.MailProgramAddressBook.empty()) {
        try {
            const std::vector<TContact> read = ReadMailProgramAddressBook(places.MailProgramAddressBook);
            contacts.insert(contacts.end(), read.begin(), read.end());
        } catch (const std::exception& error) {
            DebugException("TAddressBooks", error);
        }
    }
    return contacts;
}

std::string ContactEntryText(const TContact& contact) {
    return contact.DisplayName + " <" + contact.EmailAddress + ">";
}

std::vector<TContact> ContactListEntries(std::vector<TContact> contacts) {
    std::stable_sort(contacts.begin(), contacts.end(), [](const TContact& a, const TContact& b) {
        const std::string left = LowerCase(ContactEntryText(a));
        const std::string right = LowerCase(ContactEntryText(b));
        return left != right ? left < right : ContactEntryText(a) < ContactEntryText(b);
    });
    std::vector<TContact> unique;
    std::set<std::string> entries;
    for (TContact& contact : contacts)
        if (entries.insert(ContactEntryText(contact)).second)
            unique.push_back(std::move(contact));
    return unique;
}
