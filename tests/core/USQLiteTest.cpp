#include "core/USQLite.h"

#include "base/LDates.h"
#include "base/UDebug.h"
#include "base/UWindows.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>
#include <sys/stat.h>
#include <thread>

namespace fs = std::filesystem;

namespace {

// Each test gets its own directory; the database inside it is created with the table T.
class USQLiteTest : public testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "usqlite-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        m_Dir = pattern;
        m_Path = (m_Dir / "Test.db").string();
    }
    void TearDown() override { fs::remove_all(m_Dir); }

    // A database that creates the table T (ID integer primary key, Name text, Age integer) on creation.
    std::unique_ptr<TSQLite> NewDatabase() {
        auto db = std::make_unique<TSQLite>(m_Path);
        db->AutoOpen = true;
        db->CreateIfMissing = true;
        db->OnCreate = [this](TSQLite& created) {
            ++m_Creations;
            created.Execute("create table T (ID integer primary key, Name text, Age integer)");
        };
        return db;
    }

    static std::string Failure(const std::function<void()>& action) {
        try {
            action();
        } catch (const SQLiteException& error) {
            return error.Message();
        }
        return "(no failure)";
    }

    fs::path m_Dir;
    std::string m_Path;
    int m_Creations = 0;
};

} // namespace

// ---- SQL text of values ----

TEST_F(USQLiteTest, TextValuesAreQuotedEvenWhenTheyLookLikeNumbers) {
    EXPECT_EQ(TSQLValue("O'Hara").SQLText(), "'O''Hara'");
    EXPECT_EQ(TSQLValue("1.5").SQLText(), "'1.5'");
    EXPECT_EQ(TSQLValue("42").SQLText(), "'42'");
    EXPECT_EQ(TSQLValue("007").SQLText(), "'007'");
    EXPECT_EQ(TSQLValue("").SQLText(), "''");
    EXPECT_EQ(TSQLValue(".").SQLText(), "'.'");
    EXPECT_EQ(TSQLValue().SQLText(), "''");
}

TEST_F(USQLiteTest, ScalarValuesKeepTheirForms) {
    EXPECT_EQ(TSQLValue(int32_t(-42)).SQLText(), "-42");
    EXPECT_EQ(TSQLValue(int64_t(5000000000)).SQLText(), "5000000000");
    EXPECT_EQ(TSQLValue(true).SQLText(), "1");
    EXPECT_EQ(TSQLValue(false).SQLText(), "0");
    EXPECT_EQ(TSQLValue::Number(1.5).SQLText(), "1.5");
    EXPECT_EQ(TSQLValue::Number(2).SQLText(), "2.0");
    EXPECT_EQ(TSQLValue::Number(-0.25).SQLText(), "-0.25");
    EXPECT_EQ(TSQLValue::Number(1.0 / 3).SQLText(), "0.333333333333333");
    EXPECT_EQ(TSQLValue::Number(-0.0).SQLText(), "0.0");
    EXPECT_EQ(TSQLValue::Number(1e-20).SQLText(), "0.0");
    EXPECT_EQ(TSQLValue::Number(1e20).SQLText(), "100000000000000000000.0");
}

TEST_F(USQLiteTest, ValuesWithoutSQLTextFail) {
    EXPECT_EQ(Failure([] { TSQLValue::Object().SQLText(); }), "Unable to convert COM automation values.");
    // An unquoted nan or inf would be read as a column name, or worse.
    EXPECT_NE(Failure([] { TSQLValue::Number(std::nan("")).SQLText(); }), "(no failure)");
    EXPECT_NE(Failure([] { TSQLValue::Number(std::numeric_limits<double>::infinity()).SQLText(); }), "(no failure)");
}

TEST_F(USQLiteTest, TextThatLooksNumericReadsBackUnchanged) {
    auto db = NewDatabase();
    // Text columns as the schema declares them: an unquoted 007 would be stored as the number 7.
    db->Execute("create table Credentials (UserName VARCHAR, Password VARCHAR)");
    const std::vector<std::string> texts = {"007", "1.50", "42", "1.5", "1e3", "-0", "0x10", "9223372036854775808"};
    for (const std::string& text : texts) {
        db->Insert("Credentials", {"UserName", "Password"}, {text, text});
    }
    TSQLiteResultSet result;
    ASSERT_EQ(db->Query("select UserName, Password from Credentials order by rowid", &result),
              static_cast<int>(texts.size()));
    for (const std::string& text : texts) {
        EXPECT_EQ(result.AsString("UserName"), text);
        EXPECT_EQ(result.AsString("Password"), text);
        result.Next();
    }
    db->Update("Credentials", {"Password"}, "UserName = '007'", {"0123"});
    EXPECT_EQ(db->Query("select * from Credentials where Password = '0123'"), 1);
}

