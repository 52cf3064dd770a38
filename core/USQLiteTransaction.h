#pragma once
// One database transaction for a scope: the statements run between construction and Commit become
// durable together, or not at all. Thread contract: the thread that creates it uses and destroys
// it; it holds the database's lock for its whole life, so no other thread's statement can slip
// into the transaction.

class TSQLite;

class TSQLiteTransaction {
public:
    // Takes the database's lock and begins the transaction; a failure passes on with the lock freed.
    explicit TSQLiteTransaction(TSQLite& database);
    // Rolls back unless committed; never raises.
    ~TSQLiteTransaction();
    TSQLiteTransaction(const TSQLiteTransaction&) = delete;
    TSQLiteTransaction& operator=(const TSQLiteTransaction&) = delete;

    // Commits; when it returns, every statement of the transaction is on disk. A failure passes on
    // and leaves the transaction to be rolled back.
    void Commit();
    // Rolls back what is still open; a failure to do so is traced only (the engine may already have
    // rolled back by itself after a failed statement or commit).
    void Rollback() noexcept;

private:
    TSQLite& m_Database;
    bool m_Open = false;
};
