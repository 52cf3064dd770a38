#include "core/USQLite.h"

#include "base/LStrings.h"
#include "base/UDebug.h"
#include "base/UTraceMask.h"
#include "base/UWindows.h"
#include "core/sqlite2/sqlite2.h"

#include <atomic>
#include <charconv>
#include <chrono>
#include <cmath>
#include <dlfcn.h>
#include <exception>
#include <fcntl.h>
#include <sys/stat.h>
#include <type_traits>
#include <unistd.h>

namespace {

// ---- The engine library: process-wide, loaded once, never unloaded ----

struct TEngine {
    std::mutex Lock; // guards loading and the library name
    std::string LibraryName = "libtessivar_sqlite2.so";
    std::atomic<bool> Mapped{false};
    // Set once before Mapped becomes true; read-only afterwards.
    decltype(&sqlite_open) Open = nullptr;
    decltype(&sqlite_close) Close = nullptr;
    decltype(&sqlite_exec) Exec = nullptr;
    decltype(&sqlite_last_insert_rowid) LastInsertRowID = nullptr;
    decltype(&sqlite_changes) Changes = nullptr;
    decltype(&sqlite_get_table) GetTable = nullptr;
    decltype(&sqlite_free_table) FreeTable = nullptr;
    decltype(&sqlite_interrupt) Interrupt = nullptr;
    decltype(&sqlite_complete) Complete = nullptr;
    decltype(&sqlite_busy_handler) BusyHandler = nullptr;
    decltype(&sqlite_busy_timeout) BusyTimeout = nullptr;
    decltype(&sqlite_libversion) LibVersion = nullptr;
    decltype(&sqlite_libencoding) LibEncoding = nullptr;
    decltype(&sqlite_freemem) FreeMem = nullptr;
    decltype(&sqlite_error_string) ErrorString = nullptr;
};

TEngine& Engine() {
    static TEngine engine;
    return engine;
}

// Resolves every entry point, in this order, and fails at the first one that is missing.
void BindEntryPoints(TEngine& engine, void* library) {
    auto bind = [&](const char* name, auto& slot) {
        void* address = dlsym(library, name);
        if (!address) {
            throw SQLiteException("Could not find entry point for \"" + std::string(name) + "\" in \"" +
                                  engine.LibraryName + "\".");
        }
        slot = reinterpret_cast<std::remove_reference_t<decltype(slot)>>(address);
    };
    bind("sqlite_open", engine.Open);
    bind("sqlite_close", engine.Close);
    bind("sqlite_exec", engine.Exec);
    bind("sqlite_last_insert_rowid", engine.LastInsertRowID);
    bind("sqlite_changes", engine.Changes);
    bind("sqlite_get_table", engine.GetTable);
    bind("sqlite_free_table", engine.FreeTable);
    bind("sqlite_interrupt", engine.Interrupt);
    bind("sqlite_complete", engine.Complete);
    bind("sqlite_busy_handler", engine.BusyHandler);
    bind("sqlite_busy_timeout", engine.BusyTimeout);
    bind("sqlite_libversion", engine.LibVersion);
    bind("sqlite_libencoding", engine.LibEncoding);
    bind("sqlite_freemem", engine.FreeMem);
    bind("sqlite_error_string", engine.ErrorString);
}

// The directory of the running executable, with a trailing "/"; empty when it cannot be read.
std::string ExecutableDirectory() {
    char path[4096];
    ssize_t length = ::readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0) {
        return {};
    }
    std::string text(path, static_cast<size_t>(length));
    return text.substr(0, text.rfind('/') + 1);
}

// A bare library name is looked for beside the executable first, then on the normal search path.
// (dlopen's own use of the executable's run path is lost when a sanitizer intercepts dlopen.)
void* LoadLibrary(const std::string& name) {
    if (name.find('/') == std::string::npos) {
        std::string directory = ExecutableDirectory();
        if (!directory.empty() && ::access((directory + name).c_str(), F_OK) == 0) {
            return dlopen((directory + name).c_str(), RTLD_NOW | RTLD_LOCAL);
        }
    }
    return dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
}

void MapEngine() {
    TEngine& engine = Engine();
    std::lock_guard lock(engine.Lock);
    if (engine.Mapped) {
        return;
    }
    Debug("Mapping SQLite DLL...");
    void* library = LoadLibrary(engine.LibraryName);
    if (!library) {
        const char* reason = dlerror();
        Debug(reason ? reason : "");
        throw SQLiteException("Could not load library \"" + engine.LibraryName + "\".");
    }
    try {
        BindEntryPoints(engine, library);
    } catch (...) {
        dlclose(library);
        throw;
    }
    engine.Mapped = true;
    Debug("Mapping successful.");
}

