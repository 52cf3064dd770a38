// Placeholder until the password store lands in this file: nothing is kept.
#include "core/UIMAPPasswords.h"

#include "base/UException.h"

std::optional<std::string> ReadIMAPPassword(const TIMAPServer&) {
    return std::nullopt;
}

void StoreIMAPPassword(const TIMAPServer&, const std::string&) {
    throw Exception("The password store is not available in this build.");
}

void ForgetIMAPPassword(const TIMAPServer&) {}
