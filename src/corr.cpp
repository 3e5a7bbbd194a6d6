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

#include <cmath>
#include <cstdlib>

#include "audio/audio.h"
#include "mpt1327/mpt1327.h"

static double* table(int n)
{
    double* t = (double*)std::calloc((size_t)n, sizeof(double));
    if (!t) {
        std::fprintf(stderr, "marrowit: out of memory\n");
        std::exit(-1);
    }
    return t;
}

int corr_init(corr_t* c, int sample_rate, const comm_info_t* info)
{
    if (info->baud <= 0 || info->table_bits <= 0 || sample_rate / info->baud < 1 ||
        sample_rate / info->baud > 16) {
        std::fprintf(stderr, "marrowit: cannot demodulate %d baud at %d samples per second\n",
                     info->baud, sample_rate);
        return -1;
    }
    c->samples_per_bit = sample_rate / info->baud;
    c->table_len = c->samples_per_bit * info->table_bits;
    c->sin0 = table(c->table_len);
    c->cos0 = table(c->table_len);
    c->sin1 = table(c->table_len);
    c->cos1 = table(c->table_len);
    c->prod_sin0 = table(c->samples_per_bit);
    c->prod_cos0 = table(c->samples_per_bit);
    c->prod_sin1 = table(c->samples_per_bit);
    c->prod_cos1 = table(c->samples_per_bit);

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
    }
    c->countdown = (unsigned char)c->samples_per_bit;
    c->oldest_mask = (unsigned short)(1u << (c->samples_per_bit - 1));
    c->history = 0;
    c->ones = 0;
    c->phase = 0;
    c->slot = 0;
    c->sum_sin0 = c->sum_cos0 = c->sum_sin1 = c->sum_cos1 = 0.0;
    return 0;
}

void corr_process(corr_t* c, FILE* stream, const unsigned char* samples, int n)
{
    // Work on locals so that the sums stay in registers across samples.
    double sum_sin0 = c->sum_sin0, sum_cos0 = c->sum_cos0;
    double sum_sin1 = c->sum_sin1, sum_cos1 = c->sum_cos1;
    int phase = c->phase, slot = c->slot;
    unsigned history = c->history;
    unsigned ones = c->ones;
    unsigned countdown = c->countdown;
    const unsigned oldest_mask = c->oldest_mask;
    const int spb = c->samples_per_bit, len = c->table_len;

    for (int i = 0; i < n; i++) {
        double x = (samples[i] - 128.0) / 128.0;

        sum_sin0 -= c->prod_sin0[slot];
        sum_cos0 -= c->prod_cos0[slot];
        sum_sin1 -= c->prod_sin1[slot];
        sum_cos1 -= c->prod_cos1[slot];
        double ps0 = c->sin0[phase] * x, pc0 = c->cos0[phase] * x;
        double ps1 = c->sin1[phase] * x, pc1 = c->cos1[phase] * x;
        c->prod_sin0[slot] = ps0;
        c->prod_cos0[slot] = pc0;
        c->prod_sin1[slot] = ps1;
        c->prod_cos1[slot] = pc1;
        sum_sin0 += ps0;
        sum_cos0 += pc0;
        sum_sin1 += ps1;
        sum_cos1 += pc1;

        phase = phase + 1 == len ? 0 : phase + 1;
        slot = slot + 1 == spb ? 0 : slot + 1;

        ones -= (history & oldest_mask) != 0;
        history = (history << 1) & 0xffff;

        double energy1 = std::sqrt(sum_sin1 * sum_sin1 + sum_cos1 * sum_cos1);
        double energy0 = std::sqrt(sum_sin0 * sum_sin0 + sum_cos0 * sum_cos0);
        unsigned decision = energy1 - energy0 > 0;
        history |= decision;
        ones += decision;

        if (--countdown == 0)
            countdown = (unsigned char)sym_recovery_1200(stream, (unsigned short)history,
                                                         (unsigned char)ones, spb);
    }

    c->sum_sin0 = sum_sin0;
    c->sum_cos0 = sum_cos0;
    c->sum_sin1 = sum_sin1;
    c->sum_cos1 = sum_cos1;
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
    mpt1327(bit, &mpt1327_state);
    if (!bit)
        return samples_per_bit;
    // Look outward from the centre of the window (bit 4) for the nearest 0
    // decision; its distance sets the move, the newer side moves earlier.
    if ((history & 0x28) != 0x28)
        return samples_per_bit + (history & 0x08 ? 3 : -3);
    if ((history & 0x44) != 0x44)
        return samples_per_bit + (history & 0x04 ? 2 : -2);
    if ((history & 0x82) != 0x82)
        return samples_per_bit + (history & 0x02 ? 1 : -1);
    return samples_per_bit;
}

void corr(FILE* stream, comm_info_t* info)
{
    audio_setup_t setup;
    setup.channels = 1;
    setup.sample_rate = 10800;
    if (audio_init((char*)"/dev/dsp", &setup) != 0)
        std::exit(-1);

    mpt1327_setup();

    static corr_t c;
    if (corr_init(&c, setup.sample_rate, info) != 0)
        std::exit(-1);

    if (audio_read_begin() != 0)
        std::exit(-1);

    for (;;) {
        unsigned char* buffer;
        int n = audio_read(&buffer);
        if (n == 0)
            std::exit(audio_end_of_input() ? 0 : -1);
        corr_process(&c, stream, buffer, n);
    }
}
