// A build without a sound output library: --play is not in it.
#include "play.h"

const int play_available = 0;

int play_open(const char*, int, std::string* error)
{
    *error = "not in this build";
    return -1;
}

int play_write(const short*, int, std::string* error)
{
    *error = "not in this build";
    return -1;
}

void play_close() {}
