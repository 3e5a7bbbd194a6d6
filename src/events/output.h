// Machine-readable output: every report record, call event and statistics
// record as a JSON line, to a file or standard output (--json) and to an
// MQTT broker (--mqtt).  The decoder and the call tracker publish records
// (mpt1327/event.h); this is the sink that renders each of them once.
#pragma once

// --json PATH: append JSON Lines to PATH, "-" standard output (then the
// console report is not printed).  0, or -1 after saying why.
int events_json(const char* path);

// Another sink (the database) wants the statistics records even without
// --json and --mqtt: set before events_start.
extern bool events_stats_wanted;

// Register the sink, the statistics every 60 s of input and the work at the
// end of the input.  Call once, after events_json and mqtt_open.
void events_start();
// Another sink (the web page) wants the statistics records even without
// --json and --mqtt; set before events_start.
extern bool events_stats_wanted;

// One statistics record covering the input since the previous one (every
// STATS_SECONDS of input, and the rest at the end of the input).
const int STATS_SECONDS = 60;
void events_stats();
// The last statistics of a decoder that --all added (src/sdr/all.cpp), at
// the end of the input or when its control channel went quiet: as at the
// end of the input, without finishing MQTT, which the first decoder does.
void events_stats_end();
// A decoder --all adds later than the start: its statistics count from now.
void events_stats_restart();

// Forget every output (tests).
void events_reset();
