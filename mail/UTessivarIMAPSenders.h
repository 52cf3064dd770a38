#pragma once
// The senders of the mail already in an IMAP mailbox when it is first screened: the user has been
// reading their mail, so they can be approved as imported contacts are ("--approve-existing-senders"
// and the check box of the "Mail Accounts" window).

#include <string>
#include <vector>

#include "mail/UMessageHeaders.h"

class TIMAPMailbox;
class TTessivarBusinessLogic;

// How far back the senders of INBOX are taken.
inline constexpr int IMAPExistingSendersDays = 90;

// Any thread: the distinct "From" senders of INBOX's messages of the last `days` days (read with
// their headers only, marking nothing seen). Selects INBOX. Raises as TIMAPMailbox does.
std::vector<TEmailAddress> RecentIMAPSenders(TIMAPMailbox& mailbox, int days = IMAPExistingSendersDays);

// The model's thread: adds each sender approved and marked imported, in one bracket, as the
// contact import does; returns how many senders that approved. Left out: `ownAddress` (mail that
// claims to come from the user is what forgers send most), senders without a whole address, and
// senders the user has blocked.
int ApproveImportedSenders(TTessivarBusinessLogic& model, const std::vector<TEmailAddress>& senders,
                           const std::string& ownAddress);

// The model's thread: both in one, for the account whose mailbox this is.
int ApproveExistingIMAPSenders(TTessivarBusinessLogic& model, TIMAPMailbox& mailbox, const std::string& ownAddress,
                               int days = IMAPExistingSendersDays);