// An engine text, released with sqlite_freemem on every path (also when it is null).
class TEngineText {
public:
    explicit TEngineText(char* text) : m_Text(text) {}
    ~TEngineText() { Engine().FreeMem(m_Text); }
    TEngineText(const TEngineText&) = delete;
    TEngineText& operator=(const TEngineText&) = delete;
    std::string Text() const { return m_Text ? m_Text : ""; }
    bool Empty() const { return !m_Text || !*m_Text; }

private:
    char* m_Text;
};

// An engine result table, released with sqlite_free_table on every path.
class TEngineTable {
public:
    explicit TEngineTable(char** table) : m_Table(table) {}
    ~TEngineTable() {
        if (m_Table) {
            Engine().FreeTable(m_Table);
        }
    }
    TEngineTable(const TEngineTable&) = delete;
    TEngineTable& operator=(const TEngineTable&) = delete;

private:
    char** m_Table;
};

sqlite* Handle(void* handle) {
    return static_cast<sqlite*>(handle);
}

[[noreturn]] void RaiseEngineFailure(int code, const TEngineText& error) {
    throw SQLiteException(std::string(Engine().ErrorString(code)) + ": " + error.Text());
}

// The engine reads statements up to the first NUL; anything after it would be silently dropped.
void CheckStatement(const std::string& sql) {
    if (sql.empty()) {
        throw SQLiteException("Nothing to do.");
    }
    if (sql.find('\0') != std::string::npos) {
        throw SQLiteException("The statement contains a NUL character.");
    }
}

std::string FormatFixed(double value, int decimals) {
    char buffer[400];
    auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, decimals);
    return error == std::errc() ? std::string(buffer, end) : std::string();
}

// "#0.0##############": at least one and at most fifteen decimals, "." whatever the locale.
std::string FormatNumber(double value) {
    if (!std::isfinite(value)) {
        throw SQLiteException("Unable to write a number that is not finite.");
    }
    std::string text = FormatFixed(value, 15);
    size_t end = text.size();
    size_t minimum = text.find('.') + 2;
    while (end > minimum && text[end - 1] == '0') {
        --end;
    }
    text.resize(end);
    return text == "-0.0" ? "0.0" : text;
}

bool FileExists(const std::string& path) {
    struct stat info;
    return ::lstat(path.c_str(), &info) == 0;
}

// Creates the empty database file readable and writable by its owner only, whatever the umask;
// the engine's journal and log files take the mode of the database file.
void CreateOwnerOnlyFile(const std::string& path) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        throw SQLiteException("The file \"" + path + "\" could not be created: " + LastErrorMessage());
    }
    int result = ::fchmod(fd, 0600);
    std::string failure = result != 0 ? LastErrorMessage() : std::string();
    ::close(fd);
    if (result != 0) {
        ::unlink(path.c_str());
        throw SQLiteException("The file \"" + path + "\" could not be created: " + failure);
    }
}

// A database whose creation failed is removed, so that the next Open creates it afresh.
void RemoveCreatedFile(const std::string& path) {
    ::unlink(path.c_str());
    for (const char* suffix : {"-journal", "-wal", "-shm"})
        ::unlink((path + suffix).c_str());
}

// The first of `count` field names equal to `name` without regard to letter case.
template <class TNameAt> int FindField(const std::string& name, size_t count, TNameAt nameAt, bool mustExist) {
    const std::string wanted = LowerCase(name);
    for (size_t i = 0; i < count; ++i) {
        if (LowerCase(nameAt(i)) == wanted) {
            return static_cast<int>(i);
        }
    }
    if (mustExist) {
        throw SQLiteException("This result set does not contain a field named \"" + name + "\".");
    }
    return -1;
}

// What QueryRows hands the engine's row callback: the handler, the rows seen, and a failure of the
// handler, which must not unwind through the engine's C frames.
struct TRowStream {
    const TSQLite::TRowHandler& Handler;
    int Rows = 0;
    std::exception_ptr Failure;
};

int StreamRow(void* argument, int columns, char** values, char** names) {
    auto& stream = *static_cast<TRowStream*>(argument);
    try {
        stream.Handler(TSQLiteRow(static_cast<unsigned>(columns > 0 ? columns : 0), values, names));
        ++stream.Rows;
        return 0;
    } catch (...) {
        stream.Failure = std::current_exception();
        return 1; // stops the statement
    }
}

