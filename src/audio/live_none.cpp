// Builds without a capture backend behave as a machine without a recording
// device.
#include <cstdio>

#include "audio.h"

int live_init(const char*, audio_setup_t*)
{
    std::fputs("No recording devices found\n", stderr);
    return -1;
}

int live_read_begin()
{
    return -1;
}

int live_read(unsigned char**)
{
    return 0;
}
