// The call history in SQLite: the sink, the writer thread and the queries.
#include "db/db.h"

#include <sqlite3.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <thread>
#include <tuple>

#include "events/json.h"
#include "events/output.h"
#include "mpt1327/decoder.h"
#include "mpt1327/ini.h"
#include "mpt1327/mpt1327.h"

const bool db_available = true;
bool db_wait_for_room;

namespace {

enum table_t { TABLE_CALLS, TABLE_EVENTS, TABLE_STATS };

// One record as the writer stores it.
struct row_t {
    table_t table;
    long long ms;      // wall clock of the record
    long long start_ms;  // calls: wall clock of the call's start record, or 0
    event_t e;         // calls and stats: the record (events: type, sys, source, offset)
    std::string json;  // events: the record's JSON line
};

std::string path;
long long keep_days;
bool started;

std::mutex queue_mutex;
std::condition_variable queue_cv;  // the writer waits for records or the stop
std::condition_variable room_cv;   // a decoder waits for room (db_wait_for_room)
std::deque<row_t> queue;
size_t held;                       // records queued or being written, at most DB_QUEUE
bool stopping;
bool writer_done;
std::atomic<bool> in_trouble;
std::atomic<unsigned long long> dropped;
bool full_said;

// ---- the writer's side ------------------------------------------------------

sqlite3* db;
sqlite3_stmt* insert_call;
sqlite3_stmt* insert_event;
sqlite3_stmt* insert_stats;
std::map<std::string, long long> calls_since_stats;  // by source
long long pruned_ms;

const char* schema =
    "PRAGMA journal_mode=WAL;"
    "PRAGMA synchronous=NORMAL;"
    "CREATE TABLE IF NOT EXISTS calls ("
    " id INTEGER PRIMARY KEY,"
    " start_time TEXT NOT NULL,"  // wall clock, UTC, ISO 8601 with milliseconds
    " end_time TEXT NOT NULL,"
    " start_offset REAL,"         // seconds of input since the start
    " end_offset REAL,"
    " duration REAL,"
    " sys TEXT,"                  // "0x1234", NULL before the first identity
    " channel INTEGER, freq REAL,"
    " prefix INTEGER, ident1 INTEGER, ident2 INTEGER,"
    " ident1_name TEXT, ident2_name TEXT,"
    " data INTEGER, followed INTEGER,"
    " ended TEXT,"                // clear, reallocated, input_end, timeout, stopped
    " file TEXT,"                 // the recording, NULL when none
    " source TEXT NOT NULL DEFAULT '');"  // '' this receiver, else the one it came from
    "CREATE INDEX IF NOT EXISTS calls_start ON calls(start_time);"
    "CREATE INDEX IF NOT EXISTS calls_ident1 ON calls(ident1);"
    "CREATE INDEX IF NOT EXISTS calls_ident2 ON calls(ident2);"
    "CREATE TABLE IF NOT EXISTS events ("
    " id INTEGER PRIMARY KEY,"
    " time TEXT NOT NULL, offset REAL, type TEXT NOT NULL, sys TEXT,"
    " source TEXT NOT NULL DEFAULT '', json TEXT NOT NULL);"
    "CREATE INDEX IF NOT EXISTS events_time ON events(time);"
    "CREATE TABLE IF NOT EXISTS stats ("
    " id INTEGER PRIMARY KEY,"
    " time TEXT NOT NULL, offset REAL, seconds REAL, sys TEXT,"
    " source TEXT NOT NULL DEFAULT '',"
    " syncs INTEGER, passed INTEGER, failed INTEGER, calls INTEGER, systems TEXT);"
    "CREATE INDEX IF NOT EXISTS stats_time ON stats(time);";

// Trouble is said once, until a commit gets through again.
std::mutex say_mutex;
bool trouble_said;

void trouble(const std::string& why)
{
    in_trouble = true;
    room_cv.notify_all();
    std::lock_guard<std::mutex> lock(say_mutex);
    if (trouble_said)
        return;
    trouble_said = true;
    std::fprintf(stderr,
                 "marrowit: database %s: %s; calls and events are not being stored (decoding goes "
                 "on, trying again)\n",
                 path.c_str(), why.c_str());
}

void recovered()
{
    in_trouble = false;
    std::lock_guard<std::mutex> lock(say_mutex);
    if (trouble_said)
        std::fprintf(stderr, "marrowit: database %s: written again\n", path.c_str());
    trouble_said = false;
}

std::string sys_text(int sys)
{
    char text[8];
    std::snprintf(text, sizeof text, "0x%04x", (unsigned)sys & 0xffff);
    return text;
}

void close_db()
{
    for (sqlite3_stmt** s : {&insert_call, &insert_event, &insert_stats}) {
        if (*s)
            sqlite3_finalize(*s);
        *s = nullptr;
    }
    if (db)
        sqlite3_close_v2(db);
    db = nullptr;
}

bool exec(const char* sql)
{
    char* error = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &error) == SQLITE_OK)
        return true;
    trouble(error ? error : sqlite3_errmsg(db));
    sqlite3_free(error);
    return false;
}

