// Changing a channel's audio from its demodulation rate to the rate asked
// for, by any ratio: a windowed-sinc low-pass sampled at 256 phases between
// input samples, the output between two phases interpolated linearly.  The
// filter is the program's own design (dsp_math.h) and the output's time a
// 32.32 fixed-point count of input samples, so that every build gives the
// same bits.
#pragma once

#include <cstdint>
#include <vector>

// How much of the band the filter keeps, of the narrower of the two rates'
// bands (half the output's rate when decimating).  Clean: flat to 0.4 of
// it and 60 dB down from its edge, nothing folding into the output's band
// (recorded speech).  Wide: cut at 0.65 of it with a short filter, what lies
// just above half the output's rate folding back in: the control channel's
// decoder gets more codewords out of weak FFSK with that (on generated
// captures at the edge of decoding, some 15% more than with the clean one).
enum resample_band_t { RESAMPLE_CLEAN, RESAMPLE_WIDE };

// The filter of one ratio: shared by every resampler of that ratio and band.
struct resample_design_t {
    double ratio = 1;         // output rate / input rate
    resample_band_t kind = RESAMPLE_CLEAN;
    int len = 0;              // taps of a phase (odd): the input samples each output uses
    int64_t step = 0;         // input samples between outputs, times 2^32
    std::vector<float> taps;  // phase b's taps at b * len, 257 phases (256 is 0's, a sample on)
};

// The design for a ratio (made once, kept for the life of the process).
const resample_design_t* resample_design(double ratio, resample_band_t kind);

struct resample_state_t {
    const resample_design_t* design = nullptr;
    std::vector<float> window;  // len - 1 earlier samples, then the block
    int64_t next = 0;           // the next output's time after the newest sample, times 2^32
};

// A resampler for blocks of at most max_in samples.
void resample_open(resample_state_t* r, double ratio, int max_in, resample_band_t kind);
// The most output samples n input samples can give.
int resample_max_out(const resample_state_t* r, int n);
// Resample n (at most max_in) samples; returns the count written to out.
int resample(resample_state_t* r, const float* in, int n, float* out);
