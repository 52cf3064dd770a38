#pragma once
// The personal address book of a Thunderbird-family mail program: which program the desktop opens
// for "mailto:" links, its default profile, and the contacts of the profile's abook.sqlite, read
// read-only. Any thread (reads files only).

#include "clients/UVCard.h"

#include <string>
#include <vector>

TESSIVAR_EXCEPTION(EMailProgramAddressBookException, Exception);

// The desktop entry (such as "thunderbird.desktop") of the default handler of mailto: links, from
// the mimeapps.list files in the order the XDG desktop rules give; empty when none is named.
std::string DefaultMailProgram();
// The entry belongs to Thunderbird or a program built from it.
bool IsThunderbirdFamily(const std::string& desktopEntry);

// The folder of the default profile named by profiles.ini in `profilesFolder` (the install's
// default first, then the profile marked Default=1, then the only profile); empty when none.
std::string DefaultProfileFolder(const std::string& profilesFolder);
// abook.sqlite of the default profile of the first of the user's Thunderbird folders (plain, snap,
// flatpak) that has one; empty when none exists.
std::string UserMailProgramAddressBook();

// The cards of abook.sqlite: each card's primary and second address with its display name (else
// first and last name, else the address). Raises EMailProgramAddressBookException when the file
// cannot be opened or read as an address book.
std::vector<TContact> ReadMailProgramAddressBook(const std::string& fileName);
