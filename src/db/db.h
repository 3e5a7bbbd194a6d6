// The call history in SQLite (--db FILE).
//
// A sink takes every record the decoder, the call tracker and the
// statistics publish (and those taken in from other receivers), and puts it
// in a queue; a writer thread of its own commits what has come about once a
// second, in one transaction, to a database in WAL mode.  Decoding never
// waits for the disk: the queue holds DB_QUEUE records at most, and a
// database that cannot be written (locked, read-only, corrupt, a full disk)
// is said once on standard error while decoding and every other output go
// on; the writer tries again every second, keeping what waits within the
// bound.
//
// Tables (see the README for their columns):
//   calls   one row per call_end record
//   events  every other record but the statistics: type, time, system,
//           source and the record's JSON line
//   stats   one row per statistics record (every 60 s of input), with the
//           calls that ended in it
// [db] KEEP_DAYS in the settings file (default 0: keep everything) deletes
// rows older than that many days at the start and every hour.
//
// SQLite is loaded when --db is used (src/loader/sqlite.cpp), so that a run
// without it maps nothing more.
#pragma once

#include <string>
#include <vector>

#include "events/query.h"
#include "mpt1327/event.h"

const int DB_QUEUE = 100000;      // records waiting for the writer at most
const int DB_BATCH = 5000;        // a transaction starts early with this many waiting
const int DB_FINISH_SECONDS = 10; // at the end of the input, for the last commit

extern const bool db_available;   // false in a build without SQLite's headers

// --db FILE: make SQLite available and read [db] KEEP_DAYS.  0, or -1
// after saying why.  The file itself is opened by the writer, so that a
// database in trouble costs a message, never the run.
int db_open(const char* path);
// Make libsqlite3 available (loaded on Linux): true, or false after saying why.
bool db_library();

// Register the sink and the work at the end of the input, and start the
// writer.  Call once, after db_open and events_start.
void db_start();

// Commit what waits and stop the writer (the end of the input; tests).
void db_finish();

// A recording is read as fast as the machine allows: with this set (a file
// or an IQ recording as the input), a full queue makes the decoder wait for
// the writer instead of losing records, unless the database is in trouble.
extern bool db_wait_for_room;

// The call history: call_end records (as event_t, with the fields of the
// live record) newest first, as call_history_fn describes.  Reads the
// database through a connection of its own; callable from any thread.
long long db_call_history(const call_query_t& query, std::vector<event_t>* calls);
// The same, with the wall-clock time (ms since 1970) each call ended.
long long db_call_history_times(const call_query_t& query, std::vector<event_t>* calls,
                                std::vector<long long>* end_ms);

// Forget everything (tests), after db_finish.
void db_reset();
