// Placeholder until the IMAP client lands in this file: every connection fails.
#include "mail/UIMAPMailbox.h"

std::unique_ptr<TIMAPMailbox> ConnectIMAP(const TIMAPServer&, const std::string&, const std::string&, int) {
    throw EIMAPException("IMAP is not available in this build.");
}
