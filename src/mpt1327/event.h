// Structured reports: the fields of every reported message, named once.
//
// Each report family fills report_event beside the text it formats into
// ptext (event_begin, then one call per field), and report_line hands the
// record to every sink after the console and log line.  The call tracker
// publishes its call_start and call_end records the same way.  Sinks (the
// JSON writer, the MQTT publisher) render a record; none of them parses the
// report text, and no family formats for a sink.
//
// Records are made a few times per second at most, never per sample.
#pragma once

#include <string>
#include <vector>

enum event_kind_t { EVENT_INT, EVENT_REAL, EVENT_TEXT, EVENT_BOOL, EVENT_NULL, EVENT_LIST };

struct event_field_t {
    std::string name;   // the protocol's field name in lower case: "prefix", "ident1", "channel"
    event_kind_t kind;
    long long i;        // EVENT_INT, EVENT_BOOL (0 or 1)
    double real;        // EVENT_REAL
    int decimals;       // EVENT_REAL: the decimals the console prints it with
    std::string text;   // EVENT_TEXT
    std::vector<std::string> items = {};  // EVENT_LIST: texts
};

struct event_t {
    std::string type;               // "GTC", "CLEAR", "ALOHA", ..., "call_start", "call_end", "stats"
    double offset = 0;              // seconds of input since the start
    int sys = -1;                   // system identity, or -1 before the first one
    std::string source;             // the receiver that heard it: empty for this program's
                                    // own decoder, a receiver's name for records taken in
                                    // from other receivers (mqtt: input)
    std::vector<event_field_t> fields;
};

// The record of the report being formatted; empty type when none.
extern event_t report_event;

void event_begin(const char* type);
void event_int(const char* name, long long value);
void event_real(const char* name, double value, int decimals);
void event_text(const char* name, const char* value);
void event_bool(const char* name, bool value);
void event_null(const char* name);
void event_list(const char* name, const std::vector<std::string>& items);

// Publish report_event, if one was begun, and forget it.  report_line does
// this after the console line; a report printed otherwise calls it itself.
void event_report();

// While withheld, report records are dropped instead of published: the
// console and log still print every line, but the sinks hear only of the
// message that was sent.  Set around the report steps that read a codeword
// as something it is not (a GTC read by the category steps).
extern bool event_withheld;
// A decoder that only listens (--all trying a carrier, src/sdr/all.cpp):
// its records reach no sink and its calls no listener.
extern bool event_silent;

// Field lookup for sinks and tests; 0 when absent.
const event_field_t* event_field(const event_t& e, const char* name);

// A sink receives every published record.
typedef void (*event_sink_t)(const event_t& e);
void event_add_sink(event_sink_t sink);
void event_remove_sinks();

// Stamp offset and sys on e (from the input clock and the current
// identity) and hand it to every sink.
void event_publish(event_t& e);

// Hand e to every sink as it is: a record taken in from another receiver,
// which carries its own offset, sys and source.
void event_deliver(event_t& e);

// Set while names are given (--aliases): adds the names of the parties to
// a record before any sink sees it.
extern void (*event_amend)(event_t& e);

// ---- input time ------------------------------------------------------------

// Samples of input at the run loop's rate (10800 Hz) up to and including
// the one at the current bit instant.  Set by the run loop at every bit
// instant, so that recordings and live audio keep the same time.
extern unsigned long long input_sample;
const int INPUT_RATE = 10800;
inline double input_seconds()
{
    return (double)input_sample / INPUT_RATE;
}

// Work that follows input time rather than codewords (periodic statistics,
// time-outs): the run loop calls every ticker after each buffer of samples,
// with input_sample set to the samples read so far.  Never per sample.
typedef void (*input_ticker_t)();
void input_add_ticker(input_ticker_t ticker);
void input_remove_tickers();
void input_tick();

// Work for the end of the input (a recording or a pipe that ends), after
// the open calls have ended: the last statistics, sending what is queued.
void input_add_end(input_ticker_t at_end);
void input_end();
