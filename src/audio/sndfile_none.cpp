// Builds without libsndfile cannot read recordings; raw samples on standard
// input still work.
#include <cstdio>

#include "audio.h"

const int audio_can_read_files = 0;

int file_init(const char* path, audio_setup_t*)
{
    std::fprintf(stderr,
                 "marrowit: %s: this build cannot read recordings; pipe raw samples to "
                 "'marrowit -' instead\n",
                 path);
    return -1;
}

int file_read_begin()
{
    return -1;
}

int file_read(unsigned char**)
{
    return 0;
}

void file_close()
{
}
