// The soft-decision decoder and the soft framing of DEMOD=1: what the tests
// and the measuring tool reach besides soft_bit().  Internal to the decoder.
#pragma once

#include <cstdint>

#include "demod.h"

// ln 2: what one bit is worth (M_LN2 is not in every C library's math.h).
constexpr double SOFT_LN2 = 0.69314718055994530942;

// ---- the likelihood of a word ------------------------------------------------
//
// For 64 reliabilities llr[0] (bit 1) to llr[63] (bit 64) and a word c,
//
//     lambda(c) = ln P(llr | c sent) / P(llr | 64 random bits)
//               = sum over the bits of ln(2 P(bit i = c_i | llr_i))
//
// at most 64 ln 2 (every bit certain and as c says it); e^lambda is 1 on
// average for a word that has nothing to do with what was received.  A bit
// that c has against the sign of its llr costs about |llr| of it.

// lambda of a word (bit 1 the most significant bit of word).
double soft_lambda(const float llr[64], std::uint64_t word);

// ln(e^a + e^b), exact for large differences.
double soft_logaddexp(double a, double b);

// ---- the decoder ---------------------------------------------------------------

// What the decoder found for one window of 64 reliabilities.
struct soft_word_t {
    std::uint64_t word;  // the most likely codeword (bit 1 on top)
    double lambda;       // its lambda
    double others;       // ln of the sum of e^lambda over every other codeword
                         // found, and over the bound of those not searched
    double found;        // ... over those found only
    int flips;           // bits where it goes against the llr's sign
};

// Ordered-statistics decoding of the codeword (see soft_decode.cpp): the
// most likely codeword among those within soft_order flips of the most
// reliable basis, and what its competitors weigh.  No allocation.
void soft_decode(const float llr[64], soft_word_t* out);

// The error-free codeword with bits 17-32 chosen so that the check passes,
// keeping every other bit of word: the system codeword of an identity for
// a sync word.  0 when none.
std::uint64_t soft_fill_check(std::uint64_t word, int first, int last);

// ---- the rule: never a codeword that was not sent ---------------------------
//
// M = lambda(best) - ln( sum of e^lambda(other) + e^noise )
//
// is the log-odds of the best word against every other explanation of the
// reliabilities: the other codewords (and other alignments) and noise alone.
// A word is taken when M >= soft_threshold.  See soft_framing.cpp.
extern double soft_threshold;      // T, nats
extern double soft_address_noise;  // noise's weight against an address codeword, nats
extern int soft_order;             // flips of the most reliable basis searched (1-3)

double soft_margin(double lambda, double others, double noise);

// ---- observing the framing (tests and the measuring tool) ---------------------

// Called with every codeword the soft framing routes to the message
// families (system and address), the register holding it, and the
// margin it was taken with; 0: nobody watches.
extern void (*soft_watch)(const unsigned short cw[4], double margin);