void prune(long long now_ms)
{
    if (keep_days <= 0 || now_ms - pruned_ms < 3600 * 1000LL)
        return;
    pruned_ms = now_ms;
    std::string before = json_utc(now_ms - keep_days * 86400000LL);
    std::string sql = "DELETE FROM calls WHERE start_time < '" + before +
                      "'; DELETE FROM events WHERE time < '" + before +
                      "'; DELETE FROM stats WHERE time < '" + before + "';";
    exec(sql.c_str());
}

bool open_db()
{
    if (db)
        return true;
    int rc = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE,
                             nullptr);
    if (rc != SQLITE_OK) {
        trouble(db ? sqlite3_errmsg(db) : sqlite3_errstr(rc));
        close_db();
        return false;
    }
    sqlite3_busy_timeout(db, 1000);
    const char* calls_sql =
        "INSERT INTO calls (start_time, end_time, start_offset, end_offset, duration, sys, "
        "channel, freq, prefix, ident1, ident2, ident1_name, ident2_name, data, followed, ended, "
        "file, source) VALUES (?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?)";
    const char* events_sql =
        "INSERT INTO events (time, offset, type, sys, source, json) VALUES (?,?,?,?,?,?)";
    const char* stats_sql =
        "INSERT INTO stats (time, offset, seconds, sys, source, syncs, passed, failed, calls, "
        "systems) VALUES (?,?,?,?,?,?,?,?,?,?)";
    if (!exec(schema) ||
        sqlite3_prepare_v2(db, calls_sql, -1, &insert_call, nullptr) != SQLITE_OK ||
        sqlite3_prepare_v2(db, events_sql, -1, &insert_event, nullptr) != SQLITE_OK ||
        sqlite3_prepare_v2(db, stats_sql, -1, &insert_stats, nullptr) != SQLITE_OK) {
        if (db && !in_trouble)
            trouble(sqlite3_errmsg(db));
        close_db();
        return false;
    }
    pruned_ms = 0;
    prune(json_now_ms());
    return true;
}

void bind_text(sqlite3_stmt* s, int k, const std::string& text)
{
    sqlite3_bind_text(s, k, text.data(), (int)text.size(), SQLITE_TRANSIENT);
}

void bind_sys(sqlite3_stmt* s, int k, int sys)
{
    if (sys < 0)
        sqlite3_bind_null(s, k);
    else
        bind_text(s, k, sys_text(sys));
}

void bind_field(sqlite3_stmt* s, int k, const event_t& e, const char* name)
{
    const event_field_t* f = event_field(e, name);
    if (!f || f->kind == EVENT_NULL)
        sqlite3_bind_null(s, k);
    else if (f->kind == EVENT_INT || f->kind == EVENT_BOOL)
        sqlite3_bind_int64(s, k, f->i);
    else if (f->kind == EVENT_REAL)
        sqlite3_bind_double(s, k, f->real);
    else if (f->kind == EVENT_TEXT)
        bind_text(s, k, f->text);
    else
        sqlite3_bind_null(s, k);
}

bool step(sqlite3_stmt* s)
{
    int rc = sqlite3_step(s);
    sqlite3_reset(s);
    if (rc != SQLITE_DONE) {
        trouble(sqlite3_errmsg(db));
        return false;
    }
    return true;
}