// A value as the trace shows it: the values of password columns are masked.
std::string TracedValue(const std::string& field, const TSQLValue& value) {
    return IsSecretName(field) ? std::string("'") + MaskedSecret + "'" : value.SQLText();
}

} // namespace

// ---- Values ----

TSQLValue TSQLValue::Number(double value) {
    TSQLValue result;
    result.m_Kind = TKind::Number;
    result.m_Number = value;
    return result;
}

TSQLValue TSQLValue::DateTime(TDateTime value) {
    TSQLValue result;
    result.m_Kind = TKind::DateTime;
    result.m_Number = value;
    return result;
}

TSQLValue TSQLValue::Object() {
    TSQLValue result;
    result.m_Kind = TKind::Object;
    return result;
}

std::string TSQLValue::SQLText() const {
    switch (m_Kind) {
    case TKind::Empty:
        return "''";
    case TKind::Integer:
    case TKind::Boolean:
        return std::to_string(m_Integer);
    case TKind::Number:
        return FormatNumber(m_Number);
    case TKind::DateTime:
        return QuotedSQL(DateTimeToText(ZonedLocal(m_Number)));
    case TKind::Object:
        throw SQLiteException("Unable to convert COM automation values.");
    case TKind::Text:
        break;
    }
    // Text is always quoted: unquoted digits would be stored as numbers ("007" as 7).
    return QuotedSQL(m_Text);
}

std::string QuotedSQL(const std::string& text) {
    std::string result;
    result.reserve(text.size() + 2);
    result += '\'';
    for (char c : text) {
        if (c == '\'') {
            result += '\'';
        }
        result += c;
    }
    result += '\'';
    return result;
}

// ---- Result sets ----

int TSQLiteResultSet::MoveBy(int n) {
    int64_t target = static_cast<int64_t>(m_Cursor) + n;
    if (target < 0) {
        target = 0;
    }
    if (target > m_RowCount) {
        target = m_RowCount;
    }
    int moved = static_cast<int>(target - static_cast<int64_t>(m_Cursor));
    m_Cursor = static_cast<unsigned>(target);
    return moved;
}

int TSQLiteResultSet::FieldIndex(const std::string& name, bool mustExist) const {
    return FindField(
        name, m_FieldNames.size(), [this](size_t i) { return std::string_view(m_FieldNames[i]); }, mustExist);
}

const std::string& TSQLiteResultSet::Value(unsigned row, unsigned column) const {
    if (row >= static_cast<unsigned>(m_RowCount)) {
        throw SQLiteException("Attempted to access a row past EOF.");
    }
    if (column >= m_FieldCount) {
        throw SQLiteException("Attempted to access a column indexed greater than the field count.");
    }
    return m_Rows[row][column];
}

std::string TSQLiteResultSet::AsString(const std::string& name) const {
    return Value(m_Cursor, static_cast<unsigned>(FieldIndex(name, true)));
}

int32_t TSQLiteResultSet::AsInteger(const std::string& name) const {
    return AsInteger(static_cast<unsigned>(FieldIndex(name, true)));
}

int32_t TSQLiteResultSet::AsInteger(unsigned column) const {
    return StrToIntDef(Value(m_Cursor, column), 0);
}

bool TSQLiteResultSet::AsBoolean(const std::string& name) const {
    return AsInteger(name) == 1;
}

bool TSQLiteResultSet::AsBoolean(unsigned column) const {
    return AsInteger(column) == 1;
}

TDateTime TSQLiteResultSet::AsDateTime(const std::string& name) const {
    return AsDateTime(static_cast<unsigned>(FieldIndex(name, true)));
}

TDateTime TSQLiteResultSet::AsDateTime(unsigned column) const {
    const std::string& text = Value(m_Cursor, column);
    return text.empty() ? 0 : LocalDateTime(TextToDateTime(text));
}

void TSQLiteResultSet::Fill(int rows, int columns, char** table) {
    Debug("Filling record set...");
    rows = rows > 0 ? rows : 0;
    columns = columns > 0 ? columns : 0;
    m_Cursor = 0;
    m_RowCount = rows;
    m_FieldCount = static_cast<unsigned>(columns);
    m_FieldNames.assign(static_cast<size_t>(columns), std::string());
    m_Rows.assign(static_cast<size_t>(rows), TStringArray(static_cast<size_t>(columns)));
    if (rows > 0 && columns > 0 && table) {
        auto cell = [](const char* text) { return text ? std::string(text) : std::string(); };
        for (int c = 0; c < columns; ++c) {
            m_FieldNames[c] = cell(table[c]);
        }
        for (int r = 0; r < rows; ++r) {
            for (int c = 0; c < columns; ++c) {
                m_Rows[r][c] = cell(table[static_cast<size_t>(r + 1) * columns + c]);
            }
        }
    }
    Debug("Recordset filled.");
}

