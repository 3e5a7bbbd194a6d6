// The call tracker: which voice calls are open, on which channel, since when.
//
// Every voice GTC opens a call on its channel; the CLEAR for that channel,
// a new allocation of the channel, or the end of the input closes it.  Time
// is input time (samples), so a recording behaves as live audio does.
//
// Listeners (the SDR call recorder, the return to the control channel after
// a time-out) hear of every start and end before the call_start and
// call_end records are published to the report sinks, so that a listener
// can add to the call what the record carries (the recording's file name).
#pragma once

#include <string>
#include <vector>

struct call_t {
    unsigned channel = 0;
    double freq = 0;         // MHz, as the GTC report prints it
    unsigned prefix = 0, ident1 = 0, ident2 = 0;
    bool followed = false;   // the target rules sent the receiver to it
    int sys = -1;            // system identity, -1 before the first
    unsigned long long start_sample = 0;
    std::string file;        // set by a listener that records the call
};

enum call_end_t { CALL_CLEAR, CALL_REALLOCATED, CALL_INPUT_END, CALL_TIMEOUT, CALL_STOPPED };
// "clear", "reallocated", "input_end", "timeout", "stopped" (the program was asked to stop)
const char* call_end_name(call_end_t why);

struct call_listener_t {
    void (*start)(call_t* call) = nullptr;
    void (*end)(call_t* call, call_end_t why) = nullptr;
};
void calls_add_listener(const call_listener_t& l);

// Decoder side.
void calls_gtc(const call_t& call);           // a voice GTC (start_sample and sys are stamped)
void calls_clear(unsigned channel);            // the CLEAR for a channel
void calls_end(unsigned channel, call_end_t why);
void calls_end_all(call_end_t why);            // e.g. at the end of the input

// The calls open now, oldest first.
const std::vector<call_t>& calls_open();

// Forget every call and listener (tests).
void calls_reset();
