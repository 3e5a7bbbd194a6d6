// libsqlite3, loaded for --db: the functions the call database uses.
#include <sqlite3.h>

#include "db/db.h"
#include "loader/loaded.h"

static loaded_library_t sqlite = {SQLITE3_SONAME, "SQLite", nullptr, false};

bool db_library()
{
    return loaded_open(&sqlite);
}

extern "C" {
LOADED_FORWARD(sqlite, int, sqlite3_open_v2,
               (const char* file, sqlite3** db, int flags, const char* vfs), (file, db, flags, vfs))
LOADED_FORWARD(sqlite, int, sqlite3_close_v2, (sqlite3 * db), (db))
LOADED_FORWARD(sqlite, int, sqlite3_busy_timeout, (sqlite3 * db, int ms), (db, ms))
LOADED_FORWARD(sqlite, int, sqlite3_exec,
               (sqlite3 * db, const char* sql, int (*cb)(void*, int, char**, char**), void* arg,
                char** error),
               (db, sql, cb, arg, error))
LOADED_FORWARD(sqlite, int, sqlite3_prepare_v2,
               (sqlite3 * db, const char* sql, int n, sqlite3_stmt** stmt, const char** tail),
               (db, sql, n, stmt, tail))
LOADED_FORWARD(sqlite, int, sqlite3_finalize, (sqlite3_stmt * stmt), (stmt))
LOADED_FORWARD(sqlite, int, sqlite3_reset, (sqlite3_stmt * stmt), (stmt))
LOADED_FORWARD(sqlite, int, sqlite3_step, (sqlite3_stmt * stmt), (stmt))
LOADED_FORWARD(sqlite, int, sqlite3_bind_int64, (sqlite3_stmt * stmt, int k, sqlite3_int64 v),
               (stmt, k, v))
LOADED_FORWARD(sqlite, int, sqlite3_bind_double, (sqlite3_stmt * stmt, int k, double v), (stmt, k, v))
LOADED_FORWARD(sqlite, int, sqlite3_bind_null, (sqlite3_stmt * stmt, int k), (stmt, k))
LOADED_FORWARD(sqlite, int, sqlite3_bind_text,
               (sqlite3_stmt * stmt, int k, const char* text, int n, void (*del)(void*)),
               (stmt, k, text, n, del))
LOADED_FORWARD(sqlite, int, sqlite3_column_count, (sqlite3_stmt * stmt), (stmt))
LOADED_FORWARD(sqlite, int, sqlite3_column_type, (sqlite3_stmt * stmt, int k), (stmt, k))
LOADED_FORWARD(sqlite, sqlite3_int64, sqlite3_column_int64, (sqlite3_stmt * stmt, int k), (stmt, k))
LOADED_FORWARD(sqlite, double, sqlite3_column_double, (sqlite3_stmt * stmt, int k), (stmt, k))
LOADED_FORWARD(sqlite, const unsigned char*, sqlite3_column_text, (sqlite3_stmt * stmt, int k),
               (stmt, k))
LOADED_FORWARD(sqlite, const char*, sqlite3_errmsg, (sqlite3 * db), (db))
LOADED_FORWARD(sqlite, const char*, sqlite3_errstr, (int rc), (rc))
LOADED_FORWARD(sqlite, void, sqlite3_free, (void* p), (p))
}