bool insert(const row_t& r, std::map<std::string, long long>* calls)
{
    const event_t& e = r.e;
    if (r.table == TABLE_CALLS) {
        const event_field_t* d = event_field(e, "duration");
        double duration = d && d->kind == EVENT_REAL ? d->real : 0;
        sqlite3_stmt* s = insert_call;
        long long end_offset_ms = std::llround(e.offset * 1000);
        long long duration_ms = std::llround(duration * 1000);
        bind_text(s, 1, json_utc(r.start_ms ? r.start_ms : r.ms - duration_ms));
        bind_text(s, 2, json_utc(r.ms));
        sqlite3_bind_double(s, 3, (double)(end_offset_ms - duration_ms) / 1000);
        sqlite3_bind_double(s, 4, (double)end_offset_ms / 1000);
        sqlite3_bind_double(s, 5, (double)duration_ms / 1000);
        bind_sys(s, 6, e.sys);
        int k = 7;
        for (const char* name : {"channel", "freq", "prefix", "ident1", "ident2", "ident1_name",
                                 "ident2_name", "data", "followed", "ended", "file"})
            bind_field(s, k++, e, name);
        bind_text(s, k, e.source);
        (*calls)[e.source]++;
        return step(s);
    }
    if (r.table == TABLE_EVENTS) {
        sqlite3_stmt* s = insert_event;
        bind_text(s, 1, json_utc(r.ms));
        sqlite3_bind_double(s, 2, (double)std::llround(e.offset * 1000) / 1000);
        bind_text(s, 3, e.type);
        bind_sys(s, 4, e.sys);
        bind_text(s, 5, e.source);
        bind_text(s, 6, r.json);
        return step(s);
    }
    sqlite3_stmt* s = insert_stats;
    bind_text(s, 1, json_utc(r.ms));
    sqlite3_bind_double(s, 2, (double)std::llround(e.offset * 1000) / 1000);
    bind_field(s, 3, e, "seconds");
    bind_sys(s, 4, e.sys);
    bind_text(s, 5, e.source);
    bind_field(s, 6, e, "syncs");
    bind_field(s, 7, e, "passed");
    bind_field(s, 8, e, "failed");
    sqlite3_bind_int64(s, 9, (*calls)[e.source]);
    (*calls)[e.source] = 0;
    std::string systems = "[";
    if (const event_field_t* f = event_field(e, "systems"))
        for (size_t k = 0; k < f->items.size(); k++) {
            if (k)
                systems += ",";
            json_string(&systems, f->items[k]);
        }
    bind_text(s, 10, systems + "]");
    return step(s);
}

// One transaction for everything that waits; false (rolled back) on trouble.
bool commit(const std::deque<row_t>& rows)
{
    if (!open_db())
        return false;
    std::map<std::string, long long> calls = calls_since_stats;
    if (!exec("BEGIN IMMEDIATE"))
        return false;
    for (const row_t& r : rows)
        if (!insert(r, &calls)) {
            sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
            return false;
        }
    if (!exec("COMMIT")) {
        sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
        return false;
    }
    calls_since_stats = calls;
    prune(json_now_ms());
    return true;
}

void writer()
{
    std::deque<row_t> rows;  // taken from the queue, not yet committed
    bool last = false;
    while (!last) {
        {
            std::unique_lock<std::mutex> lock(queue_mutex);
            queue_cv.wait_for(lock, std::chrono::seconds(1),
                              [] { return stopping || queue.size() >= (size_t)DB_BATCH; });
            last = stopping;
            while (!queue.empty()) {
                rows.push_back(std::move(queue.front()));
                queue.pop_front();
            }
        }
        if (rows.empty())
            continue;
        if (commit(rows)) {
            recovered();
            std::lock_guard<std::mutex> lock(queue_mutex);
            held -= rows.size();
            rows.clear();
            room_cv.notify_all();
        }
    }
    if (!rows.empty()) {
        std::lock_guard<std::mutex> lock(queue_mutex);
        dropped += rows.size();
    }
    close_db();
    std::lock_guard<std::mutex> lock(queue_mutex);
    writer_done = true;
    room_cv.notify_all();
}

// ---- the decoder's side -----------------------------------------------------

