// Builds without liquid-dsp and libsndfile (the Windows build) have no IQ
// input: sdr: and iq: say so.
#include <cstdio>

#include "hunt.h"
#include "sdr.h"

sdr_options_t sdr_options;
const int sdr_can_demodulate = 0;
const int sdr_can_open_devices = 0;

int iq_init(audio_setup_t*)
{
    std::fprintf(stderr, "marrowit: this build has no SDR or IQ input\n");
    return -1;
}

int iq_read_begin()
{
    return -1;
}

int iq_read(unsigned char**)
{
    return 0;
}

int iq_read_float(float**)
{
    return 0;
}

// No band to search without IQ input.
int hunt_init(const channel_plan_t&)
{
    return -1;
}

double hunt_process(const iq_sample_t*, int, bool* held)
{
    *held = false;
    return -1;
}

bool hunt_replay(const iq_sample_t**, int*)
{
    return false;
}

void hunt_close() {}
