#pragma once
// The IMAP accounts of the Thunderbird profiles on this machine, offered for screening in place.
// Only read: a Thunderbird IMAP account's settings are never changed (screening in place needs no
// change in the mail program). Any thread.

#include <string>
#include <vector>

#include "core/UIMAPSettings.h"

struct TThunderbirdIMAPAccount {
    std::string Profile; // the profile's name, with its edition ("default (Flatpak)")
    TIMAPServer Server;  // AccountID -1
};

// Every IMAP account of every profile (each address, host and user name once), in the order of the
// profiles and of their account lists; profiles that cannot be read are left out. Thunderbird's
// plain and "STARTTLS, if available" connections become STARTTLS: the password never travels in
// clear.
std::vector<TThunderbirdIMAPAccount> FindThunderbirdIMAPAccounts();
// Those of one profile directory.
std::vector<TThunderbirdIMAPAccount> ThunderbirdIMAPAccountsOf(const std::string& directory,
                                                               const std::string& profileName);
