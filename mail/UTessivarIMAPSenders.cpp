#include "mail/UTessivarIMAPSenders.h"

#include <set>

#include "base/LStrings.h"
#include "core/UTessivarBusinessLogic.h"
#include "core/UTessivarEmailAddress.h"
#include "mail/UIMAPMailbox.h"

std::vector<TEmailAddress> RecentIMAPSenders(TIMAPMailbox& mailbox, int days) {
    mailbox.Select(std::string(IMAPInboxFolder));
    std::vector<TEmailAddress> senders;
    std::set<std::string> seen;
    for (const uint32_t uid : mailbox.UIDsSince(days)) {
        const std::optional<std::string> header = mailbox.FetchHeader(uid);
        if (!header)
            continue;
        TStringArray lines;
        for (size_t start = 0; start < header->size();) {
            size_t end = header->find('\n', start);
            if (end == std::string::npos)
                end = header->size();
            const size_t stop = end > start && (*header)[end - 1] == '\r' ? end - 1 : end;
            lines.emplace_back(*header, start, stop - start);
            start = end + 1;
        }
        const TParsedMessage message = ParseMessageHeadersTolerant(lines);
        if (!message.FromAddress.empty() && seen.insert(LowerCase(message.FromAddress)).second)
            senders.push_back({message.FromAddress, message.FromName});
    }
    return senders;
}

int ApproveImportedSenders(TTessivarBusinessLogic& model, const std::vector<TEmailAddress>& senders,
                           const std::string& ownAddress) {
    model.CheckThread();
    int approved = 0;
    TUpdateScope<TTessivarBusinessLogic> scope(model);
    for (const TEmailAddress& address : senders) {
        const size_t at = address.Address.find('@');
        if (at == 0 || at == std::string::npos || at + 1 == address.Address.size() ||
            SameText(address.Address, ownAddress))
            continue;
        TTessivarEmailAddress& sender = model.AddEmailAddress(address.Address, address.Name);
        if (sender.IsBlocked() || sender.IsApproved())
            continue;
        TUpdateScope<TTessivarEmailAddress> senderScope(sender);
        sender.Approve();
        sender.SetAuthenticationStatus(TAuthenticationStatus::Imported);
        ++approved;
    }
    return approved;
}

int ApproveExistingIMAPSenders(TTessivarBusinessLogic& model, TIMAPMailbox& mailbox, const std::string& ownAddress,
                               int days) {
    return ApproveImportedSenders(model, RecentIMAPSenders(mailbox, days), ownAddress);
}
