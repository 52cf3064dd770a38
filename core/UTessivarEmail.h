#pragma once
// An email record: one message taken off a mailbox, stored as a row and as a file in the message
// store. Thread contract: the model's thread only (see UTessivarRecord.h), except InSession,
// FileName and FileSize, which the local server's connection threads use while the email is in
// one of their sessions.

#include "base/LDates.h"
#include "core/UPackedTexts.h"
#include "core/UTessivarRecord.h"
#include "core/UTessivarTypes.h"

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

class TTessivarAccount;
class TTessivarEmailAddress;

// A unique id as POP3 allows it: 1 to 70 characters, each 0x21-0x7E.
bool IsValidUIDL(std::string_view id);
// A new local server id for an email being stored.
std::string NewEmailUIDL();

class TTessivarEmail : public TTessivarRecord {
public:
    explicit TTessivarEmail(TTessivarBusinessLogic& owner);

    int32_t ID() const { return m_ID; }
    // The account it was fetched for; none when the stored account no longer exists.
    TTessivarAccount* Account() const { return m_Account; }
    TTessivarEmailAddress* FromEmailAddress() const { return m_FromEmailAddress; }
    // The texts are constant once the email is stored.
    std::string_view FromDisplayName() const { return m_Texts[FromDisplayNameText]; }
    std::string_view MessageID() const { return m_Texts[MessageIDText]; }
    // The id the local server gives the message (UIDL): 1 to 70 characters 0x21-0x7E, unique in the
    // account and never given to another message, the same in every session.
    std::string_view UIDL() const { return m_Texts[UIDLText]; }
    std::string_view Subject() const { return m_Texts[SubjectText]; }
    TDateTime Received() const { return m_Received; }
    // The email's own, once-only decision.
    TApprovalStatus ApprovalStatus() const { return m_ApprovalStatus; }
    bool Deleted() const { return m_Deleted; }
    bool WordBlocked() const { return m_WordBlocked; }
    bool AdultBlocked() const { return m_AdultBlocked; }

    // True while an item of a delivery session refers to the email (never stored).
    bool InSession() const { return m_InSession; }
    void SetInSession(bool value) { m_InSession = value; }
    // The email left the model (a data reset, the shutdown) while a session still offered it: its
    // changes are no longer written, since its row is gone or no longer its own.
    bool Detached() const { return m_Detached; }

    // Store path + the ID as eight upper-case hexadecimal digits + ".eml".
    std::string FileName() const;
    // Size of the stored message in bytes; raises TTessivarBusinessLogicException when the file
    // cannot be opened for reading.
    int64_t FileSize() const;

    void SetApprovalStatus(TApprovalStatus value);
    // Does not touch the approval.
    void SetDeleted(bool value);
    void ApproveOnce() { SetApprovalStatus(TApprovalStatus::Approved); }
    void BlockOnce() { SetApprovalStatus(TApprovalStatus::Blocked); }
    void Delete() { SetDeleted(true); }

    bool IsApprovedOnce() const { return m_ApprovalStatus == TApprovalStatus::Approved; }
    bool IsBlockedOnce() const { return m_ApprovalStatus == TApprovalStatus::Blocked; }
    // The effective decision, worked out from the email's, its sender's and its domain's statuses.
    bool IsBlockedMail() const;
    bool IsAwaitingDelivery() const;

protected:
    void Save() override;

private:
    friend class TTessivarBusinessLogic;

    // The positions in m_Texts.
    enum : size_t { FromDisplayNameText, MessageIDText, UIDLText, SubjectText, TextCount };
    void SetTexts(std::string_view fromDisplayName, std::string_view messageID, std::string_view uidl,
                  std::string_view subject) {
        m_Texts = TPackedTexts<TextCount>({fromDisplayName, messageID, uidl, subject});
    }

    // Ordered by size: a model holds one per stored message.
    TTessivarAccount* m_Account = nullptr;
    TTessivarEmailAddress* m_FromEmailAddress = nullptr;
    TDateTime m_Received = 0;
    TPackedTexts<TextCount> m_Texts;
    int32_t m_ID = -1;
    TApprovalStatus m_ApprovalStatus = TApprovalStatus::Undefined;
    bool m_AdultBlocked = false;
    bool m_Deleted = false;
    bool m_WordBlocked = false;
    std::atomic<bool> m_InSession{false};
    bool m_Detached = false;
};
