#include "core/UTessivarApprovalRecord.h"

#include "base/UDebug.h"
#include "core/UTessivarBusinessLogic.h"

void TTessivarApprovalRecord::SetApprovalStatus(TApprovalStatus value) {
    Change(m_ApprovalStatus, value);
}

void TTessivarApprovalRecord::SetDeleted(bool value) {
    if (m_Deleted == value)
        return;
    TUpdateScope<TTessivarRecord> scope(*this);
    m_Deleted = value;
    if (value)
        SetApprovalStatus(TApprovalStatus::Undefined);
}

void TTessivarApprovalRecord::SetNotes(const std::string& value) {
    Change(m_Notes, value);
}

void TTessivarApprovalRecord::Approve() {
    TUpdateScope<TTessivarRecord> scope(*this);
    SetApprovalStatus(TApprovalStatus::Approved);
    SetDeleted(false);
}

void TTessivarApprovalRecord::Block() {
    TUpdateScope<TTessivarRecord> scope(*this);
    SetApprovalStatus(TApprovalStatus::Blocked);
    SetDeleted(false);
}

void TTessivarApprovalRecord::Delete() {
    SetDeleted(true);
}

void TTessivarApprovalRecord::Save() {
    Debug(SaveMessage());
    m_Modified = true;
    m_PendingSyncID = -1;
    WriteRow();
    Owner().SetSynchronizationRequired(true);
}