// The wall clock of every open call's start record, by receiver, decoder
// (--all decodes several systems, whose channel numbers are their own:
// mpt1327/decoder.h) and channel.
std::map<std::tuple<std::string, int, long long>, long long> call_started;

long long channel_of(const event_t& e)
{
    const event_field_t* f = event_field(e, "channel");
    return f ? f->i : -1;
}

void sink(const event_t& e)
{
    row_t r;
    r.ms = json_record_time();
    r.start_ms = 0;
    if (e.type == "call_start")
        call_started[{e.source, decoder_current(), channel_of(e)}] = r.ms;
    if (e.type == "call_end") {
        r.table = TABLE_CALLS;
        r.e = e;
        auto started = call_started.find({e.source, decoder_current(), channel_of(e)});
        if (started != call_started.end()) {
            r.start_ms = started->second;
            call_started.erase(started);
        }
    } else if (e.type == "stats") {
        r.table = TABLE_STATS;
        r.e = e;
    } else {
        r.table = TABLE_EVENTS;
        r.e.type = e.type;
        r.e.offset = e.offset;
        r.e.sys = e.sys;
        r.e.source = e.source;
        json_line(&r.json, e, r.ms);
    }
    std::unique_lock<std::mutex> lock(queue_mutex);
    if (held >= (size_t)DB_QUEUE && db_wait_for_room && !in_trouble) {
        queue_cv.notify_one();
        room_cv.wait(lock, [] { return held < (size_t)DB_QUEUE || in_trouble || writer_done; });
    }
    if (held >= (size_t)DB_QUEUE || writer_done) {
        dropped++;
        if (!full_said && !in_trouble)  // else said already
            std::fprintf(stderr,
                         "marrowit: database %s: %d records wait for the disk; dropping records\n",
                         path.c_str(), DB_QUEUE);
        full_said = true;
        return;
    }
    if (held < (size_t)DB_QUEUE / 2)
        full_said = false;
    held++;
    queue.push_back(std::move(r));
    if (queue.size() >= (size_t)DB_BATCH)
        queue_cv.notify_one();
}

void at_end()
{
    db_finish();
}

}  // namespace

int db_open(const char* file)
{
    if (!db_library())
        return -1;
    path = file;
    ini_t ini;
    ini_load(&ini, settings_file);
    keep_days = ini_get_int(&ini, "db", "KEEP_DAYS", 0);
    return 0;
}

void db_start()
{
    if (started || path.empty())
        return;
    started = true;
    stopping = false;
    writer_done = false;
    event_add_sink(sink);
    input_add_end(at_end);
    std::thread(writer).detach();
}

void db_finish()
{
    if (!started)
        return;
    {
        std::lock_guard<std::mutex> lock(queue_mutex);
        stopping = true;
    }
    queue_cv.notify_all();
    std::unique_lock<std::mutex> lock(queue_mutex);
    room_cv.wait_for(lock, std::chrono::seconds(DB_FINISH_SECONDS), [] { return writer_done; });
    started = false;
}

void db_reset()
{
    db_finish();
    std::lock_guard<std::mutex> lock(queue_mutex);
    queue.clear();
    held = 0;
    dropped = 0;
    full_said = false;
    in_trouble = false;
    trouble_said = false;
    calls_since_stats.clear();
    call_started.clear();
    db_wait_for_room = false;
    path.clear();
}

// ---- the history --------------------------------------------------------------

