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
    // Only a test that names its own port (a pseudo-terminal) reaches a
    // device: the default port number would be the machine's first serial
    // port.
    if (!portdev.empty())
        __real__Z7setfreqd(mhz);
}

#else

const bool setfreq_probe_active = false;

#endif
