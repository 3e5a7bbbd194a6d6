// One narrow-band FM channel cut out of the captured band.
//
// The band is cut down in two decimating stages whose filters are shifted
// to the channel (a band-pass at the channel's offset): the first runs at
// the input rate and computes only every d1-th output, so no mixer runs at
// the input rate.  What is left of the offset at the low rate (around
// 32 kHz) is mixed down there, FM-demodulated, freed of DC and resampled to
// the rate asked for.  Every buffer is made when the channel is opened;
// processing a block allocates nothing.
#pragma once

#include "sdr.h"

// Rates and filters shared by every channel of one input rate.
struct channel_plan_t {
    double rate = 0;     // input, Hz
    int d1 = 1, d2 = 1;  // decimation of the two stages
    double rate2 = 0;    // rate / (d1 * d2): demodulation rate
    int block = 0;       // input samples per block: a multiple of d1 * d2, about 10 ms
    int taps1 = 0;       // length of the first stage's filter: the history a block needs
};

// Plan for an input rate: 0, or -1 when the rate cannot be served.
int channel_plan(channel_plan_t* plan, double rate);

struct channel_t;

// How much of the band either side of a channel's centre is kept.  Voice
// keeps 12.5 kHz: a 25 kHz channel's speech, or a 12.5 kHz channel's with
// the receiver well off frequency.  A control channel keeps 8.5 kHz and
// rejects from 12 kHz: its FFSK (2.5 kHz deviation, tones to 1.8 kHz) lies
// within 4.3 kHz, which leaves room for a receiver 20 ppm off at 420 MHz,
// while a channel beside it on a 12.5 kHz raster, as strong, no longer
// reaches the discriminator and takes it over.  The narrower band also
// lets less noise into the discriminator.
enum channel_width_t { CHANNEL_VOICE, CHANNEL_CONTROL };

// A channel offset_hz from the centre, delivering audio at out_rate, where
// 1.0 is a deviation of 2.5 kHz.  With squelch, blocks without a carrier
// (the discriminator's output is then loud wide-band noise) are silent.
channel_t* channel_open(const channel_plan_t& plan, double offset_hz, double out_rate,
                        bool squelch, channel_width_t width = CHANNEL_VOICE);
void channel_close(channel_t* c);
// Move the channel (the control channel of a new system).
void channel_retune(channel_t* c, double offset_hz);

// The most output samples one block can give.
int channel_max_out(const channel_t* c);

// Process n new input samples in[0..n) (n a multiple of d1 * d2, at most
// plan.block); in[-taps1+1 .. -1] hold the samples before them.  Writes the
// audio to out and returns its count.
int channel_process(channel_t* c, const iq_sample_t* in, int n, float* out);
// Whether the last block processed carried a signal (the squelch was open);
// always true for a channel without squelch.
bool channel_carrier(const channel_t* c);
