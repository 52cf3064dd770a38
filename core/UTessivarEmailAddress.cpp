#include "core/UTessivarEmailAddress.h"

#include "core/USQLite.h"
#include "core/UTessivarBusinessLogic.h"
#include "core/UTessivarDomainName.h"

// The .invalid top-level domain is reserved and never resolves.
const char* const PlaceholderDomainName = "unknown.invalid";

TTessivarEmailAddress::TTessivarEmailAddress(TTessivarBusinessLogic& owner)
    : TTessivarApprovalRecord(owner, "TTessivarEmailAddress") {}

std::string TTessivarEmailAddress::EmailAddress() const {
    return m_Username + "@" + (m_DomainName ? m_DomainName->DomainName() : std::string(PlaceholderDomainName));
}

void TTessivarEmailAddress::SetDisplayName(const std::string& value) {
    Change(m_DisplayName, value);
}

void TTessivarEmailAddress::SetAuthenticationStatus(TAuthenticationStatus value) {
    Change(m_AuthenticationStatus, value);
}

void TTessivarEmailAddress::WriteRow() {
    Owner().Database().Update("EmailAddresses",
                              {"DisplayName", "Notes", "ApprovalStatus", "AuthenticationStatus", "Deleted", "Modified"},
                              "ID=" + std::to_string(ID()),
                              {DisplayName(), Notes(), ApprovalStatusCode(ApprovalStatus()),
                               AuthenticationStatusCode(AuthenticationStatus()), Deleted(), Modified()});
}

void TTessivarEmailAddress::InsertRow() {
    TStringArray fields = {"DomainNameID",         "Username", "DisplayName", "Notes", "ApprovalStatus",
                           "AuthenticationStatus", "Deleted",  "Modified"};
    std::vector<TSQLValue> values = {m_DomainName ? m_DomainName->ID() : -1,
                                     m_Username,
                                     m_DisplayName,
                                     Notes(),
                                     ApprovalStatusCode(ApprovalStatus()),
                                     AuthenticationStatusCode(m_AuthenticationStatus),
                                     Deleted(),
                                     Modified()};
    InsertColumns(std::move(fields), std::move(values));
}
