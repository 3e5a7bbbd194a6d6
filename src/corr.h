// FFSK demodulation: the run loop, the tone correlator and bit timing.
#pragma once

#include <cstdio>

// Demodulator parameters: bit rate, the tones of binary 0 and 1 (Hz), and
// the length of the reference tone tables in bit periods.
struct comm_info_t {
    int baud;
    int freq0;
    int freq1;
    int table_bits;
};

// The run loop.  Never returns: the process ends when the sample source
// fails (status -1) or, for a recording or a pipe, at its end (status 0).
void corr(FILE* stream, comm_info_t* info);

// Decide the bit at a bit instant, hand it to the decoder and return the
// number of samples to the next bit instant.
int sym_recovery_1200(FILE* stream, unsigned short history, unsigned char ones,
                      int samples_per_bit);

// Two doubles, one per tone: lane 0 the binary-0 tone (freq0), lane 1 the
// binary-1 tone (freq1).  The correlator works on both tones side by side;
// each lane's arithmetic is exactly the scalar arithmetic of that tone.
typedef double tone_pair_t __attribute__((vector_size(16)));

// Sine and cosine quantities of both tones together, so that one index
// reaches all four.
struct corr_quad_t {
    tone_pair_t sin;
    tone_pair_t cos;
};

// Limits of the tables: the per-sample decisions of one bit must fit the
// 16-bit history.
const int CORR_MAX_SAMPLES_PER_BIT = 16;
const int CORR_MAX_TABLE = 16 * CORR_MAX_SAMPLES_PER_BIT;

// The correlator's state: sliding-window quadrature correlation of the last
// samples_per_bit samples against both tones, and the per-sample decisions.
// Fixed-size, so that nothing is allocated.
struct corr_t {
    int samples_per_bit;
    int table_len;  // samples_per_bit * table_bits
    double sin0[CORR_MAX_TABLE], cos0[CORR_MAX_TABLE];  // reference tones
    double sin1[CORR_MAX_TABLE], cos1[CORR_MAX_TABLE];
    corr_quad_t ref[CORR_MAX_TABLE];         // {sin0[i], sin1[i]}, {cos0[i], cos1[i]}
    corr_quad_t prod[CORR_MAX_SAMPLES_PER_BIT];  // ring of products: {prod_sin0, prod_sin1},
                                                 // {prod_cos0, prod_cos1}
    tone_pair_t sum_sin;                 // {sum_sin0, sum_sin1}: running sums of the rings
    tone_pair_t sum_cos;                 // {sum_cos0, sum_cos1}
    double level[256];                   // sample value s as (s - 128.0) / 128.0
    int phase;                 // index into the reference tables
    int slot;                  // phase mod samples_per_bit: ring slot of this sample
    unsigned short history;    // per-sample decisions, bit 0 the newest
    unsigned short oldest_mask;
    unsigned char ones;        // 1 decisions among the last samples_per_bit
    unsigned char countdown;   // samples to the next bit instant
    unsigned long long samples_done;  // samples processed before this block
};

// Build the tables for a sample rate and parameters.  Returns 0, or -1
// (after a message) when the parameters cannot be served.
int corr_init(corr_t* c, int sample_rate, const comm_info_t* info);

// Run the per-sample step over a block of unsigned 8-bit samples.
void corr_process(corr_t* c, FILE* stream, const unsigned char* samples, int n);

// ---- further decoders (--all) ----------------------------------------------

// The demodulator of one further control channel, the same the run loop
// chose for the first (the tone correlator, or DEMOD=1's coherent front
// end), fed as the run loop feeds its own from IQ input.  The decoder
// context (mpt1327/decoder.h) must be the channel's while it runs.
struct demod_chain_t;
// first_sample: the input time (samples at 10800 Hz) of its first sample;
// nullptr before the run loop has chosen its demodulator.
demod_chain_t* demod_chain_open(unsigned long long first_sample);
// One block of the control channel's audio as the FM discriminator gives it
// (1.0 a deviation of 2.5 kHz); the audio is scaled in place.
void demod_chain_block(demod_chain_t* d, float* audio, int n);
// The end of the input: what the decoder still holds is settled.
void demod_chain_end(demod_chain_t* d);
void demod_chain_close(demod_chain_t* d);
