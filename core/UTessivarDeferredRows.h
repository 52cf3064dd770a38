#pragma once
// The rows of domain names and senders written once for a burst of changes. While a batch is open
// on the model, creating a record and saving one only mark its row as waiting; Write stores each
// waiting row once, with the record's values at that moment: a new record's row is inserted with
// the ID it was given when it was created (the one the engine would have chosen), every other row
// updated. A synchronisation answer creates each record, gives it the server's values and then
// acknowledges it, which would otherwise write the row three times.
// Thread contract: the model's thread only. Open it inside the transaction that is to hold the rows
// and Write before the commit; rows still waiting when it closes are dropped, for the transaction
// is then rolled back.

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

class TTessivarApprovalRecord;
class TTessivarBusinessLogic;

class TTessivarDeferredRows {
public:
    // Opens the batch on the model; one at a time.
    explicit TTessivarDeferredRows(TTessivarBusinessLogic& model);
    ~TTessivarDeferredRows();
    TTessivarDeferredRows(const TTessivarDeferredRows&) = delete;
    TTessivarDeferredRows& operator=(const TTessivarDeferredRows&) = delete;

    // Stores every waiting row, in the order the records began to wait. A failure passes on; the
    // rows not yet stored keep waiting until the batch closes.
    void Write();

    // For the model and its records. A new record gets the next free ID of its table here; its row
    // is inserted by Write.
    void AddNew(TTessivarApprovalRecord& record);
    // A saved record: its row is written by Write (once, however often it is saved).
    void Add(TTessivarApprovalRecord& record);
    // The record leaves the model before the batch is written (after a failure): its row is not
    // stored.
    void Forget(const TTessivarApprovalRecord& record) noexcept;

private:
    TTessivarBusinessLogic& m_Model;
    std::vector<TTessivarApprovalRecord*> m_Waiting;
    // The next ID of each table that a new record took one of.
    std::unordered_map<std::string, int64_t> m_NextIDs;
};
