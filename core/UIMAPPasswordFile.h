#pragma once
// The IMAP passwords kept in a file of their own, for where no Secret Service answers (a session
// without a desktop, the systemd unit). The file is owner-only (0600) in an owner-only folder (0700)
// and is replaced whole and durably on each change, so that a kill leaves the old file or the new
// one. One line per password: the address, host, user name and password, each percent-encoded,
// separated by spaces. Lines it cannot read are kept as they are and otherwise ignored.
// Callers serialise the calls on one file (UIMAPPasswords does).

#include <optional>
#include <string>

#include "core/UIMAPSettings.h"

class TIMAPPasswordFile {
public:
    // `path` names the file; its folder is created owner-only when missing.
    explicit TIMAPPasswordFile(std::string path);

    const std::string& Path() const { return m_Path; }
    // The password kept for the server's address, host and user name (address and host in any
    // letter case); nullopt when none is kept or the file cannot be read.
    std::optional<std::string> Read(const TIMAPServer& server) const;
    // Keeps the password in place of the one kept before; raises Exception when it cannot be written.
    void Store(const TIMAPServer& server, const std::string& password) const;
    // Forgets it; true when one was kept. Raises Exception when the file cannot be rewritten.
    bool Forget(const TIMAPServer& server) const;

private:
    std::string m_Path;
};

// The file in the data folder: ProgramDirectory() + "secrets/imap-passwords".
std::string IMAPPasswordFileName();
