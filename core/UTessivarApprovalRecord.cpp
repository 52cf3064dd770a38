#include "core/UTessivarApprovalRecord.h"

#include "base/UDebug.h"
#include "core/USQLite.h"
#include "core/UTessivarBusinessLogic.h"
#include "core/UTessivarDeferredRows.h"

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
    StoreRow();
    Owner().SetSynchronizationRequired(true);
}

void TTessivarApprovalRecord::InsertColumns(std::vector<std::string> fields, std::vector<TSQLValue> values) {
    TSQLite& database = Owner().Database();
    if (m_ID > 0) {
        fields.insert(fields.begin(), "ID");
        values.insert(values.begin(), TSQLValue(m_ID));
        database.Insert(TableName(), fields, values);
    } else {
        database.Insert(TableName(), fields, values);
        m_ID = static_cast<int32_t>(database.LastInsertRowID());
    }
}

void TTessivarApprovalRecord::StoreRow() {
    if (TTessivarDeferredRows* batch = Owner().DeferredRows())
        batch->Add(*this);
    else
        WriteRow();
}
