// The run loop and the FFSK demodulator.
//
// MPT 1327 signals at 1200 baud in fast FSK: 1200 Hz for a 1, 1800 Hz for a
// 0, phase continuous.  At 10800 samples per second one bit is 9 samples,
// exactly one cycle of 1200 Hz and one and a half of 1800 Hz.
//
// For every sample the correlator keeps, for each tone, the sine and cosine
// correlation of the last 9 samples as running sums, and decides which tone
// is stronger.  At each bit instant the majority of the last 9 decisions is
// the bit; the pattern of those decisions moves the next instant.
#include "corr.h"
#include "audio/stop.h"

#include <cmath>
#include <cstdlib>
#include <vector>
#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "audio/audio.h"
#include "audio/samples.h"
#include "demod/coherent.h"
#include "demod/demod.h"
#include "mpt1327/calls.h"
#include "mpt1327/correct.h"
#include "mpt1327/decoder.h"
#include "sdr/sdr.h"
#include "mpt1327/event.h"
#include "mpt1327/mpt1327.h"
#include "mpt1327/summary.h"

int corr_init(corr_t* c, int sample_rate, const comm_info_t* info)
{
    if (info->baud <= 0 || info->table_bits <= 0 || info->table_bits > 16 ||
        sample_rate / info->baud < 1 || sample_rate / info->baud > CORR_MAX_SAMPLES_PER_BIT) {
        std::fprintf(stderr, "marrowit: cannot demodulate %d baud at %d samples per second\n",
                     info->baud, sample_rate);
        return -1;
    }
    c->samples_per_bit = sample_rate / info->baud;
    c->table_len = c->samples_per_bit * info->table_bits;
    for (int k = 0; k < c->samples_per_bit; k++)
        c->prod[k].sin = c->prod[k].cos = tone_pair_t{0.0, 0.0};

    const double two_pi = 6.283185307179586;
    for (int i = 0; i < c->table_len; i++) {
        double angle0 = ((double)i / (double)c->samples_per_bit) * two_pi *
                        ((double)info->freq0 / (double)info->baud);
        double angle1 = ((double)i / (double)c->samples_per_bit) * two_pi *
                        ((double)info->freq1 / (double)info->baud);
        c->sin0[i] = std::sin(angle0);
        c->cos0[i] = std::cos(angle0);
        c->sin1[i] = std::sin(angle1);
        c->cos1[i] = std::cos(angle1);
        c->ref[i].sin = tone_pair_t{c->sin0[i], c->sin1[i]};
        c->ref[i].cos = tone_pair_t{c->cos0[i], c->cos1[i]};
    }
    for (int s = 0; s < 256; s++)
        c->level[s] = (s - 128.0) / 128.0;
    c->countdown = (unsigned char)c->samples_per_bit;
    c->oldest_mask = (unsigned short)(1u << (c->samples_per_bit - 1));
    c->history = 0;
    c->ones = 0;
    c->phase = 0;
    c->slot = 0;
    c->sum_sin = tone_pair_t{0.0, 0.0};
    c->sum_cos = tone_pair_t{0.0, 0.0};
    c->samples_done = 0;
    return 0;
}

// Square roots of both lanes, each correctly rounded as sqrt() rounds it.
static inline tone_pair_t sqrt_pair(tone_pair_t v)
{
#ifdef __SSE2__
    return _mm_sqrt_pd(v);
#else
    return tone_pair_t{std::sqrt(v[0]), std::sqrt(v[1])};
#endif
}