long long db_call_history_times(const call_query_t& query, std::vector<event_t>* calls,
                                std::vector<long long>* end_ms)
{
    static std::mutex reading;
    static sqlite3* reader;
    static std::string reader_path;
    static bool said;
    std::lock_guard<std::mutex> lock(reading);
    if (reader && reader_path != path) {  // another database given since (tests)
        sqlite3_close_v2(reader);
        reader = nullptr;
    }
    calls->clear();
    if (end_ms)
        end_ms->clear();
    if (path.empty())
        return -1;
    auto fail = [&](const char* why) {
        if (!said)
            std::fprintf(stderr, "marrowit: database %s: cannot read the call history: %s\n",
                         path.c_str(), why);
        said = true;
        if (reader)
            sqlite3_close_v2(reader);
        reader = nullptr;
        return -1LL;
    };
    if (!reader) {
        int rc = sqlite3_open_v2(path.c_str(), &reader, SQLITE_OPEN_READONLY, nullptr);
        if (rc != SQLITE_OK)
            return fail(reader ? sqlite3_errmsg(reader) : sqlite3_errstr(rc));
        sqlite3_busy_timeout(reader, 1000);
        reader_path = path;
    }
    const char* where = " FROM calls WHERE (?1 < 0 OR ident1 = ?1 OR ident2 = ?1)"
                        " AND (?2 < 0 OR channel = ?2)";
    std::string count_sql = std::string("SELECT COUNT(*)") + where;
    std::string page_sql =
        std::string("SELECT CAST(round((julianday(end_time) - 2440587.5) * 86400000) AS INTEGER),"
                    " end_offset, sys, source, prefix, ident1, ident1_name, ident2, ident2_name,"
                    " channel, freq, data, followed, duration, ended, file") +
        where + " ORDER BY id DESC LIMIT ?3 OFFSET ?4";
    sqlite3_stmt* s = nullptr;
    if (sqlite3_prepare_v2(reader, count_sql.c_str(), -1, &s, nullptr) != SQLITE_OK)
        return fail(sqlite3_errmsg(reader));
    sqlite3_bind_int64(s, 1, query.unit);
    sqlite3_bind_int64(s, 2, query.channel);
    long long total = 0;
    if (sqlite3_step(s) == SQLITE_ROW)
        total = sqlite3_column_int64(s, 0);
    sqlite3_finalize(s);
    if (sqlite3_prepare_v2(reader, page_sql.c_str(), -1, &s, nullptr) != SQLITE_OK)
        return fail(sqlite3_errmsg(reader));
    sqlite3_bind_int64(s, 1, query.unit);
    sqlite3_bind_int64(s, 2, query.channel);
    sqlite3_bind_int64(s, 3, query.limit);
    sqlite3_bind_int64(s, 4, query.offset);
    auto text = [&](int k) {
        const unsigned char* t = sqlite3_column_text(s, k);
        return t ? std::string((const char*)t) : std::string();
    };
    int rc;
    while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
        event_t e;
        e.type = "call_end";
        e.offset = sqlite3_column_double(s, 1);
        e.sys = sqlite3_column_type(s, 2) == SQLITE_NULL
                    ? -1
                    : (int)std::strtol(text(2).c_str(), nullptr, 16);
        e.source = text(3);
        auto add_int = [&](const char* name, int k) {
            e.fields.push_back(event_field_t{name, EVENT_INT, sqlite3_column_int64(s, k), 0, 0, {}});
        };
        auto add_name = [&](const char* name, int k) {
            if (sqlite3_column_type(s, k) != SQLITE_NULL)
                e.fields.push_back(event_field_t{name, EVENT_TEXT, 0, 0, 0, text(k)});
        };
        add_int("prefix", 4);
        add_int("ident1", 5);
        add_name("ident1_name", 6);
        add_int("ident2", 7);
        add_name("ident2_name", 8);
        add_int("channel", 9);
        e.fields.push_back(event_field_t{"freq", EVENT_REAL, 0, sqlite3_column_double(s, 10), 4, {}});
        e.fields.push_back(event_field_t{"data", EVENT_BOOL, sqlite3_column_int64(s, 11) != 0, 0, 0, {}});
        e.fields.push_back(
            event_field_t{"followed", EVENT_BOOL, sqlite3_column_int64(s, 12) != 0, 0, 0, {}});
        e.fields.push_back(
            event_field_t{"duration", EVENT_REAL, 0, sqlite3_column_double(s, 13), 3, {}});
        e.fields.push_back(event_field_t{"ended", EVENT_TEXT, 0, 0, 0, text(14)});
        add_name("file", 15);
        calls->push_back(std::move(e));
        if (end_ms)
            end_ms->push_back(sqlite3_column_int64(s, 0));
    }
    sqlite3_finalize(s);
    if (rc != SQLITE_DONE)
        return fail(sqlite3_errmsg(reader));
    return total;
}

long long db_call_history(const call_query_t& query, std::vector<event_t>* calls)
{
    return db_call_history_times(query, calls, nullptr);
}
