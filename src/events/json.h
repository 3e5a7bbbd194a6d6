// JSON Lines rendering of report records.
//
// One record is one JSON object on one line:
//
//   {"time":"2026-12-07T07:25:03.123Z","offset":12.345,"sys":"0x1234","type":"GTC",
//    "prefix":12,"ident1":345,...}
//
// time is the wall clock (UTC, milliseconds), offset the input time in
// seconds, sys the identity as the console shows it (null before the first
// one), source the receiver a record taken in from another receiver came
// from (only for those: "source":"marrowit/north"), then the record's own fields in the order they were added.  Numbers
// are JSON numbers; a frequency keeps the decimals the console prints, so
// that it is the same value.  Texts are valid UTF-8 whatever the settings
// file holds: a byte that does not start a valid UTF-8 sequence is taken as
// Latin-1.
#pragma once

#include <string>

#include "mpt1327/event.h"

// Milliseconds since 1970-01-01 00:00:00 UTC.
long long json_now_ms();

// The wall clock of the record being handed to the sinks: now, or the time
// it was made when it was taken in from another receiver (mqtt: input sets
// json_record_ms while it hands a record over, 0 otherwise).
extern long long json_record_ms;
long long json_record_time();

// "2026-12-07T07:25:03.123Z"
std::string json_utc(long long unix_ms);

// Append text as a JSON string, quotes included.
void json_string(std::string* out, const std::string& text);

// The record as one line, without its line end (into *out, which keeps
// its memory from line to line).
void json_line(std::string* out, const event_t& e, long long unix_ms);
std::string json_line(const event_t& e, long long unix_ms);
