// Mail classification: finding or creating senders and domain names, and storing each message the
// mailbox checker takes off a real mailbox. The effective decision (IsBlockedMail,
// IsAwaitingDelivery) lives with the email record.

#include "core/UTessivarClassification.h"

#include "base/LStrings.h"
#include "base/UDebug.h"
#include "base/UFileUtils.h"
#include "core/USQLite.h"
#include "core/USQLiteTransaction.h"
#include "core/UTessivarAccount.h"
#include "core/UTessivarBusinessLogic.h"
#include "core/UTessivarDomainName.h"
#include "core/UTessivarEmail.h"
#include "core/UTessivarEmailAddress.h"
#include "core/UTessivarMailRobots.h"
#include "mail/UMessageHeaders.h"

#include <unistd.h>

namespace {

// The commits of stored messages are not flushed one by one (FlushStore makes a whole pass
// durable at once); every other commit of the model still is.
class TDeferredSync {
public:
    explicit TDeferredSync(TSQLite& database) : m_Database(database) {
        m_Database.Execute("PRAGMA synchronous=NORMAL");
    }
    ~TDeferredSync() {
        try {
            m_Database.Execute("PRAGMA synchronous=FULL");
        } catch (const std::exception& error) {
            DebugException("TTessivarBusinessLogic", error);
        }
    }
    TDeferredSync(const TDeferredSync&) = delete;
    TDeferredSync& operator=(const TDeferredSync&) = delete;

private:
    TSQLite& m_Database;
};

// Parent domain names are looked up with at most this many characters.
constexpr size_t MaximumParentLength = 255;

// An address split at its first "@"; without "@" the user name is empty and the domain is the
// whole address.
struct TAddressParts {
    std::string User;
    std::string Domain;
};

TAddressParts SplitAddress(const std::string& address) {
    const size_t at = address.find('@');
    if (at == std::string::npos)
        return {std::string(), address};
    return {address.substr(0, at), address.substr(at + 1)};
}

// The sender's address equals user@domain without regard to letter case. Comparing the parts is
// the same as comparing the whole texts, since a stored user name holds no "@"; it also lets an
// address without "@" find the sender it created.
bool HasAddress(const TTessivarEmailAddress& sender, const TAddressParts& parts) {
    if (!SameText(sender.Username(), parts.User))
        return false;
    const TTessivarDomainName* domain = sender.DomainName();
    return SameText(domain ? std::string_view(domain->DomainName()) : std::string_view(PlaceholderDomainName),
                    parts.Domain);
}

// The message as stored: every line followed by CR LF.
std::string MessageText(const std::vector<std::string>& lines) {
    size_t size = 0;
    for (const std::string& line : lines)
        size += line.size() + 2;
    std::string text;
    text.reserve(size);
    for (const std::string& line : lines) {
        text += line;
        text += "\r\n";
    }
    return text;
}

// Some word of the list, lower-cased like the text, occurs in the text; the first hit ends the
// search. Plain substrings: a word also hits every longer word that contains it.
bool ContainsAnyWord(const std::string& lowerCaseText, const std::vector<std::string>& words) {
    for (const std::string& word : words)
        if (!word.empty() && lowerCaseText.find(LowerCase(word)) != std::string::npos)
            return true;
    return false;
}

// A message that calls itself an authentication request: the program's header says so and the
// message's own id (not one made up by the checker) holds the marker domain. Only the service can
// say whether it really sent it; until then it is held like any other message.
bool CallsItselfAuthenticationRequest(const TParsedMessage& message) {
    return SameText(message.Headers.Values(TessivarHeaderName), AuthenticationRequestHeaderValue) &&
           message.MessageId.find("@" + std::string(AuthenticationRequestMarkerDomain)) != std::string::npos;
}

bool HasHeader(const TMessageHeaderList& headers, std::string_view name) {
    for (const std::string& line : headers.Lines())
        if (const size_t colon = line.find(':'); colon != std::string::npos && SameText(line.substr(0, colon), name))
            return true;
    return false;
}

TAutomaticMailHeaders AutomaticMailHeaders(const TParsedMessage& message) {
    const TMessageHeaderList& headers = message.Headers;
    return {.AutoSubmitted = headers.Values("Auto-Submitted"),
            .Precedence = headers.Values("Precedence"),
            .ReturnPath = headers.Values("Return-Path"),
            .HasListId = HasHeader(headers, "List-Id"),
            .HasListUnsubscribe = HasHeader(headers, "List-Unsubscribe"),
            .IsAuthenticationRequest = SameText(headers.Values(TessivarHeaderName), AuthenticationRequestHeaderValue)};
}

// Why the sender of this message is not asked to authenticate although its mail is held; empty
// when it is to be asked.
std::string NoChallengeReason(const std::string& fromAddress, const TParsedMessage& message) {
    if (IsRobotMailbox(fromAddress) || IsMailRobotAddress(fromAddress))
        return "the address is a robot's, which nobody reads";
    return AutomaticMailReason(AutomaticMailHeaders(message));
}

} // namespace

