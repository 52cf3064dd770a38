#pragma once
// The user's address books, read into contacts for the setup and import wizards: the vCard files
// (*.vcf) of the contacts folders, and, when the desktop's default mail program is one of the
// Thunderbird family, the personal address book of its default profile. A damaged address book is
// traced and skipped; the others still count. Any thread (reads files only).

#include "clients/UVCard.h"

#include <string>
#include <vector>

// The environment variable that names further contacts folders (separated by ":").
extern const char* const ContactsFolderVariable;

struct TAddressBookPlaces {
    // Folders searched for *.vcf files, with their sub-folders a few levels down.
    std::vector<std::string> VCardFolders;
    // The mail program's personal address book (an SQLite file); empty for none.
    std::string MailProgramAddressBook;
};

// The places of this user: $XDG_DATA_HOME/contacts (~/.local/share/contacts), ~/Contacts and the
// folders named in ContactsFolderVariable; and the mail program's address book when the default
// mail program is of the Thunderbird family and has a default profile.
TAddressBookPlaces UserAddressBookPlaces();

// Every contact of every address book, in the order read. Failures of one book are traced with
// DebugException and leave out that book only.
std::vector<TContact> ReadAddressBooks(const TAddressBookPlaces& places);

// One vCard file; raises when it cannot be read or is damaged.
std::vector<TContact> ReadVCardFile(const std::string& fileName);

// What a contact's list entry reads: display name + " <" + address + ">".
std::string ContactEntryText(const TContact& contact);
// The contacts as a list shows them: sorted by entry text without regard to letter case, no entry
// text twice.
std::vector<TContact> ContactListEntries(std::vector<TContact> contacts);
