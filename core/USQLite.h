#pragma once
// Access to the database engine through its version 2 programming interface, loaded at run time.
// Thread contract: every operation takes the object's re-entrant lock for its whole duration, so
// any thread may call; in this program all database work runs on the model's thread.

#include "base/LDates.h"
#include "base/UException.h"

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

TESSIVAR_EXCEPTION(SQLiteException, Exception);
TESSIVAR_EXCEPTION(SQLiteSingletonException, SQLiteException);

using TStringArray = std::vector<std::string>;

// A tagged value for Insert and Update. Text kinds are always written quoted.
class TSQLValue {
public:
    enum class TKind { Empty, Integer, Number, DateTime, Boolean, Text, Object };

    TSQLValue() = default;
    TSQLValue(const char* text) : m_Kind(TKind::Text), m_Text(text ? text : "") {}
    TSQLValue(std::string text) : m_Kind(TKind::Text), m_Text(std::move(text)) {}
    TSQLValue(int32_t value) : m_Kind(TKind::Integer), m_Integer(value) {}
    TSQLValue(int64_t value) : m_Kind(TKind::Integer), m_Integer(value) {}
    TSQLValue(bool value) : m_Kind(TKind::Boolean), m_Integer(value ? 1 : 0) {}
    static TSQLValue Number(double value);
    static TSQLValue DateTime(TDateTime value);
    // A value of a kind that has no SQL text (an object reference); converting it fails.
    static TSQLValue Object();

    TKind Kind() const { return m_Kind; }
    // The value's SQL text as written into a statement.
    std::string SQLText() const;

private:
    TKind m_Kind = TKind::Empty;
    std::string m_Text;
    int64_t m_Integer = 0;
    double m_Number = 0;
};

// Quotes a text for a statement: 'text' with inner quotes doubled.
std::string QuotedSQL(const std::string& text);

class TSQLiteResultSet {
public:
    bool Eof() const { return m_Cursor == static_cast<unsigned>(m_RowCount); }
    int MoveBy(int n);
    void Next() { MoveBy(1); }
    int FieldIndex(const std::string& name, bool mustExist = false) const;
    const std::string& Value(unsigned row, unsigned column) const;
    std::string AsString(const std::string& name) const;
    int32_t AsInteger(const std::string& name) const;
    int32_t AsInteger(unsigned column) const;
    bool AsBoolean(const std::string& name) const;
    bool AsBoolean(unsigned column) const;
    TDateTime AsDateTime(const std::string& name) const;
    TDateTime AsDateTime(unsigned column) const;

    unsigned FieldCount() const { return m_FieldCount; }
    int RowCount() const { return m_RowCount; }
    unsigned Cursor() const { return m_Cursor; }
    const TStringArray& FieldNames() const { return m_FieldNames; }

    // Copies an engine table: the first columns cells are the names, then rows x columns values.
    void Fill(int rows, int columns, char** table);

private:
    TStringArray m_FieldNames;
    std::vector<TStringArray> m_Rows;
    unsigned m_Cursor = 0;
    unsigned m_FieldCount = 0;
    int m_RowCount = 0;
};

// One row of a streamed query (TSQLite::QueryRows): the engine's cell texts, valid only while the
// row handler runs. Typed reads follow TSQLiteResultSet's rules; a null cell reads as empty text.
class TSQLiteRow {
public:
    TSQLiteRow(unsigned fieldCount, char** values, char** names)
        : m_FieldCount(fieldCount), m_Values(values), m_Names(names) {}

    unsigned FieldCount() const { return m_FieldCount; }
    // As TSQLiteResultSet::FieldIndex: letter case ignored, -1 or a failure when absent.
    int FieldIndex(const std::string& name, bool mustExist = false) const;
    std::string_view Text(unsigned column) const;
    int32_t AsInteger(unsigned column) const;
    bool AsBoolean(unsigned column) const { return AsInteger(column) == 1; }

private:
    unsigned m_FieldCount;
    char** m_Values;
    char** m_Names;
};

class TSQLite {
public:
    using TCreateHandler = std::function<void(TSQLite&)>;
    using TRowHandler = std::function<void(const TSQLiteRow&)>;

    explicit TSQLite(std::string fileName = {});
    ~TSQLite();
    TSQLite(const TSQLite&) = delete;
    TSQLite& operator=(const TSQLite&) = delete;

    // Opens FileName (replaced by a non-empty argument). A missing file is created only with
    // CreateIfMissing and OnCreate set: owner-only (0600) whatever the umask, since it holds
    // passwords, and removed again when opening it or OnCreate fails. OnCreate runs in one
    // transaction, and with both set it runs also for an existing database that holds no table (one
    // whose creation was killed). An open handle is closed first.
    void Open(const std::string& fileName = {});
    // The handle is gone afterwards even if closing failed.
    void Close();
    bool IsOpen();
    void CheckOpen();
    // Both return what the engine reports (rows changed / rows found). A statement holding a NUL
    // character is refused: the engine would silently run only the part before it.
    int Execute(const std::string& sql);
    int Query(const std::string& sql, TSQLiteResultSet* result = nullptr);
    // Hands every result row to the handler as the engine produces it, without copying the whole
    // result first (for reading large tables); returns the number of rows. The database stays locked
    // while the handler runs, which must not change the database. A failure of the handler stops the
    // statement and passes on unchanged.
    int QueryRows(const std::string& sql, const TRowHandler& handler);
    int Insert(const std::string& table, const TStringArray& fields, const std::vector<TSQLValue>& values);
    int Update(const std::string& table, const TStringArray& fields, const std::string& condition,
               const std::vector<TSQLValue>& values);
    int Delete(const std::string& table, const std::string& condition);
    int64_t LastInsertRowID();
    int32_t SingletonQuery(const std::string& sql);
    void Lock() { m_Lock.lock(); }
    void Unlock() { m_Lock.unlock(); }

    std::string FileName;
    bool AutoOpen = false;
    bool CreateIfMissing = false;
    TCreateHandler OnCreate;

private:
    bool HasTables();
    // Execute, tracing `traced` in place of the statement (which may hold a secret); an empty
    // `traced` (tracing was off when the statement was built) is not traced.
    int ExecuteTraced(const std::string& sql, const std::string& traced);
    // Runs OnCreate in a transaction of its own.
    void Create();

    std::recursive_mutex m_Lock;
    void* m_Handle = nullptr; // engine handle; guarded by m_Lock
};

// Holds the database lock for a scope.
class TSQLiteLock {
public:
    explicit TSQLiteLock(TSQLite& db) : m_Db(db) { m_Db.Lock(); }
    ~TSQLiteLock() { m_Db.Unlock(); }
    TSQLiteLock(const TSQLiteLock&) = delete;
    TSQLiteLock& operator=(const TSQLiteLock&) = delete;

private:
    TSQLite& m_Db;
};

// The engine library: its file name (overridable before the first Open, for tests) and whether it
// is mapped. Loaded once per process at the first Open, never unloaded; a load that failed is tried
// again at the next Open. The default name is "libtessivar_sqlite2.so", found beside the executable.
// SetSQLiteLibraryName has no effect once the library is mapped; call it before other threads open
// databases.
void SetSQLiteLibraryName(const std::string& name);
const std::string& SQLiteLibraryName();
bool SQLiteLibraryMapped();
