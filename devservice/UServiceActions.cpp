#include "devservice/UServiceActions.h"

#include <sodium.h>

#include <semaphore>

#include "base/LDates.h"
#include "base/LStrings.h"
#include "devservice/URequestMessages.h"
#include "devservice/UServiceLimits.h"
#include "devservice/UServiceLog.h"
#include "devservice/UServiceMail.h"
#include "devservice/UServiceSOAP.h"
#include "devservice/UServiceStore.h"
#include "service/UXML.h"

namespace {

const size_t MaxPasswordBytes = 1024;
const size_t MaxAdvertiserBytes = 256;

// ---- Reading the argument --------------------------------------------------------------------

const TXMLNode* Find(const TXMLNode& parent, std::string_view name) {
    return parent.Children().Find(name);
}

std::string Text(const TXMLNode& parent, std::string_view name) {
    const TXMLNode* node = Find(parent, name);
    return node ? node->Text() : std::string();
}

bool Boolean(const TXMLNode& parent, std::string_view name) {
    const TXMLNode* node = Find(parent, name);
    return node && node->AsBoolean();
}

bool HasChildren(const TXMLNode& parent, std::string_view name) {
    const TXMLNode* node = Find(parent, name);
    return node && node->Children().Count() > 0;
}

// The program's wire texts, read without regard to letter case; anything else is "Undefined".
std::string ApprovalText(const std::string& text) {
    for (const char* known : {"Approved", "Blocked"})
        if (SameText(text, known))
            return known;
    return "Undefined";
}

std::string AuthenticationText(const std::string& text) {
    for (const char* known : {"Imported", "Pending", "Authenticated"})
        if (SameText(text, known))
            return known;
    return "Undefined";
}

template <typename Item, typename Read>
void ReadList(const TXMLNode& argument, std::string_view list, std::string_view item, std::vector<Item>& out,
              Read read) {
    const TXMLNode* node = Find(argument, list);
    if (node == nullptr)
        return;
    for (int i = 0; i < node->Children().Count(); ++i)
        if (const TXMLNode& entry = node->Children().Items(i); entry.Name() == item)
            out.push_back(read(entry));
}

TSyncUpload ReadUpload(const TXMLNode& argument) {
    TSyncUpload upload;
    if (HasChildren(argument, "AccountSettings")) {
        const TXMLNode& settings = *Find(argument, "AccountSettings");
        upload.Settings =
            TAccountSettings{Text(settings, "Signature"), Text(settings, "BlockedWords"), Text(settings, "AdultWords"),
                             Text(settings, "UnlockPassword"), Boolean(settings, "LockAccess")};
    }
    ReadList(argument, "DomainNameStatuses", "DomainNameStatus", upload.DomainNames, [](const TXMLNode& entry) {
        return TDomainNameStatus{Text(entry, "DomainName"), ApprovalText(Text(entry, "ApprovalStatus")),
                                 Text(entry, "Notes"), Boolean(entry, "Deleted")};
    });
    ReadList(argument, "EmailAddressStatuses", "EmailAddressStatus", upload.EmailAddresses, [](const TXMLNode& entry) {
        return TEmailAddressStatus{Text(entry, "EmailAddress"),
                                   Text(entry, "DisplayName"),
                                   ApprovalText(Text(entry, "ApprovalStatus")),
                                   AuthenticationText(Text(entry, "AuthenticationStatus")),
                                   Text(entry, "Notes"),
                                   Boolean(entry, "Deleted")};
    });
    ReadList(argument, "EmailAddressesRequiringAuthorization", "EmailAddressRequiringAuthorization",
             upload.Authorizations, [](const TXMLNode& entry) {
                 return TAuthorizationRequest{Text(entry, "FromEmailAddress"), Text(entry, "FromDisplayName"),
                                              Text(entry, "ToEmailAddress"),   Text(entry, "ToDisplayName"),
                                              Text(entry, "Subject"),          Text(entry, "Received")};
             });
    // Records without a name cannot be told apart; they are not kept.
    std::erase_if(upload.DomainNames, [](const TDomainNameStatus& domain) { return domain.DomainName.empty(); });
    std::erase_if(upload.EmailAddresses, [](const TEmailAddressStatus& sender) { return sender.EmailAddress.empty(); });
    return upload;
}

// ---- Writing the result ----------------------------------------------------------------------

void AddError(TXMLNode& result, const char* code, const char* message, const std::string& description) {
    TXMLNode& entry = result.Child("ErrorMessages").Children().Add("ErrorMessage");
    entry.Child("Code").SetText(code);
    entry.Child("Message").SetText(message);
    entry.Child("Description").SetText(description);
}

void UnknownAccount(TXMLNode& result) {
    AddError(result, "3", "Unknown Account", "No account exists for this user name.");
}

void InvalidCredentials(TXMLNode& result) {
    AddError(result, "4", "Invalid Credentials", "The user name or the password is wrong.");
}

void TooManyAttempts(TXMLNode& result, const std::string& description) {
    AddError(result, "8", "Too Many Attempts", description);
}

const char* const SignInThrottled = "Too many wrong passwords were tried; please try again in a quarter of an hour.";

// Answers a sign-in that did not succeed with its error entry; false when it did succeed.
bool RefusedSignIn(const TSignIn& signIn, TXMLNode& result) {
    switch (signIn.State) {
    case TSignIn::TState::Accepted:
        return false;
    case TSignIn::TState::Throttled:
        TooManyAttempts(result, SignInThrottled);
        break;
    case TSignIn::TState::UnknownAccount:
        UnknownAccount(result);
        break;
    case TSignIn::TState::WrongPassword:
        InvalidCredentials(result);
        break;
    }
    return true;
}

const char* BooleanText(bool value) {
    return value ? "true" : "false";
}

void WriteAnswer(const TSyncAnswer& answer, TXMLNode& result) {
    result.Child("DataVersion").SetText(std::to_string(answer.DataVersion));
    result.Child("AccountStatus").SetText(answer.AccountStatus);
    result.Child("SoftwareVersion").SetText(ServiceSoftwareVersion);
    if (answer.Settings) {
        TXMLNode& settings = result.Child("AccountSettings");
        settings.Child("Signature").SetText(answer.Settings->Signature);
        settings.Child("BlockedWords").SetText(answer.Settings->BlockedWords);
        settings.Child("AdultWords").SetText(answer.Settings->AdultWords);
        settings.Child("UnlockPassword").SetText(answer.Settings->UnlockPassword);
        settings.Child("LockAccess").SetText(BooleanText(answer.Settings->LockAccess));
    }
    if (!answer.DomainNames.empty()) {
        TXMLNode& list = result.Child("DomainNameStatuses");
        for (const TDomainNameStatus& domain : answer.DomainNames) {
            TXMLNode& entry = list.Children().Add("DomainNameStatus");
            entry.Child("DomainName").SetText(domain.DomainName);
            entry.Child("ApprovalStatus").SetText(domain.ApprovalStatus);
            entry.Child("Notes").SetText(domain.Notes);
            entry.Child("Deleted").SetText(BooleanText(domain.Deleted));
        }
    }
    if (!answer.EmailAddresses.empty()) {
        TXMLNode& list = result.Child("EmailAddressStatuses");
        for (const TEmailAddressStatus& sender : answer.EmailAddresses) {
            TXMLNode& entry = list.Children().Add("EmailAddressStatus");
            entry.Child("EmailAddress").SetText(sender.EmailAddress);
            entry.Child("DisplayName").SetText(sender.DisplayName);
            entry.Child("ApprovalStatus").SetText(sender.ApprovalStatus);
            entry.Child("AuthenticationStatus").SetText(sender.AuthenticationStatus);
            entry.Child("Notes").SetText(sender.Notes);
            entry.Child("Deleted").SetText(BooleanText(sender.Deleted));
        }
    }
}

bool IsValidPassword(std::string_view password) {
    return !password.empty() && password.size() <= MaxPasswordBytes;
}

// Each hash takes 64 MiB: a bounded number run at once, the others wait their turn.
std::counting_semaphore<MaxConcurrentPasswordHashes> PasswordHashing(MaxConcurrentPasswordHashes);

class THashingTurn {
public:
    THashingTurn() { PasswordHashing.acquire(); }
    ~THashingTurn() { PasswordHashing.release(); }
    THashingTurn(const THashingTurn&) = delete;
    THashingTurn& operator=(const THashingTurn&) = delete;
};

} // namespace

