// The web page (--http [ADDRESS:]PORT): one page, live, and a JSON API.
//
// The web side is a report sink (mpt1327/event.h): it copies each record
// into its own state under a short lock and returns at once, so decoding
// never waits for a browser.  What it keeps is bounded whatever the clients
// do:
//
//   - a ring of the last WEB_RING records, each with its sequence number,
//     from which every Server-Sent Events client is served at its own pace;
//     a client that falls more than WEB_RING records behind skips to the
//     oldest one kept (and is told so), one whose socket takes no data for
//     WEB_WRITE_SECONDS is dropped; each client looks for new records every
//     WEB_STREAM_MS, so the sink wakes no thread, and holds at most
//     WEB_STREAM_BYTES of them while it writes;
//   - the systems heard, the calls open now and the channels that carried
//     a call (one entry each);
//   - the last WEB_EVENTS records worth seeing (short data, emergencies,
//     moves, broadcasts), the last WEB_STATS statistics records of each
//     receiver and, unless a database answers for it, the last WEB_HISTORY
//     ended calls.
//
// The server (src/web/server.cpp, cpp-httplib) answers on a fixed pool of
// WEB_THREADS threads; at most WEB_SSE_CLIENTS event streams are served at
// once, so that the page's other requests always find a thread.
//
//   /                    the page
//   /api/state           systems, calls now, channels
//   /api/calls?unit=&channel=&offset=&limit=   ended calls, newest first
//   /api/stats           statistics records, with the calls of each
//   /api/events          Server-Sent Events: every record as it is made
//   /recordings/NAME     a recorded call from the --record folder
#pragma once

#include <string>
#include <vector>

#include "events/query.h"
#include "mpt1327/event.h"

const int WEB_RING = 4096;
const int WEB_EVENTS = 200;
const int WEB_STATS = 1440;
const int WEB_HISTORY = 10000;
const int WEB_THREADS = 240;
const int WEB_SSE_CLIENTS = 200;
const int WEB_WRITE_SECONDS = 5;
const int WEB_STREAM_MS = 250;  // an event stream client looks for new records this often
const int WEB_STREAM_BYTES = 16384;  // and writes at most this much at a time

extern const bool web_available;  // false in a build without the HTTP server

// Split "PORT", "ADDRESS:PORT" or "[IPv6]:PORT" (127.0.0.1 by default):
// false when it is none of these or the port is not 1 to 65535.
bool web_split(const char* where, std::string* address, int* port);

// Start serving: register the sink, bind and listen on a thread of its own.
// 0, or -1 after saying why on standard error (the port is taken, the
// address is not one of this machine, a build without the server).
// USER and PASSWORD of [http] in the settings file, when set, are asked for
// (basic authentication); record_dir (may be null) is the --record folder.
int web_open(const std::string& address, int port, const char* record_dir);

// At the end of the input, after the last records: give the event stream
// clients the time to take them (up to 3 * WEB_STREAM_MS, when there are any).
void web_finish();

// Stop serving and forget the clients (tests; the program just exits).
void web_close();

// The call history the page and /api/calls read: web_memory_history (the
// last WEB_HISTORY call_end records seen by the sink) unless another is set
// before web_open.  A history record may carry its wall-clock time as a
// text field "time" (as json_utc writes it); the API writes it in the
// record's time place.
extern call_history_fn web_call_history;
long long web_memory_history(const call_query_t& query, std::vector<event_t>* calls);

// [http] USER and PASSWORD, read from the settings file by web_open.
extern std::string web_user, web_password;
std::string web_base64(const std::string& in);

// ---- the state, for the server and the tests -------------------------------

// The sink: copy the record into the state.  Never blocks for long.
void web_sink(const event_t& e);

// The JSON bodies of /api/state, /api/stats and /api/calls.
std::string web_state_json();
std::string web_stats_json();
std::string web_calls_json(const call_query_t& query);

// One record as the API and the event stream write it: as --json does, with
// "source" after "time" when it came from another receiver.
std::string web_record_json(const event_t& e, long long unix_ms);

// The records of the ring after sequence number *seq (0: from the oldest
// kept), in order, each as an event stream message, up to
// WEB_STREAM_BYTES; *seq becomes the last one's.  When there is none, waits
// wait_ms (cut short when closing) and looks again.  Sets *skipped when
// records the client had not seen were dropped.
void web_ring_after(unsigned long long* seq, std::string* messages, bool* skipped, int wait_ms);
unsigned long long web_ring_last();
// Wake every waiting client (closing).
void web_ring_wake();

// The path of a recording to serve for NAME, or "" when NAME is not a
// plain file name of a regular file inside dir (after symbolic links).
std::string web_recording_path(const std::string& dir, const std::string& name);

// The page's files, built into the program (src/web/page/).
struct web_file_t {
    const char* name;  // "index.html", "app.js", "style.css"
    const char* type;  // its media type
    const unsigned char* data;
    unsigned long size;
};
extern const web_file_t web_files[];
extern const int web_file_count;

// Forget everything (tests).
void web_reset();
