#include "core/USQLiteTransaction.h"

#include "base/UDebug.h"
#include "core/USQLite.h"

TSQLiteTransaction::TSQLiteTransaction(TSQLite& database) : m_Database(database) {
    m_Database.Lock();
    try {
        m_Database.Execute("BEGIN TRANSACTION");
    } catch (...) {
        m_Database.Unlock();
        throw;
    }
    m_Open = true;
}

TSQLiteTransaction::~TSQLiteTransaction() {
    Rollback();
    m_Database.Unlock();
}

void TSQLiteTransaction::Commit() {
    m_Database.Execute("COMMIT TRANSACTION");
    m_Open = false;
}

void TSQLiteTransaction::Rollback() noexcept {
    if (!m_Open)
        return;
    m_Open = false;
    try {
        m_Database.Execute("ROLLBACK TRANSACTION");
    } catch (const std::exception& error) {
        DebugException("TSQLiteTransaction", error);
    } catch (...) {
    }
}