// ---- Records an InsertEmail may change --------------------------------------------------------

struct TTessivarBusinessLogic::TRecordsMark {
    struct TApprovalState {
        TTessivarApprovalRecord* Record = nullptr;
        TApprovalStatus ApprovalStatus = TApprovalStatus::Undefined;
        bool Deleted = false;
        bool Modified = false;
        int32_t PendingSyncID = 0;
    };

    size_t DomainNameCount = 0;
    size_t EmailAddressCount = 0;
    bool SynchronizationRequired = false;
    // The existing sender of the address, or else the existing domain name a new sender would get.
    TApprovalState Domain;
    TApprovalState Sender;
    TAuthenticationStatus SenderAuthentication = TAuthenticationStatus::Undefined;
    std::string SenderDisplayName;
};

TTessivarBusinessLogic::TRecordsMark TTessivarBusinessLogic::MarkRecords(const std::string& fromAddress) const {
    const auto state = [](TTessivarApprovalRecord& record) {
        return TRecordsMark::TApprovalState{&record, record.m_ApprovalStatus, record.m_Deleted, record.m_Modified,
                                            record.m_PendingSyncID};
    };
    TRecordsMark mark;
    mark.DomainNameCount = m_DomainNames.size();
    mark.EmailAddressCount = m_EmailAddresses.size();
    mark.SynchronizationRequired = m_SynchronizationRequired;
    if (TTessivarEmailAddress* sender = FindEmailAddress(fromAddress)) {
        mark.Sender = state(*sender);
        mark.SenderAuthentication = sender->m_AuthenticationStatus;
        mark.SenderDisplayName = sender->m_DisplayName;
    } else if (TTessivarDomainName* domain = FindDomainName(SplitAddress(fromAddress).Domain)) {
        mark.Domain = state(*domain);
    }
    return mark;
}

// The rows were rolled back; the records go back to what those rows hold. Records created since the
// mark are the last ones of their lists; senders go first, as they refer to domain names.
void TTessivarBusinessLogic::RestoreRecords(const TRecordsMark& mark) noexcept {
    while (m_EmailAddresses.size() > mark.EmailAddressCount)
        RemoveLastEmailAddress();
    while (m_DomainNames.size() > mark.DomainNameCount)
        RemoveLastDomainName();
    for (const TRecordsMark::TApprovalState* state : {&mark.Domain, &mark.Sender}) {
        if (!state->Record)
            continue;
        state->Record->m_ApprovalStatus = state->ApprovalStatus;
        state->Record->m_Deleted = state->Deleted;
        state->Record->m_Modified = state->Modified;
        state->Record->m_PendingSyncID = state->PendingSyncID;
    }
    if (mark.Sender.Record) {
        auto& sender = static_cast<TTessivarEmailAddress&>(*mark.Sender.Record);
        sender.m_AuthenticationStatus = mark.SenderAuthentication;
        sender.m_DisplayName = mark.SenderDisplayName;
    }
    m_SynchronizationRequired = mark.SynchronizationRequired;
}

// ---- Lookups and creation --------------------------------------------------------------------

TTessivarEmailAddress* TTessivarBusinessLogic::FindEmailAddress(const std::string& address) const {
    CheckThread();
    const TAddressParts parts = SplitAddress(address);
    return FindEmailAddressByParts(parts.User, parts.Domain);
}

