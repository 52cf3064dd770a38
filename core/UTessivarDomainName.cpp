#include "core/UTessivarDomainName.h"

#include "core/USQLite.h"
#include "core/UTessivarBusinessLogic.h"

TTessivarDomainName::TTessivarDomainName(TTessivarBusinessLogic& owner)
    : TTessivarApprovalRecord(owner, "TTessivarDomainName") {}

void TTessivarDomainName::WriteRow() {
    Owner().Database().Update("DomainNames", {"ApprovalStatus", "Deleted", "Modified", "Notes"},
                              "ID=" + std::to_string(ID()),
                              {ApprovalStatusCode(ApprovalStatus()), Deleted(), Modified(), Notes()});
}

void TTessivarDomainName::InsertRow() {
    TStringArray fields = {"DomainName", "ApprovalStatus", "Notes", "Deleted", "Modified"};
    std::vector<TSQLValue> values = {m_DomainName, ApprovalStatusCode(ApprovalStatus()), Notes(), Deleted(),
                                     Modified()};
    InsertColumns(std::move(fields), std::move(values));
}
