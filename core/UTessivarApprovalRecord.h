#pragma once
// Common part of domain names and senders: approval, deletion mark, notes and the marks of
// synchronisation. Thread contract: the model's thread only (see UTessivarRecord.h).

#include "core/UTessivarRecord.h"
#include "core/UTessivarTypes.h"

#include <cstdint>
#include <string>
#include <vector>

class TSQLValue;

class TTessivarApprovalRecord : public TTessivarRecord {
public:
    int32_t ID() const { return m_ID; }
    TApprovalStatus ApprovalStatus() const { return m_ApprovalStatus; }
    bool Deleted() const { return m_Deleted; }
    const std::string& Notes() const { return m_Notes; }
    // Changed locally since the server last acknowledged the record.
    bool Modified() const { return m_Modified; }
    // 0: nothing pending; -1: changed since last sent; else the request that carries the record.
    int32_t PendingSyncID() const { return m_PendingSyncID; }

    bool IsApproved() const { return m_ApprovalStatus == TApprovalStatus::Approved; }
    bool IsBlocked() const { return m_ApprovalStatus == TApprovalStatus::Blocked; }

    void SetApprovalStatus(TApprovalStatus value);
    // Deleting also sets the approval to Undefined; the row stays until the next cleanup.
    void SetDeleted(bool value);
    void SetNotes(const std::string& value);
    void Approve();
    void Block();
    void Delete();

protected:
    TTessivarApprovalRecord(TTessivarBusinessLogic& owner, const char* name) : TTessivarRecord(owner, name) {}

    // Marks the record changed, stores its row, and asks the owner for a synchronisation.
    void Save() final;
    // Writes the row now, or, while the owner has a batch of rows open, when the batch is written.
    void StoreRow();
    // Updates the record's row with the values that change.
    virtual void WriteRow() = 0;
    // Inserts the record's row with every stored value: with the record's ID when it has one, else
    // the ID the engine chose becomes the record's.
    virtual void InsertRow() = 0;
    virtual const char* TableName() const = 0;
    virtual const char* SaveMessage() const = 0;
    // InsertRow's statement: the columns, preceded by ID when the record has one.
    void InsertColumns(std::vector<std::string> fields, std::vector<TSQLValue> values);

private:
    // The model fills new and loaded records and keeps the synchronisation marks.
    friend class TTessivarBusinessLogic;
    friend class TTessivarDeferredRows;

    TApprovalStatus m_ApprovalStatus = TApprovalStatus::Undefined;
    bool m_Deleted = true;
    int32_t m_ID = -1;
    std::string m_Notes;
    bool m_Modified = false;
    int32_t m_PendingSyncID = 0;
    // In the owner's batch of rows; with no row yet.
    bool m_RowWaiting = false;
    bool m_RowMissing = false;
};
