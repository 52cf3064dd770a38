// The IMAP passwords: the Secret Service where one answers, else the owner-only password file.
// A password kept in one place is removed from the other, so that the two never disagree.
#include "core/UIMAPPasswords.h"

#include <mutex>

#include "base/UDebug.h"
#include "core/UIMAPPasswordFile.h"
#include "core/UIMAPSecretService.h"

namespace {

// One change of the password file at a time: each rewrites it whole.
std::mutex PasswordFileLock;

} // namespace

std::optional<std::string> ReadIMAPPassword(const TIMAPServer& server) {
    TSecretLookup secret = LookupSecretPassword(server);
    if (secret.Password)
        return secret.Password;
    std::lock_guard lock(PasswordFileLock);
    return TIMAPPasswordFile(IMAPPasswordFileName()).Read(server);
}

TIMAPPasswordPlace KeepIMAPPassword(const TIMAPServer& server, const std::string& password) {
    std::lock_guard lock(PasswordFileLock);
    const TIMAPPasswordFile file(IMAPPasswordFileName());
    if (StoreSecretPassword(server, password)) {
        file.Forget(server);
        Debug("IMAP password of " + server.EmailAddress + " kept in the Secret Service.");
        return TIMAPPasswordPlace::SecretService;
    }
    file.Store(server, password);
    ClearSecretPassword(server);
    Debug("IMAP password of " + server.EmailAddress + " kept in " + file.Path() + ".");
    return TIMAPPasswordPlace::File;
}

void StoreIMAPPassword(const TIMAPServer& server, const std::string& password) {
    KeepIMAPPassword(server, password);
}

std::string IMAPPasswordPlaceText(TIMAPPasswordPlace place) {
    return place == TIMAPPasswordPlace::SecretService ? "the desktop's keyring (Secret Service)"
                                                      : IMAPPasswordFileName();
}

void ForgetIMAPPassword(const TIMAPServer& server) {
    ClearSecretPassword(server);
    std::lock_guard lock(PasswordFileLock);
    TIMAPPasswordFile(IMAPPasswordFileName()).Forget(server);
}