std::string HashPassword(std::string_view password) {
    const THashingTurn turn;
    char hash[crypto_pwhash_STRBYTES];
    if (crypto_pwhash_str(hash, password.data(), password.size(), crypto_pwhash_OPSLIMIT_INTERACTIVE,
                          crypto_pwhash_MEMLIMIT_INTERACTIVE) != 0)
        throw Exception("Not enough memory to hash a password.");
    return hash;
}

bool VerifyPassword(const std::string& hash, std::string_view password) {
    if (password.size() > MaxPasswordBytes)
        return false;
    const THashingTurn turn;
    return crypto_pwhash_str_verify(hash.c_str(), password.data(), password.size()) == 0;
}

TServiceActions::TServiceActions(TServiceStore& store, TServiceMailer& mailer, std::function<int64_t()> clock)
    : m_Store(store), m_Mailer(mailer), m_Clock(std::move(clock)),
      m_AccountCreates(MaxAccountCreatesPerAddress, AccountCreateWindowSeconds, MaxThrottledKeys),
      m_AddressFailures(MaxPasswordFailuresPerAddress, PasswordFailureWindowSeconds, MaxThrottledKeys),
      m_AccountFailures(MaxPasswordFailuresPerAccount, PasswordFailureWindowSeconds, MaxThrottledKeys) {}

