#include "setfreq_probe.h"

#include <cstdio>

#include "mpt1327/mpt1327.h"

std::vector<setfreq_call_t> setfreq_calls;

#ifdef MARROWIT_SETFREQ_PROBE

const bool setfreq_probe_active = true;

// setfreq(double) as the linker names it.
extern "C" void __real__Z7setfreqd(double mhz);

extern "C" void __wrap__Z7setfreqd(double mhz)
{
    long pos = -1;
    if (console) {
        std::fflush(console);
        pos = std::ftell(console);
    }
    setfreq_calls.push_back({mhz, pos});
    // Only a test that names its own port (a pseudo-terminal) or its own
    // rigctld on the loopback address reaches a receiver: the defaults
    // would be the machine's first serial port and whatever listens on
    // localhost:4532.
    if ((rx != 3 && !portdev.empty()) || (rx == 3 && rigpath.compare(0, 10, "127.0.0.1:") == 0))
        __real__Z7setfreqd(mhz);
}

#else

const bool setfreq_probe_active = false;

#endif