TEST_F(USQLiteTest, HostileTextIsStoredVerbatim) {
    auto db = NewDatabase();
    const std::string hostile = "x'); drop table T; --";
    const std::string large(1 << 20, '\'');
    db->Insert("T", {"Name"}, {hostile});
    db->Insert("T", {"Name"}, {large});
    TSQLiteResultSet result;
    ASSERT_EQ(db->Query("select Name from T order by ID", &result), 2);
    EXPECT_EQ(result.AsString("Name"), hostile);
    result.Next();
    EXPECT_EQ(result.AsString("Name"), large);
}

TEST_F(USQLiteTest, StatementsWithNulCharactersAreRefusedNotTruncated) {
    auto db = NewDatabase();
    db->Insert("T", {"Name"}, {"a"});
    db->Insert("T", {"Name"}, {"b"});
    // Truncated at the NUL this would delete every row.
    EXPECT_THROW(db->Execute(std::string("delete from T\0 where ID = 1", 28)), SQLiteException);
    EXPECT_THROW(db->Insert("T", {"Name"}, {std::string("a\0b", 3)}), SQLiteException);
    EXPECT_THROW(db->Query(std::string("select * from T\0", 16)), SQLiteException);
    EXPECT_EQ(db->SingletonQuery("select count(*) from T"), 2);
}

TEST_F(USQLiteTest, DateTimesReadBackUnchanged) {
    auto db = NewDatabase();
    db->Execute("create table D (Stamp text)");
    const TDateTime stamp = EncodeDateTime(2004, 3, 1, 9, 5, 7, 123);
    db->Insert("D", {"Stamp"}, {TSQLValue::DateTime(stamp)});
    db->Insert("D", {"Stamp"}, {""});
    TSQLiteResultSet result;
    db->Query("select Stamp from D order by rowid", &result);
    EXPECT_EQ(result.AsString("Stamp").substr(0, 24), "2004-03-01T09:05:07.1230");
    EXPECT_NEAR(result.AsDateTime("Stamp"), stamp, 1e-9);
    result.Next();
    EXPECT_EQ(result.AsDateTime(0u), 0);
}

// ---- Opening and creating ----

TEST_F(USQLiteTest, OpenFailuresCarryTheirMessages) {
    TSQLite unnamed;
    EXPECT_EQ(Failure([&] { unnamed.Open(); }), "The Open method requires a filename.");

    TSQLite missing(m_Path);
    EXPECT_EQ(Failure([&] { missing.Open(); }), "The file \"" + m_Path + "\" does not exist.");

    missing.CreateIfMissing = true;
    EXPECT_EQ(Failure([&] { missing.Open(); }), "No creation procedure exist for this database.");
    EXPECT_FALSE(fs::exists(m_Path));
    EXPECT_FALSE(missing.IsOpen());
}

TEST_F(USQLiteTest, CreationRunsOnceForANewFile) {
    NewDatabase()->Open();
    EXPECT_EQ(m_Creations, 1);
    auto db = NewDatabase();
    db->Open();
    EXPECT_EQ(m_Creations, 1);
    EXPECT_EQ(db->Insert("T", {"Name"}, {"x"}), 1);
}

TEST_F(USQLiteTest, FailedCreationLeavesNoHalfMadeDatabase) {
    auto db = NewDatabase();
    db->OnCreate = [](TSQLite& created) {
        created.Execute("create table Half (A)");
        created.Execute("this is no statement");
    };
    EXPECT_THROW(db->Open(), SQLiteException);
    EXPECT_FALSE(db->IsOpen());
    EXPECT_FALSE(fs::exists(m_Path));

    // The next start creates the database afresh instead of finding it without its tables.
    auto retry = NewDatabase();
    retry->Open();
    EXPECT_EQ(m_Creations, 1);
    EXPECT_EQ(retry->Insert("T", {"Name"}, {"x"}), 1);
}

