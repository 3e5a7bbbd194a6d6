// Builds without UDP audio input.
#include <cstdio>

#include "audio.h"

const int audio_can_receive_udp = 0;

int udp_init(const char* spec, raw_format_t, int, audio_setup_t*)
{
    std::fprintf(stderr, "marrowit: udp:%s: UDP audio input is not part of this build\n", spec);
    return -1;
}

int udp_read_begin()
{
    return -1;
}

int udp_read(unsigned char**)
{
    return 0;
}