void corr_process(corr_t* c, FILE* stream, const unsigned char* samples, int n)
{
    // Everything the loop touches in locals, so that nothing is reloaded
    // after the stores into the rings.
    tone_pair_t sum_sin = c->sum_sin, sum_cos = c->sum_cos;
    corr_quad_t* const __restrict prod = c->prod;
    const corr_quad_t* const __restrict ref = c->ref;
    const double* const __restrict level = c->level;
    int phase = c->phase, slot = c->slot;
    unsigned history = c->history;
    unsigned ones = c->ones;
    unsigned countdown = c->countdown;
    const unsigned oldest_mask = c->oldest_mask;
    const int spb = c->samples_per_bit, len = c->table_len;

    for (int i = 0; i < n; i++) {
        double x = level[samples[i]];  // (s - 128.0) / 128.0

        // Slide the window: drop the products of the sample leaving it, add
        // this sample's products with both references.
        tone_pair_t ps = ref[phase].sin * x;
        tone_pair_t pc = ref[phase].cos * x;
        sum_sin -= prod[slot].sin;
        sum_cos -= prod[slot].cos;
        prod[slot].sin = ps;
        prod[slot].cos = pc;
        sum_sin += ps;
        sum_cos += pc;

        phase = phase + 1 == len ? 0 : phase + 1;
        slot = slot + 1 == spb ? 0 : slot + 1;

        ones -= (history & oldest_mask) != 0;
        history = (history << 1) & 0xffff;

        // energy = sqrt(sum_sin^2 + sum_cos^2) per tone; the stronger tone decides.
        tone_pair_t energy = sqrt_pair(sum_sin * sum_sin + sum_cos * sum_cos);
        unsigned decision = energy[1] - energy[0] > 0;
        history |= decision;
        ones += decision;

        if (--countdown == 0) {
            input_sample = c->samples_done + (unsigned)i + 1;
            countdown = (unsigned char)sym_recovery_1200(stream, (unsigned short)history,
                                                         (unsigned char)ones, spb);
        }
    }
    c->samples_done += (unsigned)n;

    c->sum_sin = sum_sin;
    c->sum_cos = sum_cos;
    c->phase = phase;
    c->slot = slot;
    c->history = (unsigned short)history;
    c->ones = (unsigned char)ones;
    c->countdown = (unsigned char)countdown;
}

int sym_recovery_1200(FILE* stream, unsigned short history, unsigned char ones,
                      int samples_per_bit)
{
    (void)stream;
    unsigned char bit = ones > 4 ? 1 : 0;
    // After a 1, look outward from the centre of the window (bit 4) for the
    // nearest 0 decision; its distance sets the move, the newer side moves
    // earlier.
    int move = 0;
    if (bit) {
        if ((history & 0x28) != 0x28)
            move = history & 0x08 ? 3 : -3;
        else if ((history & 0x44) != 0x44)
            move = history & 0x04 ? 2 : -2;
        else if ((history & 0x82) != 0x82)
            move = history & 0x02 ? 1 : -1;
    }
    correct_note_bit(ones, samples_per_bit, move);
    mpt1327(bit, &mpt1327_state);
    return samples_per_bit + move;
}

// What the run loop chose, for the further decoders of --all.
static const comm_info_t* run_info;
static bool run_soft, run_floats;

// One decoder's demodulator: the tone correlator, or DEMOD=1's coherent
// front end (run_soft), the run loop's as well as each of --all's.
struct demod_chain_t {
    corr_t c;
    coherent_t coherent;
    std::vector<unsigned char> samples;
    unsigned long long first_sample;  // input time of its first sample
};

// A block of samples into the demodulator, floats (IQ input to DEMOD=1)
// or unsigned 8-bit; the input time is then the demodulator's.
static void demod_feed(demod_chain_t* d, FILE* stream, const unsigned char* u8, const float* f, int n)
{
    if (f) {
        coherent_process_float(&d->coherent, f, n);
        input_sample = d->first_sample + d->coherent.n;
    } else if (run_soft) {
        coherent_process_u8(&d->coherent, u8, n);
        input_sample = d->first_sample + d->coherent.n;
    } else {
        corr_process(&d->c, stream, u8, n);
        input_sample = d->c.samples_done;
    }
}

// The end of the input: what the decoder still holds is settled.
static void demod_settle(demod_chain_t* d)
{
    if (run_soft) {
        input_sample = d->first_sample + d->coherent.n;
        soft_end(&mpt1327_state);
    } else {
        input_sample = d->c.samples_done;
        mpt1327_end(&mpt1327_state);
    }
}

