#pragma once
// The web service's accounts and their synchronised data: credentials, settings, domain names,
// senders with their authentication, data versions, and the one-time tokens of the challenges.
// Thread contract: every operation may be called from any thread; each runs under the store's
// lock and, when it writes, inside one database transaction.

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "devservice/UServiceRecords.h"

class TServiceDatabase;
struct TAccountView;
struct TRequestMessage;

// A sender challenged less than this long ago is not challenged again.
inline constexpr int64_t ChallengeIntervalSeconds = 7 * 24 * 3600;
// A token is refused this long after its challenge was sent.
inline constexpr int64_t TokenLifetimeSeconds = 30 * 24 * 3600;

class TServiceStore {
public:
    // Opens or creates the database file; ServiceDatabaseException when that fails.
    explicit TServiceStore(const std::string& fileName);
    ~TServiceStore();
    TServiceStore(const TServiceStore&) = delete;
    TServiceStore& operator=(const TServiceStore&) = delete;

    // The account of a user name, compared without regard to letter case.
    std::optional<TServiceAccount> FindAccount(std::string_view username);
    // False when the user name is taken.
    bool CreateAccount(const std::string& username, const std::string& passwordHash, const std::string& emailAddress,
                       const std::string& advertiserID, int64_t now);
    void SetPasswordHash(int64_t accountID, const std::string& passwordHash);
    void SetAccountStatus(int64_t accountID, const std::string& status);

    // Stores what the program sent, queues its senders to be challenged and the senders it
    // imported to be noticed (once per account), takes from the queue what may be sent now (only
    // when `challenge` is set and the account's address is confirmed, within the daily caps of
    // UServiceLimits.h; the rest keeps waiting) and collects everything changed after
    // `clientVersion`. A negative version, or one above the
    // account's, asks for everything.
    TSyncAnswer Synchronize(const TServiceAccount& account, const TSyncUpload& upload, int64_t clientVersion,
                            int64_t now, bool challenge);
    // Forgets a challenge whose mail could not be sent and puts its sender back in the queue, so
    // that the next synchronisation tries again.
    void WithdrawChallenge(const TChallenge& challenge);
    // The authentication request sent with this Message-Id (without angle brackets), when one was
    // sent less than RequestMessageLifetimeSeconds ago (URequestMessages.cpp).
    TRequestMessage FindRequestMessage(std::string_view messageId, int64_t now);

    // Forgets that the notice was sent, after it could not be.
    void WithdrawImportNotice(const TImportNotice& notice);

    // A new confirmation link for an account whose address is not confirmed yet: at once when
    // forced (a new account), else when the last is older than the resend interval; none while
    // the address has had its mail for the day.
    std::optional<TAddressConfirmation> StartAddressConfirmation(int64_t accountID, int64_t now, bool force);
    // Lets the next synchronisation send a link that could not be sent.
    void WithdrawAddressConfirmation(const TAddressConfirmation& confirmation);
    // The account of a confirmation link as the page shows it; never changes anything.
    TConfirmationView FindAddressConfirmation(std::string_view token, int64_t now);
    // Uses a valid link: the address is confirmed, and what waited for it is released (Released).
    TConfirmationView ConfirmAddress(std::string_view token, int64_t now);
    // The operator's confirmation of an account's address, from another process than the running
    // service: what waited is released by the account's next synchronisation. False for an unknown
    // user name.
    bool ConfirmAddressOf(std::string_view username, TConfirmationView& view);
    // What the account page shows of the account.
    TAccountView AccountView(const TServiceAccount& account);

    // The challenge of a token as the page shows it; never changes anything.
    TChallengeView FindChallenge(std::string_view token, int64_t now);
    // Uses a valid token: the sender becomes Authenticated for the account with a new data
    // version, and every open token of that sender is spent. Other states change nothing.
    TChallengeView Authenticate(std::string_view token, int64_t now);

private:
    TChallengeView LookUp(std::string_view tokenHash, int64_t now);
    TConfirmationView LookUpConfirmation(std::string_view tokenHash, int64_t now);
    void ReleaseAfterConfirmation(TConfirmationView& view, int64_t now);

    std::mutex m_Lock;
    // Guarded by m_Lock.
    std::unique_ptr<TServiceDatabase> m_Database;
};

// 32 random bytes as 64 lower-case hexadecimal digits.
std::string NewToken();
// The hash under which a token is kept; an ill-formed token gives an empty text.
std::string TokenHash(std::string_view token);
