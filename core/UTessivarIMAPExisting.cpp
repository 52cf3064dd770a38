// Approving the senders of an IMAP account's existing mail: one connection of the account's own,
// the senders of INBOX's recent messages read with their headers only, then approved as imported.
#include "core/UTessivarIMAPExisting.h"

#include "core/UTessivarAccount.h"
#include "mail/UIMAPMailbox.h"
#include "mail/USockets.h"
#include "mail/UTessivarIMAPScreener.h"
#include "mail/UTessivarIMAPSenders.h"

#include <memory>

void ApproveExistingIMAPSenders(TTessivarBusinessLogic& model, TTessivarAccount& account) {
    const TTessivarIMAPScreener::TConnector connect =
        account.IMAPConnector ? account.IMAPConnector : TTessivarIMAPScreener::DefaultConnector(account.IMAPServer());
    const std::unique_ptr<TIMAPMailbox> mailbox = connect(std::make_shared<TAbortSignal>());
    ApproveExistingIMAPSenders(model, *mailbox, account.EmailAddress());
    mailbox->Logout();
}
