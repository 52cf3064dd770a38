// Mail that claims to come from the web service changes nothing by itself: a notice starts a
// synchronisation, a request (arriving or returned) is checked with the service first.

#include "service/UTessivarRequestVerification.h"

#include "base/LStrings.h"
#include "base/UDebug.h"
#include "core/UTessivarAccount.h"
#include "core/UTessivarBusinessLogic.h"
#include "core/UTessivarEmail.h"
#include "core/UTessivarEmailAddress.h"
#include "service/UTessivarServer.h"
#include "service/UXML.h"

#include <functional>

namespace {

std::string ChildText(const TXMLNode& parent, std::string_view name) {
    const TXMLNode* node = parent.Children().Find(name);
    return node ? node->Text() : std::string();
}

bool ChildBoolean(const TXMLNode& parent, std::string_view name) {
    const TXMLNode* node = parent.Children().Find(name);
    return node && node->AsBoolean();
}

} // namespace

std::string BareMessageId(std::string_view messageId) {
    std::string id = Trim(messageId);
    if (id.size() >= 2 && id.front() == '<' && id.back() == '>')
        id = Trim(std::string_view(id).substr(1, id.size() - 2));
    return id;
}

TRequestVerification ReadRequestVerification(TTessivarServerRequest& request) {
    TRequestVerification verification;
    TXMLNode& result = request.ResultNode();
    if (request.Failed() || result.Children().Count() == 0)
        return verification;
    verification.Genuine = ChildBoolean(result, "Genuine");
    verification.SentByAccount = verification.Genuine && ChildBoolean(result, "SentByAccount");
    verification.Sender = ChildText(result, "Sender");
    verification.Recipient = ChildText(result, "Recipient");
    return verification;
}

// ---- Self-authentication notices ---------------------------------------------------------------

void TTessivarBusinessLogic::SelfAuthentication(const std::string& address) {
    CheckThread();
    Debug("Self-authentication notice from " + address + ".");
    if (m_NoticeSynchronizeID != 0) {
        Debug("Synchronizing again after the current answer.");
        m_NoticeSynchronizeAgain = true;
        return;
    }
    SynchronizeForNotices();
}

void TTessivarBusinessLogic::SynchronizeForNotices() {
    const int32_t before = m_LastSynchronizeID;
    Synchronize(true);
    if (m_LastSynchronizeID != before)
        m_NoticeSynchronizeID = m_LastSynchronizeID;
}

// A notice's synchronisation that failed leaves the model marked for synchronisation, so that the
// sender's authentication arrives with the next one.
void TTessivarBusinessLogic::NoticeSynchronizationAnswered(int32_t requestID, bool merged) {
    if (requestID == 0 || requestID != m_NoticeSynchronizeID)
        return;
    m_NoticeSynchronizeID = 0;
    if (!merged)
        SetSynchronizationRequired(true);
    if (m_NoticeSynchronizeAgain) {
        m_NoticeSynchronizeAgain = false;
        SynchronizeForNotices();
    }
}

// ---- Authentication requests -------------------------------------------------------------------

namespace {

// Queues "VerifyAuthenticationRequest" for the id with the model's credentials; nothing else of the
// message travels.
void QueueVerification(TTessivarBusinessLogic& model, const std::string& messageId,
                       std::function<void(const TRequestVerification&)> onAnswer) {
    auto request = model.Server().CreateRequest(
        VerifyAuthenticationRequestAction,
        [onAnswer = std::move(onAnswer)](TTessivarServerRequest& done) { onAnswer(ReadRequestVerification(done)); });
    TXMLNode& argument = request->ArgumentNode();
    argument.Child("Username").SetText(model.Username());
    argument.Child("Password").SetText(model.Password());
    argument.Child("MessageId").SetText(messageId);
    model.Server().Enqueue(std::move(request));
}

// The request must have gone to this user (the screened account's address or the user name), from
// the address the mail shows. The user's own decision on the email, and its deletion, stand.
void DeliverConfirmedRequest(TTessivarBusinessLogic& model, const TRequestVerification& answer, int32_t emailID,
                             const std::string& sender, const std::string& accountAddress) {
    const bool toThisUser = SameText(answer.Recipient, accountAddress) || SameText(answer.Recipient, model.Username());
    if (!answer.Genuine || !toThisUser || !SameText(answer.Sender, sender)) {
        model.AddLogItem("The authentication request from " + sender +
                             " could not be confirmed by the service; it waits for your decision.",
                         0);
        return;
    }
    for (int i = 0; i < model.EmailCount(); ++i) {
        TTessivarEmail& email = model.Emails(i);
        if (email.ID() != emailID)
            continue;
        if (email.Deleted() || email.ApprovalStatus() != TApprovalStatus::Undefined)
            return;
        email.ApproveOnce();
        model.AddLogItem("The service confirmed the authentication request from " + sender + ": it is delivered.", 0);
        return;
    }
}

// Only a request this account sent blocks, and then the recipient the service recorded for it.
void BlockConfirmedRecipient(TTessivarBusinessLogic& model, const TRequestVerification& answer,
                             const std::string& address) {
    if (!answer.SentByAccount) {
        model.AddLogItem("A returned authentication request (to " + address +
                             ") could not be confirmed by the service; nothing was changed.",
                         0);
        return;
    }
    model.AddLogItem(
        "The authentication request to " + answer.Recipient + " could not be delivered; the sender is blocked.", 0);
    model.Undeliverable(answer.Recipient);
}

} // namespace

void TTessivarBusinessLogic::VerifyAuthenticationRequest(const TTessivarEmail& email, const std::string& messageId) {
    CheckThread();
    const std::string id = BareMessageId(messageId);
    if (SetupRequired() || id.empty() || !email.Account() || !email.FromEmailAddress())
        return;
    QueueVerification(*this, id,
                      [this, emailID = email.ID(), sender = email.FromEmailAddress()->EmailAddress(),
                       accountAddress = email.Account()->EmailAddress()](const TRequestVerification& answer) {
                          DeliverConfirmedRequest(*this, answer, emailID, sender, accountAddress);
                      });
}

void TTessivarBusinessLogic::ReturnedAuthenticationRequest(const std::string& address,
                                                           const std::string& requestMessageId) {
    CheckThread();
    const std::string id = BareMessageId(requestMessageId);
    if (id.empty()) {
        Debug("A returned authentication request to \"" + address + "\" holds no request id: nothing changes.");
        return;
    }
    if (SetupRequired())
        return;
    QueueVerification(*this, id, [this, address](const TRequestVerification& answer) {
        BlockConfirmedRecipient(*this, answer, address);
    });
}
