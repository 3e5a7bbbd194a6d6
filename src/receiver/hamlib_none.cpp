// RADIO 3 in a build without Hamlib: nothing is tuned, and the user is told
// so once.
#include "receiver.h"

static receiver_trouble_t no_hamlib;

void hamlib_setfreq(double)
{
    receiver_trouble(&no_hamlib, "RADIO 3", "this build has no Hamlib");
}

void hamlib_wait()
{
}

void hamlib_reset()
{
    no_hamlib = receiver_trouble_t{};
}
