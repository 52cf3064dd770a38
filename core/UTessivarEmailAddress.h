#pragma once
// A sender record. Thread contract: the model's thread only (see UTessivarRecord.h).

#include "core/UTessivarApprovalRecord.h"

class TTessivarDomainName;

// Shown as the domain of a sender whose domain name record is missing: a reserved name that can
// never be a real mail domain.
extern const char* const PlaceholderDomainName;

class TTessivarEmailAddress : public TTessivarApprovalRecord {
public:
    explicit TTessivarEmailAddress(TTessivarBusinessLogic& owner);

    TAuthenticationStatus AuthenticationStatus() const { return m_AuthenticationStatus; }
    const std::string& DisplayName() const { return m_DisplayName; }
    // The sender's domain name record; a plain pointer into the model's list, or none.
    TTessivarDomainName* DomainName() const { return m_DomainName; }
    // The part of the address before the first "@".
    const std::string& Username() const { return m_Username; }
    // Username + "@" + the domain's name, or the placeholder domain when there is none.
    std::string EmailAddress() const;

    bool IsAuthenticated() const { return m_AuthenticationStatus == TAuthenticationStatus::Authenticated; }

    void SetDisplayName(const std::string& value);
    void SetAuthenticationStatus(TAuthenticationStatus value);

protected:
    void WriteRow() override;
    void InsertRow() override;
    const char* TableName() const override { return "EmailAddresses"; }
    const char* SaveMessage() const override { return "Updating email address."; }

private:
    friend class TTessivarBusinessLogic;

    TAuthenticationStatus m_AuthenticationStatus = TAuthenticationStatus::Undefined;
    std::string m_DisplayName;
    TTessivarDomainName* m_DomainName = nullptr;
    std::string m_Username;
};