TTessivarDomainName& TTessivarBusinessLogic::AddDomainName(const std::string& name) {
    CheckThread();
    if (TTessivarDomainName* found = FindDomainName(name)) {
        if (found->Deleted()) {
            TUpdateScope<TTessivarRecord> scope(*found);
            found->SetApprovalStatus(TApprovalStatus::Undefined);
            found->SetDeleted(false);
        }
        return *found;
    }

    // The nearest parent domain with a status of its own gives it to the new name, once. Parents are
    // looked up with at most 255 characters, which also bounds the number of lookups.
    TApprovalStatus inherited = TApprovalStatus::Undefined;
    std::string parent = name;
    for (size_t dot = parent.find('.'); dot != std::string::npos; dot = parent.find('.')) {
        parent = parent.substr(dot + 1, MaximumParentLength);
        const TTessivarDomainName* found = FindDomainName(parent);
        if (found && found->ApprovalStatus() != TApprovalStatus::Undefined) {
            inherited = found->ApprovalStatus();
            break;
        }
    }

    TUpdateScope<TTessivarBusinessLogic> scope(*this);
    auto record = std::make_unique<TTessivarDomainName>(*this);
    record->m_DomainName = name;
    record->m_ApprovalStatus = inherited;
    record->m_Notes.clear();
    record->m_Deleted = false;
    record->m_Modified = true;
    CreateRow(*record);
    return AppendDomainName(std::move(record));
}

TTessivarEmailAddress& TTessivarBusinessLogic::AddEmailAddress(const std::string& address,
                                                               const std::string& displayName) {
    CheckThread();
    if (TTessivarEmailAddress* found = FindEmailAddress(address)) {
        if (found->Deleted()) {
            TUpdateScope<TTessivarRecord> scope(*found);
            found->SetDisplayName(displayName);
            found->SetApprovalStatus(TApprovalStatus::Undefined);
            found->SetAuthenticationStatus(TAuthenticationStatus::Pending);
            found->SetDeleted(false);
        }
        return *found;
    }

    const TAddressParts parts = SplitAddress(address);
    TTessivarDomainName& domain = AddDomainName(parts.Domain);
    TUpdateScope<TTessivarBusinessLogic> scope(*this);
    auto record = std::make_unique<TTessivarEmailAddress>(*this);
    record->m_DomainName = &domain;
    record->m_Username = parts.User;
    record->m_DisplayName = displayName;
    record->m_Notes.clear();
    record->m_ApprovalStatus = TApprovalStatus::Undefined;
    record->m_AuthenticationStatus = TAuthenticationStatus::Undefined;
    record->m_Deleted = false;
    record->m_Modified = true;
    CreateRow(*record);
    return AppendEmailAddress(std::move(record));
}

// ---- Storing a message -----------------------------------------------------------------------

