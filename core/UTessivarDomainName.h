#pragma once
// A domain name record: the approval of every sender in the domain. Thread contract: the model's
// thread only (see UTessivarRecord.h).

#include "core/UTessivarApprovalRecord.h"

class TTessivarDomainName : public TTessivarApprovalRecord {
public:
    explicit TTessivarDomainName(TTessivarBusinessLogic& owner);

    // As first seen: letter case kept, compared without regard to case.
    const std::string& DomainName() const { return m_DomainName; }

protected:
    void WriteRow() override;
    void InsertRow() override;
    const char* TableName() const override { return "DomainNames"; }
    const char* SaveMessage() const override { return "Updating domain name."; }

private:
    friend class TTessivarBusinessLogic;

    std::string m_DomainName;
};
