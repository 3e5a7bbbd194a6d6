// The coherent front end of DEMOD=1: samples in, one log-likelihood ratio
// per bit out (see coherent.cpp for the design and its reasons).
#pragma once

#include <cstdint>

// Samples kept of the complex baseband: the matched filter reaches 9
// samples either side of a symbol instant, the low-pass 16 back.
const int COHERENT_RING = 64;  // a power of two

// Symbols in the short window that tells a signal coming out of noise
// (see coherent.cpp).
const int COHERENT_RECENT = 32;  // a power of two
// Blocks of the lines' recent strength, which tells a signal coming out of
// louder noise.
const int COHERENT_LINE_RECENT = 8;  // a power of two

// A complex number as two doubles {re, im} side by side, so that both parts
// go through one vector instruction.
typedef double coherent_pair_t __attribute__((vector_size(16)));

struct coherent_t {
    // ---- tables (coherent_init) ----
    coherent_pair_t mix[36];          // e^{-j 2 pi 1500 n / 10800}: 36 samples, 5 cycles
    coherent_pair_t line[18];         // e^{j pi n / 9} as {cos, sin}: the 600 Hz lines of the squared signal
    coherent_pair_t line_swapped[18]; // ... as {sin, cos}
    double mf_cos[18], mf_sin[18];    // cos, sin(pi i / 18), taps i = -8 .. 9 of the matched filter
    double level_u8[256];             // unsigned 8-bit sample s as (s - 128) / 128

    // ---- per sample ----
    coherent_pair_t z[2 * COHERENT_RING];  // the baseband, z[n] at n & (RING - 1) and again
                                           // RING further
    coherent_pair_t a[COHERENT_RING];  // the first boxcar's output, same indexing
    coherent_pair_t s1;       // running sum of z over 7 samples (the first boxcar)
    coherent_pair_t s2;       // running sum of that over 9 samples (the second)
    double limit_tones;       // not 0: limit samples to this many times the tone's amplitude
    double limit;             // samples are limited to +-limit
    coherent_pair_t lp, lx;   // this block's sums of the squared signal w against the lines l:
                              // {wr lr, wi li} and {wr li, wi lr}
    int mix_phase;            // n mod 36
    int line_phase;           // (n - LINE_DELAY) mod 18
    int block_fill;           // samples in this block (9 a block)
    std::uint64_t n;          // samples processed
    std::uint64_t first_sample;  // input time of the first (0; --all's later decoders)

    // ---- per block: the two lines, smoothed, and their rotation ----
    double P_re, P_im, M_re, M_im;
    double Pu_re, Pu_im, Mu_re, Mu_im;  // the same as unit phasors
    bool lines_known;         // both lines have a direction
    double P_rot, M_rot;      // the lines' rotation per block (radians), tracked
    std::uint32_t blocks;     // blocks since the start or the lines' restart (the averages warm up)
    double strength[COHERENT_LINE_RECENT];  // |P| + |M| of the last blocks' sums
    int strength_at;          // the newest of them
    double strength_sum;      // their sum
    double strength_avg;      // ... averaged as the lines are
    std::uint32_t line_restarts;  // (for tests)

    // ---- per symbol ----
    double t_next;            // absolute sample position of the next symbol instant
    double period;            // samples per symbol, tracked (9 at an exact clock)
    std::uint64_t ready_at;   // the sample at which t_next's window is complete
    double c_re, c_im;        // the last symbol's reference phasor, e^{j theta} j^m
    double m1, m2;            // smoothed mean of |y| and of y^2 (the projections)
    double level;             // the mean |y| of the last few symbols
    double inner;             // smoothed (A - |y|)^2 of the symbols weaker than A
    double amp, noise;        // estimated symbol amplitude and noise variance of y
    double last_llr;          // the last symbol's LLR (positive: +1 on its axis)
    double last_y;            // and its projection
    bool last_bit;            // the bit before it, as decided
    double tilt;              // the tone balance: gain 1 + tilt at 1800 Hz, 1 - tilt at 1200 Hz
    std::uint32_t symbols;    // symbols since the start
    std::uint32_t moments;    // symbols in m1, m2, inner since the start or their restart
    double recent[COHERENT_RECENT];  // y of the last symbols, y of symbol k at k & (RECENT - 1)
    double recent1, recent2;  // the sums of their |y| and y^2
    std::uint32_t restarts;   // restarts of the moments (for tests)
    double last_timing_error; // samples, the last symbol's (for tests)

    // Where each bit goes: by default the soft framing (soft_bit with
    // mpt1327_state); tests and benches take the bits themselves.  The
    // bit's instant is already in input_sample when it is called.
    void (*sink)(float llr);
};

// Build the tables and start afresh, every bit going to sink (null: the
// soft framing).
void coherent_init(coherent_t* c, void (*sink)(float llr) = nullptr);

// Run over a block of samples: unsigned 8-bit as the audio path delivers
// them, or floats (full scale +-1; any level works) as the IQ path's FM
// discriminator makes them.  Each bit's instant, set in input_sample before
// the sink is called, is the count of samples read when it was decided.
void coherent_process_u8(coherent_t* c, const unsigned char* samples, int n);
void coherent_process_float(coherent_t* c, const float* samples, int n);

// The limit of the IQ path's samples, in tone amplitudes (see coherent.cpp).
const double COHERENT_IQ_LIMIT = 1.2;

// The default sink: the bit to the soft framing.
void coherent_to_framing(float llr);
