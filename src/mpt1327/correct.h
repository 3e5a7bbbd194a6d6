// Error correction and re-framing (CORRECT=1): the decoder's framing states
// beyond hunting and collecting, and the syndrome decoder they use.
// Internal to the decoder; see correct.cpp for the rules and their reasons.
#pragma once

#include "mpt1327.h"

// Framing states used only with CORRECT=1 (0 and 1 keep their meaning).
const unsigned char FRAMING_CORRECT_HUNTING = 2;
const unsigned char FRAMING_CORRECT_COLLECTING = 3;

// The register holds a sync word in its last 16 bits and the decoder is
// hunting from its start state: take over the framing for CORRECT=1.
void correct_sync(mpt1327_t* state);

// One bit in a CORRECT=1 framing state; false when the state is none of
// them (or CORRECT is 0), and the caller resets the framing to hunting.
bool correct_framing(mpt1327_t* state);

// Codeword bits (1 to 64) to flip so that the check of cw passes, for at
// most two errors: the number of bits (0 when the check passes already,
// -1 when no pattern of one or two errors explains the check result).
int correct_pattern(const unsigned short cw[4], int bits[2]);

// The families' entries the framing shares with the correcting states.
void framing_system(mpt1327_t* state);   // identity tracking, CCSC, DCSC
void framing_address(mpt1327_t* state);  // routing of an address codeword