TSignIn TServiceActions::SignIn(std::string_view username, std::string_view password, const std::string& client) {
    TSignIn signIn;
    const int64_t now = m_Clock();
    if (!m_AddressFailures.Allows(client, now)) {
        signIn.State = TSignIn::TState::Throttled;
        return signIn;
    }
    signIn.Account = m_Store.FindAccount(username);
    if (!signIn.Account) {
        m_AddressFailures.Record(client, now);
        return signIn;
    }
    const std::string accountKey = std::to_string(signIn.Account->ID);
    if (!m_AccountFailures.Allows(accountKey, now)) {
        signIn.State = TSignIn::TState::Throttled;
        return signIn;
    }
    if (!VerifyPassword(signIn.Account->PasswordHash, password)) {
        m_AddressFailures.Record(client, now);
        m_AccountFailures.Record(accountKey, now);
        signIn.State = TSignIn::TState::WrongPassword;
        return signIn;
    }
    signIn.State = TSignIn::TState::Accepted;
    return signIn;
}

void TServiceActions::ConfirmAddress(const TServiceAccount& account, bool force) {
    if (account.AddressConfirmed || !account.IsActive())
        return;
    if (const auto confirmation = m_Store.StartAddressConfirmation(account.ID, m_Clock(), force))
        m_Mailer.SendAddressConfirmation(m_Store, *confirmation);
}

TServiceReply TServiceActions::Handle(std::string_view body, const std::string& client) {
    using TAction = void (TServiceActions::*)(const TXMLNode&, TXMLNode&, const std::string&);
    static const std::pair<const char*, TAction> Actions[] = {
        {"Synchronize", &TServiceActions::Synchronize},
        {"AccountAvailability", &TServiceActions::AccountAvailability},
        {"AccountCreate", &TServiceActions::AccountCreate},
        {"AccountSetPassword", &TServiceActions::AccountSetPassword},
        {"VerifyAuthenticationRequest", &TServiceActions::VerifyAuthenticationRequest},
    };
    TSOAPRequest request;
    try {
        request = ReadSOAPRequest(body);
    } catch (const SOAPRequestException& error) {
        return {500, SOAPFault("soap:Client", error.Message())};
    }
    TAction run = nullptr;
    for (const auto& [name, action] : Actions)
        if (request.Action == name)
            run = action;
    if (run == nullptr)
        return {500, SOAPFault("soap:Client", "Unknown action \"" + request.Action + "\".")};

    auto response = NewSOAPResponse(request.Action);
    TXMLNode& result = response->Child(request.Action + "Result");
    result.Child("Generated").SetAsDateTime(Now());
    try {
        const TXMLNode* argument = Find(*request.Body, request.Action + "Argument");
        if (argument == nullptr)
            AddError(result, "2", "Invalid Request", "The request has no " + request.Action + "Argument element.");
        else
            (this->*run)(*argument, result, client);
    } catch (const std::exception& error) {
        ServiceLog(request.Action + " failed: " + error.what());
        AddError(result, "1", "Server Error", "The service could not complete the request.");
    }
    return {200, SOAPAnswer(*response)};
}