// The message file is written whole under its final name, then the rows of the message (with the
// server's id of it, when given) are committed together. None of it is flushed here: the checker
// asks for FlushStore before the QUIT that lets the real server remove what it stored, so a pass
// pays for its flushes once. A failure rolls the rows back, removes the file and puts the records
// back, so that the checker's next pass stores the message afresh instead of finding half of it.
TTessivarEmail& TTessivarBusinessLogic::InsertEmail(TTessivarAccount& account, const std::string& messageId,
                                                    const std::vector<std::string>& lines, TDateTime received,
                                                    const std::string& subject, const std::string& fromAddress,
                                                    const std::string& fromDisplayName, const std::string& toAddress,
                                                    const std::string& toDisplayName, const std::string& remoteID,
                                                    const std::function<void(const TTessivarEmail&)>& alsoStore) {
    CheckThread();
    CreateEmailUIDLColumn();
    if (!remoteID.empty())
        CreateRetrievedMessagesTable();
    auto email = std::make_unique<TTessivarEmail>(*this);
    // Outlives the email's own bracket: the views hear of the change once the email is listed.
    TUpdateScope<TTessivarBusinessLogic> notification(*this);
    const TRecordsMark mark = MarkRecords(fromAddress);
    // Never fails: headers that cannot be read in full are read as far as they can.
    const TParsedMessage parsed = ParseMessageHeadersTolerant(lines);
    std::string noChallengeReason;
    std::string writtenFile;
    try {
        TDeferredSync deferred(*m_Database);
        TSQLiteTransaction transaction(*m_Database);
        {
            TUpdateScope<TTessivarRecord> scope(*email);

            TTessivarEmailAddress& sender = AddEmailAddress(fromAddress, fromDisplayName);
            // A sender never seen before is asked to authenticate, unless the user already decided
            // or its mail is delivered anyway (an approved domain name). Robots, automatic and list
            // mail never are: the challenge would go to a machine, start a mail loop or answer a
            // list; they stay unasked, so that their own later mail to the user is asked about.
            if (sender.AuthenticationStatus() == TAuthenticationStatus::Undefined &&
                !(sender.DomainName() && sender.DomainName()->IsApproved())) {
                noChallengeReason = NoChallengeReason(fromAddress, parsed);
                if (noChallengeReason.empty()) {
                    sender.SetAuthenticationStatus(TAuthenticationStatus::Pending);
                    if (sender.ApprovalStatus() == TApprovalStatus::Undefined)
                        m_Database->Insert("EmailAddressesRequiringAuthorization",
                                           {"FromEmailAddress", "FromDisplayName", "ToEmailAddress", "ToDisplayName",
                                            "Subject", "Received", "SyncID"},
                                           {fromAddress, fromDisplayName, toAddress, toDisplayName, subject,
                                            TSQLValue::DateTime(received), -1});
                } else if (sender.ApprovalStatus() != TApprovalStatus::Undefined) {
                    noChallengeReason.clear(); // decided by the user: nothing to explain
                }
            }

            const std::string text = MessageText(lines);
            const std::string lowerCaseText = LowerCase(text);
            const bool adult = ContainsAnyWord(lowerCaseText, m_AdultWords);
            const bool blocked = ContainsAnyWord(lowerCaseText, m_BlockedWords);

            const std::string uidl = NewEmailUIDL();
            m_Database->Insert("Emails",
                               {"AccountID", "MessageID", "FromEmailAddressID", "FromDisplayName", "Subject",
                                "Received", "ApprovalStatus", "WordBlocked", "AdultBlocked", "Deleted", "UIDL"},
                               {account.ID(), messageId, sender.ID(), fromDisplayName, subject,
                                TSQLValue::DateTime(received), ApprovalStatusCode(TApprovalStatus::Undefined), blocked,
                                adult, false, uidl});
            email->m_ID = static_cast<int32_t>(m_Database->LastInsertRowID());
            email->SetTexts(fromDisplayName, messageId, uidl, subject);
            email->m_Account = &account;
            email->m_AdultBlocked = adult;
            email->m_ApprovalStatus = TApprovalStatus::Undefined;
            email->m_Deleted = false;
            email->m_FromEmailAddress = &sender;
            email->m_Received = received;
            email->m_WordBlocked = blocked;

            const std::string fileName = email->FileName();
            WriteFileAtomically(fileName, text);
            writtenFile = fileName;
            if (!remoteID.empty())
                m_Database->Insert("RetrievedMessages", {"AccountID", "UIDL", "EmailID", "Size"},
                                   {account.ID(), remoteID, email->ID(), static_cast<int64_t>(text.size())});
        } // the email's row is saved here, inside the transaction
        if (alsoStore)
            alsoStore(*email);
        transaction.Commit();
        m_UnflushedFiles.push_back(writtenFile);
    } catch (...) {
        if (!writtenFile.empty())
            ::unlink(writtenFile.c_str());
        RestoreRecords(mark);
        throw;
    }
    TTessivarEmail& stored = AppendEmail(std::move(email));
    if (!noChallengeReason.empty() && m_UnchallengedExplained.insert(LowerCase(fromAddress)).second)
        AddLogItem("No authentication request was sent to " + fromAddress + ": " + noChallengeReason +
                       ". Its mail waits for your decision.",
                   0);
    if (CallsItselfAuthenticationRequest(parsed))
        VerifyAuthenticationRequest(stored, parsed.MessageId);
    return stored;
}

// ---- Notices ---------------------------------------------------------------------------------

// Only a whole address, user@domain, names one sender. An empty "To" of a returned request would
// otherwise name the sender that every message without a sender shares (and an address without "@"
// the one that every message from that bare domain shares), and blocking it would block all of
// their mail.
void TTessivarBusinessLogic::Undeliverable(const std::string& address) {
    CheckThread();
    const TAddressParts parts = SplitAddress(address);
    if (parts.User.empty() || parts.Domain.empty()) {
        Debug("Ignored an undeliverable notice without a complete address: \"" + address + "\".");
        return;
    }
    for (const auto& sender : m_EmailAddresses)
        if (HasAddress(*sender, parts))
            sender->Block();
}
