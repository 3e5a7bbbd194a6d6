// Records every receiver command the decoder gives, so that tests can count
// the follow rules that fired and see the frequencies they asked for.
//
// The test program is linked with the linker wrapping setfreq: each call
// lands here first, is recorded, and then goes on to the real setfreq when
// the test has named a port device (portdev) or, for RADIO 3, a rig on
// 127.0.0.1, so the receiver commands
// themselves are unchanged and no test ever writes to the machine's own
// serial ports.  Where the linker cannot
// wrap, nothing is recorded and setfreq_probe_active is false.
#pragma once

#include <vector>

struct setfreq_call_t {
    double mhz;
    long console_pos;  // bytes written to the console before the call (-1 if unknown)
};

extern const bool setfreq_probe_active;
extern std::vector<setfreq_call_t> setfreq_calls;
