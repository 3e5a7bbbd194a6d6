// The receiver chosen by RADIO, and the trouble reporting all kinds share.
#include "receiver.h"

#include <cstdio>

#include "../mpt1327/decoder.h"
#include "../mpt1327/mpt1327.h"

void receiver_trouble(receiver_trouble_t* t, const char* who, const char* what)
{
    if (t->said)
        return;
    t->said = true;
    std::fprintf(stderr, "marrowit: %s: %s; the receiver is not being tuned\n", who, what);
}

std::string receiver_announced;

void receiver_tuning(const std::string& what)
{
    if (what == receiver_announced)
        return;
    receiver_announced = what;
    std::fprintf(stderr, "marrowit: tuning %s (RADIO=0 in [rs232] turns tuning off)\n", what.c_str());
}

void receiver_ok(receiver_trouble_t* t)
{
    t->said = false;
}

void setfreq(double mhz)
{
    if (mhz != mhz)  // a channel in no range of CHANMAP: never a command
        return;
    // One receiver: the first decoder's (--all decodes others beside it,
    // mpt1327/decoder.h), which follows its calls as without --all.
    if (decoder_current() != 0)
        return;
    if (rx == 1 || rx == 2)
        serial_setfreq(mhz);
    else if (rx == 3)
        hamlib_setfreq(mhz);
}
