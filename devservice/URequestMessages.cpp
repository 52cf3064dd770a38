#include "devservice/URequestMessages.h"

#include <sodium.h>

#include "base/LStrings.h"
#include "core/UTessivarClassification.h"
#include "core/UTessivarMailRobots.h"
#include "devservice/UServiceDatabase.h"
#include "devservice/UServiceStore.h"

namespace {

// Parent domains are looked up for at most this many labels.
constexpr int MaximumDomainLevels = 16;

// The status of the account's domain name record, or when there is none, of its nearest parent
// with a status: the status a program gives a new domain name, and the one its mail is judged by.
std::string DomainStatus(TServiceDatabase& database, int64_t accountID, std::string_view domain) {
    std::string name(domain);
    for (int level = 0; level < MaximumDomainLevels && !name.empty(); ++level) {
        TServiceStatement select(database, "SELECT ApprovalStatus, Deleted FROM DomainNames WHERE AccountID=? AND "
                                           "DomainName=?");
        select.Bind(1, accountID).Bind(2, name);
        if (select.Step()) {
            // A deleted record comes back Undefined with the sender's mail; parents give their status
            // whether deleted or not, as they do at the program.
            const std::string status = level == 0 && select.Integer(1) != 0 ? "Undefined" : select.Text(0);
            if (level == 0 || status != "Undefined")
                return status;
        }
        const size_t dot = name.find('.');
        if (dot == std::string::npos)
            break;
        name.erase(0, dot + 1);
    }
    return "Undefined";
}

} // namespace

std::string NewRequestMessageId() {
    unsigned char bytes[16];
    randombytes_buf(bytes, sizeof bytes);
    char hex[sizeof bytes * 2 + 1];
    sodium_bin2hex(hex, sizeof hex, bytes, sizeof bytes);
    return std::string(hex) + "@" + std::string(AuthenticationRequestMarkerDomain);
}

void RecordRequestMessage(TServiceDatabase& database, const std::string& messageId, int64_t accountID,
                          const std::string& recipient, int64_t now) {
    TServiceStatement insert(database, "INSERT OR REPLACE INTO RequestMessages (MessageId, AccountID, EmailAddress, "
                                       "Created) VALUES (?, ?, ?, ?)");
    insert.Bind(1, messageId).Bind(2, accountID).Bind(3, recipient).Bind(4, now);
    insert.Execute();
}

void ForgetRequestMessage(TServiceDatabase& database, const std::string& messageId) {
    TServiceStatement remove(database, "DELETE FROM RequestMessages WHERE MessageId=?");
    remove.Bind(1, messageId);
    remove.Execute();
}

bool IsNeverChallenged(TServiceDatabase& database, int64_t accountID, std::string_view address) {
    if (IsRobotMailbox(address))
        return true;
    const size_t at = address.find('@');
    return at != std::string_view::npos && DomainStatus(database, accountID, address.substr(at + 1)) == "Approved";
}

TRequestMessage TServiceStore::FindRequestMessage(std::string_view messageId, int64_t now) {
    std::lock_guard lock(m_Lock);
    TRequestMessage found;
    TServiceStatement select(*m_Database, "SELECT r.AccountID, a.EmailAddress, r.EmailAddress, r.Created FROM "
                                          "RequestMessages r JOIN Accounts a ON a.ID=r.AccountID WHERE r.MessageId=?");
    select.Bind(1, messageId);
    if (!select.Step() || now - select.Integer(3) >= RequestMessageLifetimeSeconds)
        return found;
    found.Genuine = true;
    found.AccountID = select.Integer(0);
    found.Sender = select.Text(1);
    found.Recipient = select.Text(2);
    return found;
}
