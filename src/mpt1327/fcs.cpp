// Codeword check: the MPT 1327 (63,48) cyclic code and the overall parity.
//
//   bits 1-48   information
//   bits 49-63  check bits of the cyclic code, bit 63 sent inverted
//   bit  64     even parity over all 64 bits
//
// Generator polynomial x^15 + x^14 + x^13 + x^11 + x^4 + x^2 + 1; its low
// fifteen bits are 0x6815.  The result is 0 for a valid codeword; bit 15 flags a
// parity error and bits 14-0 hold the remainder of the division.
#include "mpt1327.h"

int getbit(int n, unsigned short* words)
{
    return (words[n / 16] >> (15 - n % 16)) & 1;
}

unsigned short mpt1327_fcs(mpt1327_t* state)
{
    unsigned short r = 0;
    int parity = 0;
    for (int i = 0; i < 64; i++) {
        int b = getbit(i, state->cw);
        parity ^= b;
        if (i == 62)
            b ^= 1;  // the last check bit is transmitted inverted
        if (i <= 62) {
            r = (unsigned short)(r << 1);
            if (((r >> 15) & 1) != b)
                r ^= 0x6815;
        }
    }
    r &= 0x7fff;
    if (parity)
        r |= 0x8000;
    return r;
}
