// The soft framing of DEMOD=1.  For now each bit's sign is its value and
// the framing is the one of the correlator.
#include "demod.h"

void soft_bit(float llr, mpt1327_t* state)
{
    mpt1327(llr > 0 ? 1 : 0, state);
}

void soft_end(mpt1327_t* state)
{
    mpt1327_end(state);
}

void soft_reset()
{
}
