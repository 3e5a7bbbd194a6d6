// The call history, as the web page and the JSON API ask for it.
//
// A history keeps the call_end records it has seen (the call database when
// --db is given, otherwise the web side's own bounded list) and answers
// queries for one page of them, newest first.
#pragma once

#include <vector>

#include "mpt1327/event.h"

struct call_query_t {
    long long unit = -1;     // a unit or group: ident1 or ident2 equal to it, -1 any
    long long channel = -1;  // a channel, -1 any
    long long offset = 0;    // calls to skip, newest first
    long long limit = 50;    // calls to return at most
};

// Fill calls with one page of call_end records, newest first, and return the
// number of calls that match the query in all (for paging); -1 when the
// history cannot be read (after saying why once).  Called from the web
// server's threads: an implementation locks what it shares.
typedef long long (*call_history_fn)(const call_query_t& query, std::vector<event_t>* calls);