// ---- Streamed rows ----

int TSQLiteRow::FieldIndex(const std::string& name, bool mustExist) const {
    return FindField(
        name, m_FieldCount, [this](size_t i) { return std::string_view(m_Names && m_Names[i] ? m_Names[i] : ""); },
        mustExist);
}

std::string_view TSQLiteRow::Text(unsigned column) const {
    if (column >= m_FieldCount) {
        throw SQLiteException("Attempted to access a column indexed greater than the field count.");
    }
    return m_Values[column] ? std::string_view(m_Values[column]) : std::string_view();
}

int32_t TSQLiteRow::AsInteger(unsigned column) const {
    return StrToIntDef(Text(column), 0);
}

// ---- The database ----

TSQLite::TSQLite(std::string fileName) : FileName(std::move(fileName)) {}

TSQLite::~TSQLite() {
    Close();
}

void TSQLite::Open(const std::string& fileName) {
    Debug("Opening database...");
    std::lock_guard lock(m_Lock);
    if (!fileName.empty()) {
        FileName = fileName;
    }
    if (FileName.empty()) {
        throw SQLiteException("The Open method requires a filename.");
    }
    bool existed = FileExists(FileName);
    if (!existed && !CreateIfMissing) {
        throw SQLiteException("The file \"" + FileName + "\" does not exist.");
    }
    MapEngine();
    if (!existed && !OnCreate) {
        throw SQLiteException("No creation procedure exist for this database.");
    }
    if (m_Handle) {
        Close();
    }
    if (!existed) {
        CreateOwnerOnlyFile(FileName);
    }
    TEngine& engine = Engine();
    char* error = nullptr;
    sqlite* handle = engine.Open(FileName.c_str(), 0, &error);
    TEngineText text(error);
    if (!handle) {
        if (!existed) {
            RemoveCreatedFile(FileName);
        }
        throw SQLiteException(text.Empty() ? engine.ErrorString(14) : text.Text());
    }
    m_Handle = handle;
    if (!existed || (CreateIfMissing && OnCreate && !HasTables())) {
        try {
            Create();
        } catch (...) {
            Close();
            if (!existed) {
                RemoveCreatedFile(FileName);
            }
            throw;
        }
    }
    Debug("Database open.");
}

// A database without a single table is one whose creation never finished (the program was killed
// before the creation's transaction committed, or even before the engine wrote the first page).
bool TSQLite::HasTables() {
    TSQLiteResultSet tables;
    Query("SELECT name FROM sqlite_master WHERE type='table' LIMIT 1", &tables);
    return tables.RowCount() > 0;
}

// The creation procedure runs in one transaction: killed half-way, it leaves a database without
// tables, which the next Open creates afresh, rather than one that lacks some of them for ever.
void TSQLite::Create() {
    Execute("BEGIN TRANSACTION");
    try {
        OnCreate(*this);
        Execute("COMMIT TRANSACTION");
    } catch (...) {
        try {
            Execute("ROLLBACK TRANSACTION");
        } catch (const std::exception& error) {
            DebugException("TSQLite", error); // the engine may have rolled back by itself
        }
        throw;
    }
}

void TSQLite::Close() {
    Debug("Closing database...");
    {
        std::lock_guard lock(m_Lock);
        if (m_Handle) {
            Engine().Close(Handle(m_Handle));
        }
        m_Handle = nullptr;
    }
    Debug("Database closed.");
}

bool TSQLite::IsOpen() {
    std::lock_guard lock(m_Lock);
    return m_Handle != nullptr;
}

void TSQLite::CheckOpen() {
    std::lock_guard lock(m_Lock);
    if (m_Handle) {
        return;
    }
    if (!AutoOpen) {
        throw SQLiteException("Operation cannot be performed on a closed database.");
    }
    Open();
}

int TSQLite::Execute(const std::string& sql) {
    return ExecuteTraced(sql, sql);
}

int TSQLite::ExecuteTraced(const std::string& sql, const std::string& traced) {
    if (DebugMode() && !traced.empty()) {
        Debug("Executing SQL: " + traced);
    }
    auto started = std::chrono::steady_clock::now();
    int changes = 0;
    {
        std::lock_guard lock(m_Lock);
        CheckStatement(sql);
        CheckOpen();
        TEngine& engine = Engine();
        char* error = nullptr;
        int code = engine.Exec(Handle(m_Handle), sql.c_str(), nullptr, nullptr, &error);
        TEngineText text(error);
        if (code != 0) {
            RaiseEngineFailure(code, text);
        }
        changes = engine.Changes(Handle(m_Handle));
    }
    std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - started;
    DebugList({"Execution time: ", FormatFixed(elapsed.count(), 8)});
    return changes;
}

