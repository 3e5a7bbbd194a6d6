// Demodulators, side by side behind one seam.
//
// DEMOD=0 (the default) is the tone correlator of corr.cpp: a hard decision
// per bit, handed to the framing with mpt1327(bit, state).  The per-sample
// path of it stays in corr.cpp as it is.
//
// DEMOD=1 is built for sensitivity: its front end hands every bit with its
// reliability to soft_bit(), and the soft framing finds the slots and
// decodes each codeword from all 64 reliabilities before routing it to the
// same message families.
//
// A reliability is a log-likelihood ratio in natural units:
//
//     llr = ln( P(bit = 1 | received) / P(bit = 0 | received) )
//
// positive for a 1 (the 1200 Hz tone), its size how sure the front end is.
// For a coherent detector in white noise llr = 2 y / sigma^2, with y the
// matched filter's output scaled so that a clean bit gives +-1.
#pragma once

#include "mpt1327/mpt1327.h"

// One bit from the DEMOD=1 front end.  input_sample is set to the bit's
// instant before the call, as the correlator does.
void soft_bit(float llr, mpt1327_t* state);

// The end of the input: whatever the soft framing holds is decided.
void soft_end(mpt1327_t* state);

// Forget what the soft framing holds (tests, and a new input).
void soft_reset();
