#include "ui/UTessivarActions.h"

#include "base/UDebug.h"
#include "core/UTessivarBusinessLogic.h"
#include "core/UTessivarDomainName.h"
#include "core/UTessivarEmail.h"
#include "core/UTessivarEmailAddress.h"
#include "ui/UMessageBox.h"
#include "ui/UTessivarLists.h"

#include <functional>

namespace {

// Runs a change of the model inside one bracket; a failure is traced and noted in the activity log
// (the windows must not let it pass into Qt's event handling).
void InBracket(TTessivarBusinessLogic& model, const std::function<void()>& change) {
    try {
        TUpdateScope<TTessivarBusinessLogic> scope(model);
        change();
    } catch (const std::exception& error) {
        DebugException("TfrmTessivar", error);
        try {
            model.AddLogItem(error.what(), 1);
        } catch (const std::exception& logError) {
            DebugException("TfrmTessivar", logError);
        }
    }
}

// The sender or domain name a decision by sender or by domain applies to; none for once only, and
// none when the sender has no domain name record (the email's own decision still applies).
TTessivarApprovalRecord* DecisionTarget(const TTessivarEmail& email, TDecisionScope scope) {
    TTessivarEmailAddress* sender = email.FromEmailAddress();
    switch (scope) {
    case TDecisionScope::BySender:
        return sender;
    case TDecisionScope::ByDomain:
        return sender ? sender->DomainName() : nullptr;
    default:
        return nullptr;
    }
}

template <class TGrid> QString ToggleCaptionOf(const TGrid& list) {
    const auto* record = list.Selected();
    return record && record->IsApproved() ? QStringLiteral("Block") : QStringLiteral("Approve");
}

} // namespace

void ApproveEmail(TEmailGrid& list, TDecisionScope scope) {
    TTessivarEmail* email = list.Selected();
    if (!email)
        return;
    InBracket(email->Owner(), [&] {
        if (TTessivarApprovalRecord* target = DecisionTarget(*email, scope))
            target->Approve();
        email->ApproveOnce();
    });
}

void BlockEmail(TEmailGrid& list, TDecisionScope scope) {
    TTessivarEmail* email = list.Selected();
    if (!email)
        return;
    InBracket(email->Owner(), [&] {
        if (TTessivarApprovalRecord* target = DecisionTarget(*email, scope))
            target->Block();
        email->BlockOnce();
    });
}

void DeleteEmail(TEmailGrid& list) {
    TTessivarEmail* email = list.Selected();
    if (!email)
        return;
    InBracket(email->Owner(), [&] { email->Delete(); });
}

bool DeleteAllEmails(TEmailGrid& blockedMail, QWidget* parent) {
    if (blockedMail.rowCount() == 0)
        return false;
    if (!TMessageBox::Confirm(parent, QStringLiteral("Confirm Delete All"),
                              QStringLiteral("Are you sure you want to delete all of your blocked mail?")))
        return false;
    // Taken after the question: mail may have arrived while it was open.
    const std::vector<TTessivarEmail*> emails = blockedMail.Records();
    if (emails.empty())
        return false;
    InBracket(emails.front()->Owner(), [&] {
        for (TTessivarEmail* email : emails)
            email->Delete();
    });
    return true;
}

void ToggleEmailAddress(TEmailAddressGrid& list) {
    TTessivarEmailAddress* sender = list.Selected();
    if (!sender)
        return;
    InBracket(sender->Owner(), [&] { sender->IsApproved() ? sender->Block() : sender->Approve(); });
}

void DeleteEmailAddress(TEmailAddressGrid& list) {
    TTessivarEmailAddress* sender = list.Selected();
    if (!sender)
        return;
    InBracket(sender->Owner(), [&] { sender->Delete(); });
}

void ToggleDomainName(TDomainNameGrid& list) {
    TTessivarDomainName* domain = list.Selected();
    if (!domain)
        return;
    InBracket(domain->Owner(), [&] { domain->IsApproved() ? domain->Block() : domain->Approve(); });
}

void DeleteDomainName(TDomainNameGrid& list) {
    TTessivarDomainName* domain = list.Selected();
    if (!domain)
        return;
    InBracket(domain->Owner(), [&] { domain->Delete(); });
}

bool DeleteAllEnabled(const TEmailGrid& blockedMail) {
    return blockedMail.rowCount() > 0;
}

QString ToggleCaption(const TEmailAddressGrid& list) {
    return ToggleCaptionOf(list);
}

QString ToggleCaption(const TDomainNameGrid& list) {
    return ToggleCaptionOf(list);
}
