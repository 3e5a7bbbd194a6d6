// Codeword bit numbering shared by the decoder, the signal generator and the tests.
//
// An MPT 1327 codeword is 64 bits, numbered 1 to 64 in the order they are
// received.  The decoder's shift register keeps them in four 16-bit words:
//
//   word    cw[0]            cw[1]            cw[2]            cw[3]
//   bits    1 ........ 16    17 ....... 32    33 ....... 48    49 ....... 64
//           ^ MSB of cw[0]                                      LSB of cw[3] ^
//
// A field that spans several bits is read with its lowest-numbered bit as
// its most significant bit, so cw_bits(cw, 23, 25) is CAT with bit 23 on top.
#pragma once

#include <cstdint>

// Value of codeword bits first..last (1 <= first <= last <= 64, at most 32 bits wide).
inline unsigned cw_bits(const unsigned short* cw, int first, int last)
{
    std::uint64_t v = (std::uint64_t)cw[0] << 48 | (std::uint64_t)cw[1] << 32 |
                      (std::uint64_t)cw[2] << 16 | (std::uint64_t)cw[3];
    int width = last - first + 1;
    return (unsigned)((v >> (64 - last)) & ((std::uint64_t(1) << width) - 1));
}

// Store value into codeword bits first..last (the generator's and the tests' side).
inline void cw_set_bits(unsigned short* cw, int first, int last, unsigned value)
{
    for (int n = last; n >= first; --n, value >>= 1) {
        unsigned short mask = (unsigned short)(1u << (15 - (n - 1) % 16));
        if (value & 1)
            cw[(n - 1) / 16] |= mask;
        else
            cw[(n - 1) / 16] &= (unsigned short)~mask;
    }
}
