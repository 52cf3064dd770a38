#pragma once
// The passwords of the IMAP accounts the program screens. Kept in the desktop's Secret Service when
// one answers with an unlocked keyring (never prompting, see UIMAPSecretService.h), else in an
// owner-only file of the data folder (UIMAPPasswordFile.h); TESSIVAR_PASSWORD_STORE=file chooses the
// file. A password kept in one place is removed from the other. Read tries the Secret Service, then
// the file. Never written to the trace. Any thread.

#include <optional>
#include <string>

#include "core/UIMAPSettings.h"

// The password kept for the server's account (its address, host and user name); nullopt when none
// is kept.
std::optional<std::string> ReadIMAPPassword(const TIMAPServer& server);
// Keeps the password, replacing the one kept before; raises Exception when it cannot be kept.
void StoreIMAPPassword(const TIMAPServer& server, const std::string& password);
// Where a password was kept.
enum class TIMAPPasswordPlace { SecretService, File };
// As StoreIMAPPassword, telling where the password went.
TIMAPPasswordPlace KeepIMAPPassword(const TIMAPServer& server, const std::string& password);
// The words for a place, for the user: "the desktop's keyring (Secret Service)" or the file's path.
std::string IMAPPasswordPlaceText(TIMAPPasswordPlace place);
// Forgets it; nothing when none is kept.
void ForgetIMAPPassword(const TIMAPServer& server);
