/* The database engine's version 2 programming interface, implemented over SQLite 3. Built as the
 * shared library that USQLite loads at run time; only the fifteen functions of sqlite2.h are
 * exported. Texts and tables handed out are allocated by SQLite 3, so sqlite_freemem and
 * sqlite_free_table release them through it. */

#pragma GCC visibility push(default)
#include "core/sqlite2/sqlite2.h"
#pragma GCC visibility pop

#include <sqlite3.h>
#include <stdlib.h>

struct sqlite {
    sqlite3* db;
    /* Rows changed by the last sqlite_exec or sqlite_get_table call. */
    int changes;
    sqlite_busy_callback busy;
    void* busyArg;
};

/* Hands out a copy of text that the caller frees with sqlite_freemem. */
static void SetError(char** errmsg, const char* text) {
    if (errmsg) {
        *errmsg = sqlite3_mprintf("%s", text ? text : "");
    }
}

sqlite* sqlite_open(const char* filename, int mode, char** errmsg) {
    (void)mode;
    if (errmsg) {
        *errmsg = NULL;
    }
    sqlite* handle = calloc(1, sizeof *handle);
    if (!handle) {
        SetError(errmsg, sqlite_error_string(SQLITE_NOMEM));
        return NULL;
    }
    /* The engine's own memory statistics cost time on every allocation and are never read. Only
     * possible before the engine initialises; later calls are refused and change nothing. */
    sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0);
    /* No mutex of the engine's own per connection: its callers serialise every use of a handle (the
     * database object holds its lock around each call), and the engine's locking would otherwise be
     * taken and released for every cell read. */
    int rc = sqlite3_open_v2(filename ? filename : "", &handle->db,
                             SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, NULL);
    if (rc == SQLITE_OK) {
        /* Reads the schema now, so that a file that is no database fails to open rather than at
         * its first statement. */
        rc = sqlite3_exec(handle->db, "select count(*) from sqlite_master", NULL, NULL, NULL);
    }
    if (rc == SQLITE_OK) {
        /* Every commit is on disk when the statement returns: the write-ahead log is flushed at
         * each commit (one flush instead of the rollback journal's several, and no journal file
         * whose deletion could be lost), and readers do not block the writer. The database stays
         * an ordinary SQLite 3 file; the log is folded back into it when the last connection
         * closes, and after a crash at the next open. */
        rc = sqlite3_exec(handle->db, "PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL;", NULL, NULL, NULL);
    }
    if (rc != SQLITE_OK) {
        SetError(errmsg, handle->db ? sqlite3_errmsg(handle->db) : sqlite_error_string(rc));
        sqlite3_close_v2(handle->db);
        free(handle);
        return NULL;
    }
    return handle;
}

void sqlite_close(sqlite* db) {
    if (db) {
        sqlite3_close_v2(db->db);
        free(db);
    }
}

int sqlite_exec(sqlite* db, const char* sql, sqlite_callback callback, void* arg, char** errmsg) {
    if (errmsg) {
        *errmsg = NULL;
    }
    if (!db || !sql) {
        SetError(errmsg, sqlite_error_string(SQLITE_MISUSE));
        return SQLITE_MISUSE;
    }
    /* Counted over the whole call, so statements that change no rows give 0. */
    int before = sqlite3_total_changes(db->db);
    int rc = sqlite3_exec(db->db, sql, callback, arg, errmsg);
    db->changes = sqlite3_total_changes(db->db) - before;
    return rc;
}

int sqlite_last_insert_rowid(sqlite* db) {
    return db ? (int)sqlite3_last_insert_rowid(db->db) : 0;
}

int sqlite_changes(sqlite* db) {
    return db ? db->changes : 0;
}

int sqlite_get_table(sqlite* db, const char* sql, char*** result, int* nrow, int* ncolumn, char** errmsg) {
    if (result) {
        *result = NULL;
    }
    if (nrow) {
        *nrow = 0;
    }
    if (ncolumn) {
        *ncolumn = 0;
    }
    if (errmsg) {
        *errmsg = NULL;
    }
    if (!db || !sql || !result) {
        SetError(errmsg, sqlite_error_string(SQLITE_MISUSE));
        return SQLITE_MISUSE;
    }
    int before = sqlite3_total_changes(db->db);
    int rc = sqlite3_get_table(db->db, sql, result, nrow, ncolumn, errmsg);
    db->changes = sqlite3_total_changes(db->db) - before;
    return rc;
}

void sqlite_free_table(char** result) {
    sqlite3_free_table(result);
}

void sqlite_interrupt(sqlite* db) {
    if (db) {
        sqlite3_interrupt(db->db);
    }
}

int sqlite_complete(const char* sql) {
    return sql ? sqlite3_complete(sql) : 0;
}

static int BusyTrampoline(void* arg, int count) {
    sqlite* db = arg;
    return db->busy(db->busyArg, sqlite3_db_filename(db->db, "main"), count);
}

void sqlite_busy_handler(sqlite* db, sqlite_busy_callback callback, void* arg) {
    if (!db) {
        return;
    }
    db->busy = callback;
    db->busyArg = arg;
    sqlite3_busy_handler(db->db, callback ? BusyTrampoline : NULL, callback ? db : NULL);
}

/* Left out of a test build to show that the loader insists on every entry point. */
#ifndef SQLITE2_WITHOUT_BUSY_TIMEOUT
void sqlite_busy_timeout(sqlite* db, int milliseconds) {
    if (db) {
        db->busy = NULL;
        sqlite3_busy_timeout(db->db, milliseconds);
    }
}
#endif

const char* sqlite_libversion(void) {
    /* The interface level this library offers; SQLite 3 underneath keeps its own version. */
    return "2.8.17";
}

const char* sqlite_libencoding(void) {
    return "UTF-8";
}

void sqlite_freemem(void* p) {
    sqlite3_free(p);
}

const char* sqlite_error_string(int code) {
    switch (code) {
    case 0:
        return "not an error";
    case 1:
        return "SQL logic error or missing database";
    case 2:
        return "internal SQLite implementation flaw";
    case 3:
        return "access permission denied";
    case 4:
        return "callback requested query abort";
    case 5:
        return "database is locked";
    case 6:
        return "database table is locked";
    case 7:
        return "out of memory";
    case 8:
        return "attempt to write a readonly database";
    case 9:
        return "interrupted";
    case 10:
        return "disk I/O error";
    case 11:
        return "database disk image is malformed";
    case 12:
        return "table or record not found";
    case 13:
        return "database is full";
    case 14:
        return "unable to open database file";
    case 15:
        return "database locking protocol failure";
    case 16:
        return "table contains no data";
    case 17:
        return "database schema has changed";
    case 18:
        return "too much data for one table row";
    case 19:
        return "constraint failed";
    case 20:
        return "datatype mismatch";
    case 21:
        return "library routine called out of sequence";
    case 22:
        return "kernel lacks large file support";
    case 23:
        return "authorization denied";
    case 24:
        return "auxiliary database format error";
    case 25:
        return "bind index out of range";
    case 26:
        return "file is encrypted or is not a database";
    default:
        return "unknown error";
    }
}