// An unknown user name answers the standing "Undefined", which lets the setup wizard tell a
// missing account from a failure. A synchronisation that carries the program's data (its version
// or any records) gets an error entry as well, so that the program keeps its changes marked
// instead of taking them as delivered to an account that does not exist.
// A wrong password is answered the same way: to the wizard the account is not found with these
// credentials, which is what it tells the user.
void TServiceActions::Synchronize(const TXMLNode& argument, TXMLNode& result, const std::string& client) {
    const bool carriesData = Find(argument, "SoftwareVersion") || HasChildren(argument, "AccountSettings") ||
                             HasChildren(argument, "DomainNameStatuses") ||
                             HasChildren(argument, "EmailAddressStatuses") ||
                             HasChildren(argument, "EmailAddressesRequiringAuthorization");
    const TSignIn signIn = SignIn(Text(argument, "Username"), Text(argument, "Password"), client);
    if (signIn.State != TSignIn::TState::Accepted) {
        result.Child("AccountStatus").SetText(UndefinedAccountStatus);
        if (signIn.State == TSignIn::TState::Throttled)
            TooManyAttempts(result, SignInThrottled);
        else if (carriesData && signIn.State == TSignIn::TState::UnknownAccount)
            UnknownAccount(result);
        else if (carriesData)
            InvalidCredentials(result);
        return;
    }
    const TServiceAccount& account = *signIn.Account;
    ConfirmAddress(account, false);
    const TXMLNode* version = Find(argument, "ClientDataVersion");
    const TSyncAnswer answer = m_Store.Synchronize(account, ReadUpload(argument), version ? version->AsInteger() : -1,
                                                   m_Clock(), account.IsActive());
    m_Mailer.SendChallenges(m_Store, answer.Challenges);
    m_Mailer.SendImportNotices(m_Store, answer.ImportNotices);
    WriteAnswer(answer, result);
}

void TServiceActions::AccountAvailability(const TXMLNode& argument, TXMLNode& result, const std::string&) {
    const auto account = m_Store.FindAccount(Text(argument, "Username"));
    result.Child("AccountStatus").SetText(account ? account->Status : UndefinedAccountStatus);
}

// The new account's address receives a confirmation link; nothing else is mailed from it before
// the owner follows that link.
void TServiceActions::AccountCreate(const TXMLNode& argument, TXMLNode& result, const std::string& client) {
    const std::string username = Text(argument, "Username");
    const std::string password = Text(argument, "Password");
    std::string emailAddress = Text(argument, "EmailAddress");
    if (emailAddress.empty())
        emailAddress = username;
    if (!IsMailbox(username) || !IsMailbox(emailAddress))
        return AddError(result, "6", "Invalid Username", "The user name must be an e-mail address.");
    if (!IsValidPassword(password))
        return AddError(result, "7", "Invalid Password", "The password must not be empty.");
    const int64_t now = m_Clock();
    if (!m_AccountCreates.Allows(client, now))
        return TooManyAttempts(result, "Too many accounts were created from your address; please try again later.");
    m_AccountCreates.Record(client, now);
    std::string advertiser = Text(argument, "AdvertiserID");
    advertiser.resize(std::min(advertiser.size(), MaxAdvertiserBytes));
    if (!m_Store.CreateAccount(username, HashPassword(password), emailAddress, advertiser, now))
        return AddError(result, "5", "Account Exists", "An account with this user name exists already.");
    ServiceLog("Account created for " + username + ".");
    if (const auto account = m_Store.FindAccount(username))
        ConfirmAddress(*account, true);
    result.Child("AccountStatus").SetText(ActiveAccountStatus);
    result.Child("DataVersion").SetText("0");
}

void TServiceActions::AccountSetPassword(const TXMLNode& argument, TXMLNode& result, const std::string& client) {
    const TSignIn signIn = SignIn(Text(argument, "Username"), Text(argument, "Password"), client);
    if (RefusedSignIn(signIn, result))
        return;
    const std::string newPassword = Text(argument, "NewPassword");
    if (!IsValidPassword(newPassword))
        return AddError(result, "7", "Invalid Password", "The new password must not be empty.");
    m_Store.SetPasswordHash(signIn.Account->ID, HashPassword(newPassword));
    result.Child("AccountStatus").SetText(signIn.Account->Status);
}

// Only a program with an account may ask, and it learns nothing but what the request's recipient
// already read in it. The id is compared as sent, without angle brackets or blanks around it.
void TServiceActions::VerifyAuthenticationRequest(const TXMLNode& argument, TXMLNode& result,
                                                  const std::string& client) {
    const TSignIn signIn = SignIn(Text(argument, "Username"), Text(argument, "Password"), client);
    if (RefusedSignIn(signIn, result))
        return;
    const auto& account = signIn.Account;
    std::string messageId = Trim(Text(argument, "MessageId"));
    if (messageId.size() >= 2 && messageId.front() == '<' && messageId.back() == '>')
        messageId = Trim(messageId.substr(1, messageId.size() - 2));
    const TRequestMessage request = m_Store.FindRequestMessage(messageId, m_Clock());
    result.Child("Genuine").SetText(BooleanText(request.Genuine));
    if (!request.Genuine)
        return;
    result.Child("Sender").SetText(request.Sender);
    result.Child("Recipient").SetText(request.Recipient);
    result.Child("SentByAccount").SetText(BooleanText(request.AccountID == account->ID));
}
