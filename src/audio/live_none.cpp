// Builds without a capture backend behave as a machine without a recording
// device.
#include <cstdio>
#include <cstring>

#include "audio.h"

int live_init(const char* device, audio_setup_t*)
{
    if (!device || !*device || std::strcmp(device, "/dev/dsp") == 0)
        device = "default";
    std::fprintf(stderr, "marrowit: capture device '%s': No recording devices found\n", device);
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
