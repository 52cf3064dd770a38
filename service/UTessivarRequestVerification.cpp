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

#include <algorithm>

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
    if (m_NoticeSynchronizeID != 0) {
        Debug("Self-authentication notice from " + address + ": synchronising again after the current answer.");
        m_NoticeSynchronizeAgain = true;
        return;
    }
    Debug("Self-authentication notice from " + address + ": synchronising now.");
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
        SelfAuthentication("a later notice");
    }
}

// ---- Authentication requests -------------------------------------------------------------------

void TTessivarBusinessLogic::VerifyAuthenticationRequest(const TTessivarEmail& email, const std::string& messageId) {
    CheckThread();
    if (SetupRequired() || !email.Account() || !email.FromEmailAddress())
        return;
    const int32_t emailID = email.ID();
    const std::string sender = email.FromEmailAddress()->EmailAddress();
    const std::string accountAddress = email.Account()->EmailAddress();
    auto request = m_Server->CreateRequest(
        VerifyAuthenticationRequestAction, [this, emailID, sender, accountAddress](TTessivarServerRequest& done) {
            const TRequestVerification answer = ReadRequestVerification(done);
            // The request must have gone to this user, from the address the mail shows.
            const bool toThisUser = SameText(answer.Recipient, accountAddress) || SameText(answer.Recipient, m_Username);
            if (!answer.Genuine || !toThisUser || !SameText(answer.Sender, sender)) {
                AddLogItem("The authentication request from " + sender +
                               " could not be confirmed by the service; it waits for your decision.",
                           0);
                return;
            }
            const auto stored = std::find_if(m_Emails.begin(), m_Emails.end(),
                                             [emailID](const auto& each) { return each->ID() == emailID; });
            // The user's own decision on it, and its deletion, stand.
            if (stored == m_Emails.end() || (*stored)->Deleted() ||
                (*stored)->ApprovalStatus() != TApprovalStatus::Undefined)
                return;
            (*stored)->ApproveOnce();
            AddLogItem("The service confirmed the authentication request from " + sender + ": it is delivered.", 0);
        });
    TXMLNode& argument = request->ArgumentNode();
    argument.Child("Username").SetText(m_Username);
    argument.Child("Password").SetText(m_Password);
    argument.Child("MessageId").SetText(BareMessageId(messageId));
    m_Server->Enqueue(std::move(request));
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
    auto request = m_Server->CreateRequest(
        VerifyAuthenticationRequestAction, [this, address](TTessivarServerRequest& done) {
            const TRequestVerification answer = ReadRequestVerification(done);
            if (!answer.SentByAccount) {
                AddLogItem("A returned authentication request (to " + address +
                               ") could not be confirmed by the service; nothing was changed.",
                           0);
                return;
            }
            AddLogItem("The authentication request to " + answer.Recipient +
                           " could not be delivered; the sender is blocked.",
                       0);
            Undeliverable(answer.Recipient);
        });
    TXMLNode& argument = request->ArgumentNode();
    argument.Child("Username").SetText(m_Username);
    argument.Child("Password").SetText(m_Password);
    argument.Child("MessageId").SetText(id);
    m_Server->Enqueue(std::move(request));
}