// A kill while the tables are created: the next start creates them again instead of failing on the
// missing ones for ever.
TEST_F(USQLiteTest, CreationKilledHalfWayIsRedoneAtTheNextOpen) {
    GTEST_FLAG_SET(death_test_style, "fast"); // the child must use this test's directory
    EXPECT_EXIT(
        {
            auto db = NewDatabase();
            db->OnCreate = [](TSQLite& created) {
                created.Execute("create table Half (A)");
                created.Insert("Half", {"A"}, {"x"});
                ::_exit(0);
            };
            db->Open();
        },
        testing::ExitedWithCode(0), "");
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    ASSERT_TRUE(fs::exists(m_Path));
    auto db = NewDatabase();
    db->Open();
    EXPECT_EQ(m_Creations, 1);
    EXPECT_EQ(db->Insert("T", {"Name"}, {"x"}), 1);
    EXPECT_EQ(db->Query("select name from sqlite_master where name='Half'"), 0);
    db.reset();

    // Killed before the engine wrote anything: an empty file.
    for (const std::string suffix : {"", "-wal", "-shm"})
        fs::remove(m_Path + suffix);
    std::ofstream(m_Path).close();
    NewDatabase()->Open();
    EXPECT_EQ(m_Creations, 2);
}

TEST_F(USQLiteTest, CreatedDatabaseAndItsLogAreOwnerOnly) {
    mode_t previous = ::umask(0);
    auto db = NewDatabase();
    db->Open();
    ::umask(previous);
    db->Insert("T", {"Name"}, {"secret"});

    // Commits go through the write-ahead log, which holds the same secrets as the database.
    for (const std::string suffix : {"", "-wal", "-shm"}) {
        SCOPED_TRACE(suffix);
        struct stat info {};
        ASSERT_EQ(::stat((m_Path + suffix).c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 0777, 0600u);
    }
    TSQLiteResultSet mode;
    db->Query("pragma journal_mode", &mode);
    EXPECT_EQ(mode.AsString("journal_mode"), "wal");
}

TEST_F(USQLiteTest, FileThatIsNoDatabaseFailsToOpenWithTheEngineText) {
    std::ofstream(m_Path) << std::string(4096, 'x');
    auto db = NewDatabase();
    EXPECT_EQ(Failure([&] { db->Open(); }), "file is not a database");
    EXPECT_FALSE(db->IsOpen());
    EXPECT_EQ(m_Creations, 0);
}

TEST_F(USQLiteTest, ClosedDatabaseRefusesWorkUnlessAutoOpen) {
    auto db = NewDatabase();
    db->Open();
    db->Close();
    db->AutoOpen = false;
    EXPECT_EQ(Failure([&] { db->Execute("select 1"); }), "Operation cannot be performed on a closed database.");
    EXPECT_EQ(Failure([&] { db->Query("select 1"); }), "Operation cannot be performed on a closed database.");
    db->AutoOpen = true;
    EXPECT_EQ(db->Query("select 1"), 1);
    EXPECT_TRUE(db->IsOpen());
    // Opening again while open replaces the handle without leaking it.
    db->Open();
    db->Close();
    db->Close();
    EXPECT_FALSE(db->IsOpen());
}

// ---- Statements ----

TEST_F(USQLiteTest, EmptyStatementDoesNothing) {
    auto db = NewDatabase();
    db->AutoOpen = false;
    // Refused before the database is even needed.
    EXPECT_EQ(Failure([&] { db->Execute(""); }), "Nothing to do.");
    EXPECT_EQ(Failure([&] { db->Query(""); }), "Nothing to do.");
    EXPECT_FALSE(fs::exists(m_Path));
}

TEST_F(USQLiteTest, EngineFailuresCarryCodeTextAndMessage) {
    auto db = NewDatabase();
    EXPECT_EQ(Failure([&] { db->Execute("insert into Nope values (1)"); }),
              "SQL logic error or missing database: no such table: Nope");
    db->Insert("T", {"ID"}, {1});
    EXPECT_EQ(Failure([&] { db->Insert("T", {"ID"}, {1}); }), "constraint failed: UNIQUE constraint failed: T.ID");
    TSQLiteResultSet result;
    EXPECT_EQ(Failure([&] { db->Query("select Nope from T", &result); }),
              "SQL logic error or missing database: no such column: Nope");
    // The failed statements left the database as it was, and it still works.
    EXPECT_EQ(db->SingletonQuery("select count(*) from T"), 1);
}

TEST_F(USQLiteTest, ExecuteCountsChangedRowsOfTheWholeCall) {
    auto db = NewDatabase();
    EXPECT_EQ(db->Execute("create table U (A)"), 0);
    EXPECT_EQ(db->Execute("insert into U values (1); insert into U values (2); insert into U values (3)"), 3);
    EXPECT_EQ(db->Execute("create index UA on U (A)"), 0);
    EXPECT_EQ(db->Update("U", {"A"}, "", {7}), 3);
    EXPECT_EQ(db->Update("U", {"A"}, "rowid = 2", {8}), 1);
    EXPECT_EQ(db->Delete("U", "A = 7"), 2);
    EXPECT_EQ(db->SingletonQuery("select A from U"), 8);
}

TEST_F(USQLiteTest, InsertAndUpdateCheckTheirLists) {
    auto db = NewDatabase();
    EXPECT_EQ(Failure([&] {
                  db->Insert("T", {"Name", "Age"}, {"x"});
              }),
              "The number of fields and values must match for an insert.");
    EXPECT_EQ(Failure([&] {
                  db->Update("T", {"Name"}, "", {"x", 1});
              }),
              "The number of fields and values must match for an update.");
    EXPECT_EQ(Failure([&] { db->Update("T", {}, "", {}); }), "You must supply at least one field to update.");
    EXPECT_EQ(db->Insert("T", {"Name", "Age"}, {"Ann", 30}), 1);
    EXPECT_EQ(db->LastInsertRowID(), 1);
    EXPECT_EQ(db->Insert("T", {"Name", "Age"}, {"Bob", 40}), 1);
    EXPECT_EQ(db->LastInsertRowID(), 2);
    EXPECT_EQ(db->Update("T", {"Name", "Age"}, "ID = 2", {"Bo", 41}), 1);
    TSQLiteResultSet result;
    db->Query("select * from T where ID = 2", &result);
    EXPECT_EQ(result.AsString("name"), "Bo");
    EXPECT_EQ(result.AsInteger("AGE"), 41);
}

// ---- Result sets ----

TEST_F(USQLiteTest, ResultSetAccessIsCheckedAndCaseInsensitive) {
    auto db = NewDatabase();
    db->Execute("create table A (UserName text, Flag text, N text)");
    db->Execute("insert into A values ('ann', '1', '12'), ('bob', 'true', 'abc'), (null, '2', '1.5'),"
                " ('eve', null, '99999999999')");
    TSQLiteResultSet result;
    EXPECT_EQ(db->Query("select * from A where 0", &result), 0);
    EXPECT_TRUE(result.Eof()); // an empty result is at its end at once
    EXPECT_EQ(Failure([&] { result.Value(0, 0); }), "Attempted to access a row past EOF.");

    ASSERT_EQ(db->Query("select * from A order by rowid", &result), 4);
    EXPECT_FALSE(result.Eof());
    EXPECT_EQ(result.FieldIndex("Username"), 0);
    EXPECT_EQ(result.FieldIndex("nope"), -1);
    EXPECT_EQ(Failure([&] { result.FieldIndex("nope", true); }),
              "This result set does not contain a field named \"nope\".");
    EXPECT_EQ(Failure([&] { result.Value(0, 3); }),
              "Attempted to access a column indexed greater than the field count.");
    EXPECT_EQ(Failure([&] { result.Value(4, 0); }), "Attempted to access a row past EOF.");

    EXPECT_EQ(result.AsString("USERNAME"), "ann");
    EXPECT_TRUE(result.AsBoolean("Flag"));
    EXPECT_EQ(result.AsInteger(2u), 12);
    result.Next();
    EXPECT_FALSE(result.AsBoolean("Flag")); // only 1 is true
    EXPECT_EQ(result.AsInteger("N"), 0);
    result.Next();
    EXPECT_EQ(result.AsString("UserName"), ""); // a null cell
    EXPECT_FALSE(result.AsBoolean(1u));
    EXPECT_EQ(result.AsInteger("N"), 0);
    result.Next();
    EXPECT_EQ(result.AsInteger("N"), 0); // beyond 32 bits
    EXPECT_EQ(result.AsString("Flag"), "");

    EXPECT_EQ(result.MoveBy(5), 1);
    EXPECT_TRUE(result.Eof());
    EXPECT_EQ(Failure([&] { result.AsString("UserName"); }), "Attempted to access a row past EOF.");
    EXPECT_EQ(result.MoveBy(-10), -4);
    EXPECT_EQ(result.Cursor(), 0u);
}

// Streamed rows must read exactly as a result set's cells do, or a table loads differently.
TEST_F(USQLiteTest, StreamedRowsReadAsTheResultSetDoes) {
    auto db = NewDatabase();
    db->Execute("create table A (UserName text, Flag text, N text)");
    db->Execute("insert into A values ('ann', '1', '12'), ('bob', 'true', 'abc'), (null, '2', '1.5'),"
                " ('eve', null, '99999999999')");
    EXPECT_EQ(db->QueryRows("select * from A where 0", [](const TSQLiteRow&) { ADD_FAILURE(); }), 0);

    TSQLiteResultSet result;
    db->Query("select * from A order by rowid", &result);
    int rows = 0;
    EXPECT_EQ(db->QueryRows("select * from A order by rowid",
                            [&](const TSQLiteRow& row) {
                                ASSERT_EQ(row.FieldCount(), 3u);
                                EXPECT_EQ(row.FieldIndex("USERNAME"), 0);
                                EXPECT_EQ(row.FieldIndex("nope"), -1);
                                EXPECT_EQ(Failure([&] { row.FieldIndex("nope", true); }),
                                          "This result set does not contain a field named \"nope\".");
                                EXPECT_EQ(Failure([&] { row.Text(3); }),
                                          "Attempted to access a column indexed greater than the field count.");
                                for (unsigned column = 0; column < 3; ++column) {
                                    EXPECT_EQ(row.Text(column), result.Value(result.Cursor(), column));
                                    EXPECT_EQ(row.AsInteger(column), result.AsInteger(column));
                                    EXPECT_EQ(row.AsBoolean(column), result.AsBoolean(column));
                                }
                                result.Next();
                                ++rows;
                            }),
              4);
    EXPECT_EQ(rows, 4);
}

// A failure inside the handler must neither unwind through the engine nor leave the statement or
// the lock behind: it stops the rows and reaches the caller as it was raised.
TEST_F(USQLiteTest, HandlerFailureStopsTheRowsAndPassesOnUnchanged) {
    auto db = NewDatabase();
    for (const char* name : {"a", "b", "c"})
        db->Insert("T", {"Name"}, {name});
    int seen = 0;
    EXPECT_THROW(db->QueryRows("select Name from T order by ID",
                               [&](const TSQLiteRow& row) {
                                   if (++seen == 2)
                                       throw std::runtime_error(std::string(row.Text(0)));
                               }),
                 std::runtime_error);
    EXPECT_EQ(seen, 2);
    EXPECT_EQ(Failure([&] { db->QueryRows("select Nope from T", [](const TSQLiteRow&) {}); }),
              "SQL logic error or missing database: no such column: Nope");

    // Nothing is left open: another thread writes, and the table can be dropped.
    std::thread other([&] { db->Insert("T", {"Name"}, {"d"}); });
    other.join();
    EXPECT_EQ(db->Execute("drop table T"), 0);
}

TEST_F(USQLiteTest, SingletonQueryWantsExactlyOneCell) {
    auto db = NewDatabase();
    db->Insert("T", {"Name", "Age"}, {"a", 1});
    db->Insert("T", {"Name", "Age"}, {"b", 2});
    EXPECT_EQ(db->SingletonQuery("select Age from T where Name = 'b'"), 2);
    EXPECT_EQ(db->SingletonQuery("select Name from T where Age = 2"), 0); // not a whole number
    for (const char* sql :
         {"select Age from T where 0", "select Age from T", "select Name, Age from T where Age = 1"}) {
        try {
            db->SingletonQuery(sql);
            ADD_FAILURE() << sql;
        } catch (const SQLiteSingletonException& error) {
            EXPECT_STREQ(error.what(), "Exactly one row with one column must be returned for singleton queries.");
        }
    }
    // An engine failure is not the "no such row" answer.
    EXPECT_THROW(
        {
            try {
                db->SingletonQuery("select Nope from T");
            } catch (const SQLiteSingletonException&) {
                FAIL();
            }
        },
        SQLiteException);
}

// ---- Locking ----

TEST_F(USQLiteTest, HeldLockKeepsOtherThreadsOut) {
    auto db = NewDatabase();
    db->Open();
    std::atomic<bool> inserted{false};
    std::thread other;
    {
        TSQLiteLock hold(*db);
        other = std::thread([&] {
            db->Insert("T", {"Name"}, {"other"});
            inserted = true;
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        EXPECT_FALSE(inserted);
        // The holder itself may go on using the database.
        EXPECT_EQ(db->Insert("T", {"Name"}, {"holder"}), 1);
    }
    other.join();
    EXPECT_TRUE(inserted);
    EXPECT_EQ(db->SingletonQuery("select count(*) from T"), 2);
}

TEST_F(USQLiteTest, StatementsFromManyThreadsDoNotInterleave) {
    auto db = NewDatabase();
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&db, t] {
            for (int i = 0; i < 20; ++i) {
                db->Insert("T", {"Name", "Age"}, {"t" + std::to_string(t), i});
                TSQLiteResultSet result;
                db->Query("select count(*) from T", &result);
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(db->SingletonQuery("select count(*) from T"), 80);
    EXPECT_EQ(m_Creations, 1);
}

// ---- Tracing ----

TEST_F(USQLiteTest, TraceShowsStatementAndExecutionTime) {
    auto db = NewDatabase();
    db->Open();
    SetCommandLine(std::vector<std::string>{"debug"});
    InitializeDebugLog();
    testing::internal::CaptureStdout();
    db->Execute("insert into T (Name) values ('x')");
    std::string trace = testing::internal::GetCapturedStdout();
    SetCommandLine(std::vector<std::string>{});
    InitializeDebugLog();
    EXPECT_NE(trace.find("\tExecuting SQL: insert into T (Name) values ('x')\r\n"), std::string::npos) << trace;
    EXPECT_TRUE(
        testing::internal::RE::PartialMatch(trace, testing::internal::RE("\tExecution time: [0-9]+\\.[0-9]{8}\r\n")))
        << trace;
}

// ---- Loading the engine: each case in a fresh process, since the library is loaded only once ----

namespace {

std::string OpenFailure(TSQLite& db) {
    try {
        db.Open();
    } catch (const SQLiteException& error) {
        return error.Message();
    }
    return "(opened)";
}

} // namespace

// Runs the checks in a child process that starts the test anew; the exit code tells the parent
// whether every check held.
#define EXPECT_IN_FRESH_PROCESS(...)                                                                                   \
    GTEST_FLAG_SET(death_test_style, "threadsafe");                                                                    \
    EXPECT_EXIT(                                                                                                       \
        {                                                                                                              \
            auto check = [this](bool holds, const std::string& detail) {                                               \
                if (!holds) {                                                                                          \
                    std::fprintf(stderr, "%s\n", detail.c_str());                                                      \
                    fs::remove_all(m_Dir);                                                                             \
                    std::exit(1);                                                                                      \
                }                                                                                                      \
            };                                                                                                         \
            __VA_ARGS__;                                                                                               \
            fs::remove_all(m_Dir);                                                                                     \
            std::exit(0);                                                                                              \
        },                                                                                                             \
        testing::ExitedWithCode(0), "")

TEST_F(USQLiteTest, LoadingFailsForALibraryThatCannotBeLoaded) {
    EXPECT_IN_FRESH_PROCESS({
        SetSQLiteLibraryName("libtessivar_no_such_engine.so");
        auto db = NewDatabase();
        std::string failure = OpenFailure(*db);
        check(failure == "Could not load library \"libtessivar_no_such_engine.so\".", failure);
        check(!SQLiteLibraryMapped() && !fs::exists(m_Path), "state after the failure");
    });
}

TEST_F(USQLiteTest, LoadingFailsForAMissingEntryPointEvenIfNeverCalled) {
    EXPECT_IN_FRESH_PROCESS({
        SetSQLiteLibraryName("libtessivar_sqlite2_nobusy.so");
        auto db = NewDatabase();
        std::string failure = OpenFailure(*db);
        check(failure == "Could not find entry point for \"sqlite_busy_timeout\" in \"libtessivar_sqlite2_nobusy.so\".",
              failure);
        check(!SQLiteLibraryMapped(), "mapped after a failure");
        // A failed load is tried again at the next Open.
        SetSQLiteLibraryName("libtessivar_sqlite2.so");
        failure = OpenFailure(*db);
        check(failure == "(opened)" && SQLiteLibraryMapped(), failure);
    });
}

TEST_F(USQLiteTest, MissingFileFailsBeforeLoadingAndCreatesNothingAfter) {
    EXPECT_IN_FRESH_PROCESS({
        TSQLite db(m_Path);
        std::string failure = OpenFailure(db);
        check(failure == "The file \"" + m_Path + "\" does not exist." && !SQLiteLibraryMapped(), failure);
        db.CreateIfMissing = true;
        failure = OpenFailure(db);
        check(failure == "No creation procedure exist for this database." && SQLiteLibraryMapped(), failure);
        check(!fs::exists(m_Path), "file created");
    });
}