int TSQLite::Query(const std::string& sql, TSQLiteResultSet* result) {
    if (DebugMode()) {
        Debug("Executing SQL: " + sql);
    }
    std::lock_guard lock(m_Lock);
    CheckStatement(sql);
    CheckOpen();
    char** table = nullptr;
    int rows = 0;
    int columns = 0;
    char* error = nullptr;
    int code = Engine().GetTable(Handle(m_Handle), sql.c_str(), &table, &rows, &columns, &error);
    TEngineTable tableOwner(table);
    TEngineText text(error);
    if (code != 0) {
        RaiseEngineFailure(code, text);
    }
    if (result) {
        result->Fill(rows, columns, table);
    }
    return rows;
}

int TSQLite::QueryRows(const std::string& sql, const TRowHandler& handler) {
    if (DebugMode()) {
        Debug("Executing SQL: " + sql);
    }
    std::lock_guard lock(m_Lock);
    CheckStatement(sql);
    CheckOpen();
    TRowStream stream{handler, 0, nullptr};
    char* error = nullptr;
    const int code = Engine().Exec(Handle(m_Handle), sql.c_str(), StreamRow, &stream, &error);
    TEngineText text(error);
    if (stream.Failure) {
        std::rethrow_exception(stream.Failure);
    }
    if (code != 0) {
        RaiseEngineFailure(code, text);
    }
    return stream.Rows;
}

int TSQLite::Insert(const std::string& table, const TStringArray& fields, const std::vector<TSQLValue>& values) {
    if (fields.size() != values.size()) {
        throw SQLiteException("The number of fields and values must match for an insert.");
    }
    // The traced form only while tracing: a synchronisation writes tens of thousands of rows.
    const bool tracing = DebugMode();
    std::string sql = "insert into " + table + " (" + JoinText(fields, ",") + ") values (";
    std::string traced = tracing ? sql : std::string();
    for (size_t i = 0; i < values.size(); ++i) {
        if (i > 0) {
            sql += ',';
        }
        sql += values[i].SQLText();
        if (tracing) {
            traced += (i > 0 ? "," : "") + TracedValue(fields[i], values[i]);
        }
    }
    sql += ')';
    if (tracing) {
        traced += ')';
    }
    return ExecuteTraced(sql, traced);
}

int TSQLite::Update(const std::string& table, const TStringArray& fields, const std::string& condition,
                    const std::vector<TSQLValue>& values) {
    if (fields.size() != values.size()) {
        throw SQLiteException("The number of fields and values must match for an update.");
    }
    if (fields.empty()) {
        throw SQLiteException("You must supply at least one field to update.");
    }
    const bool tracing = DebugMode();
    std::string sql = "update " + table + " set ";
    std::string traced = tracing ? sql : std::string();
    for (size_t i = 0; i < fields.size(); ++i) {
        if (i > 0) {
            sql += ',';
        }
        sql += fields[i] + "=" + values[i].SQLText();
        if (tracing) {
            traced += (i > 0 ? "," : "") + fields[i] + "=" + TracedValue(fields[i], values[i]);
        }
    }
    if (!condition.empty()) {
        sql += " where " + condition;
        if (tracing) {
            traced += " where " + condition;
        }
    }
    return ExecuteTraced(sql, traced);
}

int TSQLite::Delete(const std::string& table, const std::string& condition) {
    return Execute("delete from " + table + " where " + condition);
}

int64_t TSQLite::LastInsertRowID() {
    std::lock_guard lock(m_Lock);
    CheckOpen();
    return Engine().LastInsertRowID(Handle(m_Handle));
}

int32_t TSQLite::SingletonQuery(const std::string& sql) {
    TSQLiteResultSet result;
    Query(sql, &result);
    if (result.RowCount() != 1 || result.FieldCount() != 1) {
        throw SQLiteSingletonException("Exactly one row with one column must be returned for singleton queries.");
    }
    return result.AsInteger(0u);
}

// ---- The engine library's name and state ----

void SetSQLiteLibraryName(const std::string& name) {
    TEngine& engine = Engine();
    std::lock_guard lock(engine.Lock);
    if (!engine.Mapped) {
        engine.LibraryName = name;
    }
}

const std::string& SQLiteLibraryName() {
    return Engine().LibraryName;
}

bool SQLiteLibraryMapped() {
    return Engine().Mapped;
}