// The demodulator the run loop chose, starting at input time first_sample:
// 0, or -1 after a message.
static int demod_start(demod_chain_t* d, int sample_rate, unsigned long long first_sample)
{
    d->first_sample = first_sample;
    if (corr_init(&d->c, sample_rate, run_info) != 0)
        return -1;
    d->c.samples_done = first_sample;
    if (run_soft) {
        coherent_init(&d->coherent);
        d->coherent.first_sample = first_sample;
        if (run_floats)
            d->coherent.limit_tones = COHERENT_IQ_LIMIT;
    }
    return 0;
}

demod_chain_t* demod_chain_open(unsigned long long first_sample)
{
    if (!run_info)
        return nullptr;  // no run loop has chosen its demodulator
    demod_chain_t* d = new demod_chain_t;
    d->samples.resize(1024);  // blocks of IQ give about 108 samples at 10800 Hz
    // Its input time runs on from first_sample: the bit instants within
    // a block are stamped from the demodulators' own counts.
    if (demod_start(d, 10800, first_sample) != 0) {
        delete d;
        return nullptr;
    }
    return d;
}

// As iq_read and iq_read_float hand the run loop its samples (src/sdr/iq.cpp).
void demod_chain_block(demod_chain_t* d, float* audio, int n)
{
    if (run_floats) {
        for (int i = 0; i < n; i++)
            audio[i] *= 0.5f;
        demod_feed(d, nullptr, nullptr, audio, n);
    } else {
        if (d->samples.size() < (size_t)n)
            d->samples.resize((size_t)n);  // not for blocks of about 10 ms
        for (int i = 0; i < n; i++)
            d->samples[(size_t)i] = sample_to_u8(0.5f * audio[i]);
        demod_feed(d, nullptr, d->samples.data(), nullptr, n);
    }
    input_tick();
}

void demod_chain_end(demod_chain_t* d)
{
    demod_settle(d);
}

void demod_chain_close(demod_chain_t* d)
{
    delete d;
}

void corr(FILE* stream, comm_info_t* info)
{
    audio_setup_t setup;
    setup.channels = 1;
    setup.sample_rate = 10800;
    if (audio_init((char*)"/dev/dsp", &setup) != 0)
        std::exit(-1);

    mpt1327_setup();

    // DEMOD=1: the coherent front end and the soft framing take the samples
    // instead of the tone correlator (src/demod/); chosen once, at the start.
    // IQ input hands DEMOD=1 its samples before they are quantised to 8
    // bits, limited against the clicks of the FM discriminator near its
    // threshold instead (coherent.cpp).
    run_info = info;
    run_soft = demod == 1;
    run_floats = run_soft && audio_source.kind == AUDIO_IQ;
    static demod_chain_t first;
    if (demod_start(&first, setup.sample_rate, 0) != 0)
        std::exit(-1);
    if (run_soft)
        soft_reset();

    if (audio_read_begin() != 0)
        std::exit(-1);

    // IQ input: the state every further decoder (--all) and every decoder
    // trying a carrier (the hunter) starts from is the first's now.
    if (audio_source.kind == AUDIO_IQ)
        decoder_fresh();
    for (;;) {
        unsigned char* buffer = nullptr;
        float* float_buffer = nullptr;
        audio_dc_remove = dcremove != 0;  // DCREMOVE, as last read
        int n = run_floats ? audio_read_float(&float_buffer) : audio_read(&buffer);
        if (n == 0) {
            if (!audio_end_of_input())
                std::exit(-1);
            demod_settle(&first);
            calls_end_all(stop_requested() ? CALL_STOPPED : CALL_INPUT_END);
            input_end();
            summary_print(audio_source.kind == AUDIO_PIPE || audio_source.kind == AUDIO_UDP);
            std::exit(0);
        }
        demod_feed(&first, stream, buffer, float_buffer, n);
        input_tick();
    }
}
