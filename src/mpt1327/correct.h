// Error correction and re-framing (CORRECT=1): the framing states beyond
// hunting and collecting, and the syndrome decoder they use.  Internal to
// the decoder; see correct.cpp for the rules and their reasons.
#pragma once

#include <cstdint>

#include "mpt1327.h"

// With CORRECT=1 the framing states are: 0 hunting for sync words only,
// 1 collecting after an accepted system codeword, and these two:
const unsigned char FRAMING_CORRECT_HUNTING = 2;    // hunting, the next slot due
const unsigned char FRAMING_CORRECT_REFRAMING = 3;  // collecting after a failed one

// What the demodulator knew of each of the last 64 bits besides its value,
// one bit of each mask per received bit, aligned with the register (the
// newest bit lowest, as in cw[3]).  Kept for every bit; only CORRECT=1 reads
// them, at the end of a codeword.
struct bit_soft_t {
    std::uint64_t weak;      // the samples of the bit were split 7:2 or closer
    std::uint64_t doubtful;  // ... 6:3 or closer
    std::uint64_t split;     // split as closely as they can be (5:4)
    // How far the bit timing then moved earlier, or later: 0 to 3 samples,
    // bit 0 of the distance in [0], bit 1 in [1] (both: its farthest).
    std::uint64_t earlier[2], later[2];
};
extern bit_soft_t bit_soft;

// One bit: ones of samples_per_bit sample decisions were 1, and the bit
// timing moves the next bit instant by move samples.
inline void correct_note_bit(int ones, int samples_per_bit, int move)
{
    int margin = 2 * ones - samples_per_bit;  // odd: the votes never tie
    if (margin < 0)
        margin = -margin;
    bit_soft.weak = bit_soft.weak << 1 | (margin <= 5);
    bit_soft.doubtful = bit_soft.doubtful << 1 | (margin <= 3);
    bit_soft.split = bit_soft.split << 1 | (margin <= 1);
    unsigned earlier = move < 0 ? (unsigned)-move : 0, later = move > 0 ? (unsigned)move : 0;
    for (int k = 0; k < 2; k++) {
        bit_soft.earlier[k] = bit_soft.earlier[k] << 1 | (earlier >> k & 1);
        bit_soft.later[k] = bit_soft.later[k] << 1 | (later >> k & 1);
    }
}

// The register ends in a sync word found while hunting (state 0).
void correct_sync(mpt1327_t* state);

// The 64th bit of the window in state 1.
void correct_window_end(mpt1327_t* state);

// One bit in state 2.  Only the first bit, the bits where the next slot is
// due and sync words need the call; the others cost what hunting costs.
void correct_hunt(mpt1327_t* state);
inline void correct_hunting(mpt1327_t* state)
{
    if ((unsigned char)((state->nbits & 127) - 62) <= 4 || state->nbits == 1 || is_sync(state->cw[3]))
        correct_hunt(state);
}

// The end of the input: an error-free codeword held for a next system
// codeword that will not come is taken as if that one had come in its
// place, when its own window was placed.
void correct_end(mpt1327_t* state);

// One bit in state 3; false when the state is none of the correcting ones
// (or CORRECT is not 1), and the caller resets the framing to hunting.
bool correct_framing(mpt1327_t* state);

// Codeword bits (1 to 64) to flip so that the check of cw passes, for at
// most two errors: the number of bits (0 when the check passes already,
// -1 when no pattern of one or two errors explains the check result).
int correct_pattern(const unsigned short cw[4], int bits[2]);

// The families' entries the framing shares with the correcting states.
void framing_system(mpt1327_t* state);   // identity tracking, CCSC, DCSC
void framing_address(mpt1327_t* state);  // routing of an address codeword
