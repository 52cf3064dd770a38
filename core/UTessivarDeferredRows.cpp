#include "core/UTessivarDeferredRows.h"

#include "core/USQLite.h"
#include "core/UTessivarApprovalRecord.h"
#include "core/UTessivarBusinessLogic.h"

#include <algorithm>

TTessivarDeferredRows::TTessivarDeferredRows(TTessivarBusinessLogic& model) : m_Model(model) {
    m_Model.CheckThread();
    if (m_Model.m_DeferredRows)
        throw TTessivarBusinessLogicException("A batch of rows is already open.");
    m_Model.m_DeferredRows = this;
}

TTessivarDeferredRows::~TTessivarDeferredRows() {
    for (TTessivarApprovalRecord* record : m_Waiting)
        record->m_RowWaiting = record->m_RowMissing = false;
    m_Model.m_DeferredRows = nullptr;
}

void TTessivarDeferredRows::Write() {
    m_Model.CheckThread();
    size_t written = 0;
    try {
        for (TTessivarApprovalRecord* record : m_Waiting) {
            if (record->m_RowMissing)
                record->InsertRow();
            else
                record->WriteRow();
            record->m_RowWaiting = record->m_RowMissing = false;
            ++written;
        }
    } catch (...) {
        m_Waiting.erase(m_Waiting.begin(), m_Waiting.begin() + static_cast<std::ptrdiff_t>(written));
        throw;
    }
    m_Waiting.clear();
}

// The engine gives a new row the ID after the highest one in the table (1 in an empty one); inside
// the batch's transaction only the batch adds rows to the table, so counting on from there gives
// each new record the ID it would have got.
void TTessivarDeferredRows::AddNew(TTessivarApprovalRecord& record) {
    const std::string table = record.TableName();
    auto next = m_NextIDs.find(table);
    if (next == m_NextIDs.end())
        next = m_NextIDs.emplace(table, m_Model.Database().SingletonQuery("SELECT MAX(ID) FROM " + table) + 1).first;
    record.m_ID = static_cast<int32_t>(next->second++);
    record.m_RowMissing = true;
    Add(record);
}

void TTessivarDeferredRows::Add(TTessivarApprovalRecord& record) {
    if (record.m_RowWaiting)
        return;
    m_Waiting.push_back(&record);
    record.m_RowWaiting = true;
}

void TTessivarDeferredRows::Forget(const TTessivarApprovalRecord& record) noexcept {
    const auto found = std::find(m_Waiting.rbegin(), m_Waiting.rend(), &record);
    if (found != m_Waiting.rend())
        m_Waiting.erase(std::next(found).base());
}
