#pragma once
// What the web service keeps per account and exchanges with the program, as plain values. Wire
// texts are normalised on the way in (UServiceSOAP.cpp), so these hold only the texts the program
// itself writes ("Approved", "Pending", ...). Thread contract: plain values, any thread.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// The standing of an account that exists and is in good order; anything but "Undefined",
// "Suspended" and "Terminated" reads as that in the program.
inline constexpr const char* ActiveAccountStatus = "Active";
inline constexpr const char* UndefinedAccountStatus = "Undefined";

struct TServiceAccount {
    int64_t ID = 0;
    std::string Username;
    std::string PasswordHash;
    std::string EmailAddress;
    std::string Status;
    int64_t DataVersion = 0;
    // The owner followed the confirmation link: only then does the service send mail from it.
    bool AddressConfirmed = false;

    bool IsActive() const { return Status != "Suspended" && Status != "Terminated"; }
};

struct TAccountSettings {
    std::string Signature;
    std::string BlockedWords;
    std::string AdultWords;
    std::string UnlockPassword;
    bool LockAccess = false;
};

struct TDomainNameStatus {
    std::string DomainName;
    std::string ApprovalStatus;
    std::string Notes;
    bool Deleted = false;
};

struct TEmailAddressStatus {
    std::string EmailAddress;
    std::string DisplayName;
    std::string ApprovalStatus;
    std::string AuthenticationStatus;
    std::string Notes;
    bool Deleted = false;
};

// One message whose unknown sender is to be asked to authenticate.
struct TAuthorizationRequest {
    std::string FromEmailAddress;
    std::string FromDisplayName;
    std::string ToEmailAddress;
    std::string ToDisplayName;
    std::string Subject;
    std::string Received; // the date-time text as the program sent it
};

// What one Synchronize carries besides the credentials.
struct TSyncUpload {
    std::optional<TAccountSettings> Settings;
    std::vector<TDomainNameStatus> DomainNames;
    std::vector<TEmailAddressStatus> EmailAddresses;
    std::vector<TAuthorizationRequest> Authorizations;
};

// An authentication request to be mailed: the token exists in clear only here, the database keeps
// its hash.
struct TChallenge {
    int64_t AccountID = 0;
    std::string Token;
    std::string AccountEmailAddress;
    TAuthorizationRequest Request;
    // The request mail's Message-Id, without angle brackets; the service keeps it to answer whether
    // a mail holding it is genuine.
    std::string MessageId;
};

// The one notice a sender gets on being imported from the user's address book as approved.
struct TImportNotice {
    int64_t AccountID = 0;
    std::string AccountEmailAddress;
    std::string SenderEmailAddress;
    std::string SenderDisplayName;
};

// Everything a Synchronize answers, and the challenges it decided to send.
struct TSyncAnswer {
    int64_t DataVersion = 0;
    std::string AccountStatus;
    std::optional<TAccountSettings> Settings;
    std::vector<TDomainNameStatus> DomainNames;
    std::vector<TEmailAddressStatus> EmailAddresses;
    std::vector<TChallenge> Challenges;
    std::vector<TImportNotice> ImportNotices;
};

enum class TTokenState { Unknown, Valid, Used, Expired };

// A challenge as the authentication page shows it.
struct TChallengeView {
    TTokenState State = TTokenState::Unknown;
    std::string AccountEmailAddress;
    std::string SenderEmailAddress;
    std::string SenderDisplayName;
    std::string Subject;
    std::string Received;
};

// A link that confirms an account's address, mailed to that address; in clear only here.
struct TAddressConfirmation {
    int64_t AccountID = 0;
    std::string EmailAddress;
    std::string Token;
};

// The account of a confirmation link, and what its confirmation released to be sent.
struct TConfirmationView {
    TTokenState State = TTokenState::Unknown;
    int64_t AccountID = 0;
    std::string Username;
    std::string EmailAddress;
    TSyncAnswer Released;
};
