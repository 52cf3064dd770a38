#pragma once
// The web service's own SQLite 3 database, reached through the library's C interface with bound
// parameters only: no value sent by a client is ever part of a statement's text.
// Thread contract: a database and its statements are used by one thread at a time; the store
// (UServiceStore.h) serialises every use under its lock.

#include <cstdint>
#include <string>
#include <string_view>

#include "base/UException.h"

TESSIVAR_EXCEPTION(ServiceDatabaseException, Exception);

struct sqlite3;
struct sqlite3_stmt;

class TServiceDatabase;

// One prepared statement; finalised by the destructor.
class TServiceStatement {
public:
    TServiceStatement(TServiceDatabase& database, std::string_view sql);
    ~TServiceStatement();
    TServiceStatement(const TServiceStatement&) = delete;
    TServiceStatement& operator=(const TServiceStatement&) = delete;

    // Parameters are numbered from 1, in the order of the "?" in the statement.
    TServiceStatement& Bind(int index, std::string_view text);
    TServiceStatement& Bind(int index, int64_t value);
    // True while a row is available; false once the statement is done.
    bool Step();
    // Runs a statement that returns no rows.
    void Execute();

    std::string Text(int column) const;
    int64_t Integer(int column) const;

private:
    TServiceDatabase& m_Database;
    sqlite3_stmt* m_Statement = nullptr;
};

class TServiceDatabase {
public:
    // Opens or creates the file (owner-only) and lays out the schema when it is missing.
    explicit TServiceDatabase(const std::string& fileName);
    ~TServiceDatabase();
    TServiceDatabase(const TServiceDatabase&) = delete;
    TServiceDatabase& operator=(const TServiceDatabase&) = delete;

    sqlite3* Handle() const { return m_Handle; }
    // Statements without parameters (schema, transactions).
    void Exec(const char* sql);
    int64_t LastInsertRowID() const;
    bool HasColumn(const char* table, const char* column);
    // Rows changed by the last INSERT, UPDATE or DELETE.
    int Changes() const;
    // The engine's message for the last failure, with the context in front.
    [[noreturn]] void Fail(std::string_view context) const;

private:
    sqlite3* m_Handle = nullptr;
};

// BEGIN IMMEDIATE on construction; ROLLBACK in the destructor unless Commit was called.
class TServiceTransaction {
public:
    explicit TServiceTransaction(TServiceDatabase& database);
    ~TServiceTransaction();
    TServiceTransaction(const TServiceTransaction&) = delete;
    TServiceTransaction& operator=(const TServiceTransaction&) = delete;
    void Commit();

private:
    TServiceDatabase& m_Database;
    bool m_Done = false;
};
