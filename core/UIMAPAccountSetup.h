#pragma once
// Keeping a new IMAP account whose login the server has just accepted: its password, then its
// account row, so that no account is ever kept without a password for it. Model's thread only.

#include <string>

#include "core/UIMAPPasswords.h"
#include "core/UIMAPSettings.h"

class TTessivarAccount;
class TTessivarBusinessLogic;

struct TKeptIMAPAccount {
    TTessivarAccount* Account = nullptr;
    TIMAPPasswordPlace PasswordPlace = TIMAPPasswordPlace::File;
};

// Keeps the password (replacing one kept before), then finds or adds the account (disabled when
// new; the caller enables it). The password is forgotten again when the account cannot be added.
// Raises the password store's and the model's exceptions.
TKeptIMAPAccount KeepIMAPAccount(TTessivarBusinessLogic& model, const TIMAPServer& server, const std::string& password);

// The enabled POP3 account with a mail program account that screens the same address; null when
// none. Screening one mailbox both ways would take mail away from under the mail program and
// challenge its senders twice.
const TTessivarAccount* POP3AccountScreening(const TTessivarBusinessLogic& model, const std::string& address);

// Another account of the same address, of the other kind (POP3 through a mail program, or IMAP), is
// screened: enabling this one would screen the mailbox twice.
bool ScreenedTheOtherWay(const TTessivarBusinessLogic& model, const TTessivarAccount& account);
