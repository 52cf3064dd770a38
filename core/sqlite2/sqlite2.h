#pragma once
/* The version 2 programming interface of the database engine, as exported by the engine library
 * (core/sqlite2/sqlite2.c). USQLite never links against it: it loads the library at run time and
 * resolves these functions by name; this header only gives their types.
 * Thread contract: one handle must not be used by two threads at once (TSQLite's lock sees to it);
 * sqlite_interrupt may be called from any thread. */

#ifdef __cplusplus
extern "C" {
#endif

typedef struct sqlite sqlite;

/* Row callback of sqlite_exec: values and column names of one row; non-zero aborts the statement. */
typedef int (*sqlite_callback)(void* arg, int columns, char** values, char** names);
/* Busy handler: the database file name and how often this lock has been found busy; zero gives up. */
typedef int (*sqlite_busy_callback)(void* arg, const char* name, int count);

/* Opens (creating when missing) a database file; mode is unused. Null on failure, with the reason
 * in *errmsg (free it with sqlite_freemem). */
sqlite* sqlite_open(const char* filename, int mode, char** errmsg);
void sqlite_close(sqlite* db);
/* Runs one or more statements. Returns a result code (0 for success); *errmsg receives a text to
 * free with sqlite_freemem, or null. */
int sqlite_exec(sqlite* db, const char* sql, sqlite_callback callback, void* arg, char** errmsg);
int sqlite_last_insert_rowid(sqlite* db);
/* Rows inserted, changed or deleted by the last sqlite_exec or sqlite_get_table call. */
int sqlite_changes(sqlite* db);
/* Runs a query into a table: first the column names, then nrow rows of ncolumn values; a null
 * value is a null pointer. Free the table with sqlite_free_table (also after a failure). */
int sqlite_get_table(sqlite* db, const char* sql, char*** result, int* nrow, int* ncolumn, char** errmsg);
void sqlite_free_table(char** result);
void sqlite_interrupt(sqlite* db);
/* Non-zero when the text ends with a complete statement. */
int sqlite_complete(const char* sql);
void sqlite_busy_handler(sqlite* db, sqlite_busy_callback callback, void* arg);
void sqlite_busy_timeout(sqlite* db, int milliseconds);
const char* sqlite_libversion(void);
const char* sqlite_libencoding(void);
/* Frees a text handed out by the library; a null pointer is allowed. */
void sqlite_freemem(void* p);
/* The fixed English text of a result code. */
const char* sqlite_error_string(int code);

#ifdef __cplusplus
}
#endif
