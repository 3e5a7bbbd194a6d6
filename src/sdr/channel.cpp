// Channels cut out of the captured band.
//
// Stage 1 (input rate): a low-pass shifted to the channel's offset w,
// evaluated only every d1-th sample.  For a carrier exp(j w n) it gives
// exp(j w d1 m): the channel now lies at w d1 of the lower rate.  Stage 2
// does the same at that rate with d2, after which an oscillator at the low
// rate removes what is left of the offset (w d1 d2).  Then: FM
// discriminator, DC blocker (the residual carrier offset of an uncorrected
// receiver comes out as DC), resampler.  The filters' designs, the
// oscillator, the discriminator and the resampler are this program's own
// arithmetic (dsp_math.h, resample.h), so that every build records a call
// to the same bits; the DC blocker is liquid-dsp's.
#include "channel.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <cstring>
#include <vector>

#include <liquid/liquid.h>

#include "dsp_math.h"
#include "resample.h"

namespace {

const double two_pi = 6.283185307179586;
const double deviation = 2500;     // Hz of deviation that make 1.0
const double channel_pass = 12500; // Hz each side kept of a voice channel (channel.h)
const double channel_stop = 20000; // Hz each side from which all is rejected
const double control_pass = 8500;  // the same of a control channel
const double control_stop = 12000;
const float attenuation = 60;      // dB

// A windowed-sinc low-pass of unit gain at DC.
std::vector<double> lowpass(double pass, double stop, double rate)
{
    unsigned n = dsp_lowpass_length((stop - pass) / rate, attenuation);
    if (n < 3)
        n = 3;
    return dsp_lowpass(n, (pass + stop) / 2 / rate, attenuation);
}

double wrap(double w)
{
    w = std::fmod(w, two_pi);
    if (w > two_pi / 2)
        w -= two_pi;
    if (w < -two_pi / 2)
        w += two_pi;
    return w;
}

// Complex taps for the inner products below, two taps to a vector: with
// samples x = {re0, im0, re1, im1}, a = {tr0, tr0, tr1, tr1} and
// b = {ti0, ti0, ti1, ti1}, the sums of x * a and x * b hold the four real
// products of which the complex sum is made at the end.  The package's
// liquid-dsp computes complex dot products without SIMD; this loop is
// three times as fast and runs once per filter output.
typedef float v4f __attribute__((vector_size(16)));

struct taps_t {
    std::vector<v4f> a, b;
    int len = 0;  // taps, even: a zero tap first when the filter's length is odd
};

// The taps of h shifted to w, tap i multiplying the sample i places after
// the oldest of the window.
void shifted(const std::vector<double>& h, double w, taps_t* t)
{
    size_t n = h.size();
    size_t len = n + (n & 1);
    std::vector<iq_sample_t> c(len, iq_sample_t(0, 0));
    for (size_t k = 0; k < n; k++) {
        double a = wrap(w * (double)k);
        c[len - 1 - k] = iq_sample_t((float)(h[k] * dsp_cos(a)), (float)(h[k] * dsp_sin(a)));
    }
    t->len = (int)len;
    t->a.resize(len / 2);
    t->b.resize(len / 2);
    for (size_t i = 0; i < len / 2; i++) {
        iq_sample_t p = c[2 * i], q = c[2 * i + 1];
        t->a[i] = v4f{p.real(), p.real(), q.real(), q.real()};
        t->b[i] = v4f{p.imag(), p.imag(), q.imag(), q.imag()};
    }
}

inline iq_sample_t dot(const taps_t& t, const iq_sample_t* x)
{
    const float* xf = reinterpret_cast<const float*>(x);
    v4f ra = {0, 0, 0, 0}, rb = {0, 0, 0, 0}, sa = {0, 0, 0, 0}, sb = {0, 0, 0, 0};
    const int pairs = t.len / 2;
    const v4f* a = t.a.data();
    const v4f* b = t.b.data();
    int i = 0;
    for (; i + 1 < pairs; i += 2) {  // two vectors in flight
        v4f v, u;
        std::memcpy(&v, xf + 4 * i, sizeof v);
        std::memcpy(&u, xf + 4 * i + 4, sizeof u);
        ra += v * a[i];
        rb += v * b[i];
        sa += u * a[i + 1];
        sb += u * b[i + 1];
    }
    for (; i < pairs; i++) {
        v4f v;
        std::memcpy(&v, xf + 4 * i, sizeof v);
        ra += v * a[i];
        rb += v * b[i];
    }
    v4f xa = ra + sa;  // {re tr, im tr, re tr, im tr} summed
    v4f xb = rb + sb;  // {re ti, im ti, re ti, im ti} summed
    return iq_sample_t((xa[0] + xa[2]) - (xb[1] + xb[3]), (xa[1] + xa[3]) + (xb[0] + xb[2]));
}

// The oscillator: a 32-bit phase, a turn being 2^32, whose exp(j phase) is
// the product of two tables' entries, one for its top 10 bits and one for
// the next 10 (the 12 bits left, rounded, are at most 3e-6 rad).
struct oscillator_t {
    uint32_t phase = 0;
    uint32_t step = 0;
};

const iq_sample_t* turn_table()
{
    // coarse[i] = exp(j 2 pi i / 2^10), fine[i] = exp(j 2 pi i / 2^20).
    static const std::vector<iq_sample_t> table = [] {
        std::vector<iq_sample_t> t(2048);
        for (int i = 0; i < 1024; i++) {
            double a = two_pi * i / 1024, b = two_pi * i / (1024.0 * 1024.0);
            t[(size_t)i] = iq_sample_t((float)dsp_cos(a), (float)dsp_sin(a));
            t[(size_t)i + 1024] = iq_sample_t((float)dsp_cos(b), (float)dsp_sin(b));
        }
        return t;
    }();
    return table.data();
}

// w radians a sample.
void oscillator_set(oscillator_t* o, double w)
{
    double turns = w / two_pi;
    turns -= std::floor(turns);
    o->step = (uint32_t)(uint64_t)std::floor(turns * 4294967296.0 + 0.5);
}

// x[i] *= exp(-j phase), the phase advancing a step each sample.
void oscillator_mix_down(oscillator_t* o, iq_sample_t* x, int n)
{
    const iq_sample_t* table = turn_table();
    uint32_t phase = o->phase;
    for (int i = 0; i < n; i++, phase += o->step) {
        uint32_t p = phase + (1u << 11);
        iq_sample_t c = table[p >> 22], f = table[1024 + ((p >> 12) & 1023)];
        float er = c.real() * f.real() - c.imag() * f.imag();
        float ei = c.real() * f.imag() + c.imag() * f.real();
        float xr = x[i].real(), xi = x[i].imag();
        x[i] = iq_sample_t(xr * er + xi * ei, xi * er - xr * ei);
    }
    o->phase = phase;
}

// The FM discriminator: the angle between successive samples, times gain.
// The first sample of a stream is compared with 0 and gives 0.
struct discriminator_t {
    iq_sample_t last = iq_sample_t(0, 0);
    double gain = 0;
};

void discriminate(discriminator_t* d, const iq_sample_t* x, int n, float* y)
{
    iq_sample_t last = d->last;
    for (int i = 0; i < n; i++) {
        // x[i] conj(last) in double: the products of floats are exact.
        double ar = x[i].real(), ai = x[i].imag(), br = last.real(), bi = last.imag();
        double re = ar * br + ai * bi, im = ai * br - ar * bi;
        y[i] = (float)(dsp_atan2(im, re) * d->gain);
        last = x[i];
    }
    d->last = last;
}

// Noise squelch.  Without a carrier the discriminator gives phase steps
// spread evenly over a full turn: sample-to-sample differences with a mean
// square of about 27 (in units of 2.5 kHz at 32 kHz).  Speech or a tone on
// a carrier changes by a small fraction of that from one sample to the
// next; a weak carrier's noise clicks lie between.  The measure does not
// depend on the receiver's gain.
bool carrierless(const float* y, int n)
{
    if (n < 2)
        return false;
    double sum = 0;
    for (int i = 1; i < n; i++) {
        double d = y[i] - y[i - 1];
        sum += d * d;
    }
    return sum / (n - 1) > 4.0;
}

}  // namespace

struct channel_t {
    channel_plan_t plan;
    std::vector<double> h1, h2;            // low-pass prototypes
    taps_t taps1, taps2;                   // shifted to the channel
    oscillator_t mixer;
    discriminator_t discriminator;
    iirfilt_rrrf dc = nullptr;
    resample_state_t resampler;
    std::vector<iq_sample_t> mid;  // stage 1 output with stage 2's history before it
    std::vector<iq_sample_t> low;  // stage 2 output
    std::vector<float> audio;      // demodulated at the low rate
    int max_out = 0;
    int settling = 0;  // low-rate samples until stage 2's window holds only signal
    bool squelch = false;
    bool carrier = true;  // the last block's
};

int channel_plan(channel_plan_t* plan, double rate)
{
    if (!(rate >= 48000) || rate > 100e6)
        return -1;
    plan->rate = rate;
    plan->d1 = (int)(rate / 240000);
    if (plan->d1 < 1)
        plan->d1 = 1;
    double rate1 = rate / plan->d1;
    plan->d2 = (int)(rate1 / 30000);
    if (plan->d2 < 1)
        plan->d2 = 1;
    plan->rate2 = rate1 / plan->d2;
    int step = plan->d1 * plan->d2;
    int k = (int)std::lround(rate * 0.01 / step);
    plan->block = (k < 1 ? 1 : k) * step;
    size_t n1 = plan->d1 == 1 ? 1 : lowpass(channel_stop, rate1 - channel_stop, rate).size();
    plan->taps1 = (int)(n1 + (n1 & 1));
    return 0;
}

channel_t* channel_open(const channel_plan_t& plan, double offset_hz, double out_rate,
                        bool squelch, channel_width_t width)
{
    channel_t* c = new channel_t;
    c->squelch = squelch;
    c->plan = plan;
    double rate1 = plan.rate / plan.d1;
    if (plan.d1 == 1)
        c->h1 = {1.0};
    else
        c->h1 = lowpass(channel_stop, rate1 - channel_stop, plan.rate);
    double pass = width == CHANNEL_CONTROL ? control_pass : channel_pass;
    double stop = width == CHANNEL_CONTROL ? control_stop : channel_stop;
    if (stop > plan.rate2 - pass)
        stop = plan.rate2 - pass;
    c->h2 = lowpass(pass, stop, rate1);
    size_t taps2 = c->h2.size() + (c->h2.size() & 1);
    // A deviation of 2.5 kHz turns the phase by 2 pi 2500 / rate2 a sample.
    c->discriminator.gain = plan.rate2 / (two_pi * deviation);
    c->dc = iirfilt_rrrf_create_dc_blocker((float)(two_pi * 20 / plan.rate2));
    int low = plan.block / (plan.d1 * plan.d2);
    resample_open(&c->resampler, out_rate / plan.rate2, low,
                  width == CHANNEL_CONTROL ? RESAMPLE_WIDE : RESAMPLE_CLEAN);
    c->mid.assign(taps2 - 1 + (size_t)(plan.block / plan.d1), iq_sample_t(0, 0));
    c->low.assign((size_t)low, iq_sample_t(0, 0));
    c->audio.assign((size_t)low, 0.0f);
    c->max_out = resample_max_out(&c->resampler, low);
    c->settling = (int)(taps2 / (size_t)plan.d2) + 2;
    channel_retune(c, offset_hz);
    return c;
}

void channel_retune(channel_t* c, double offset_hz)
{
    const channel_plan_t& p = c->plan;
    double w = two_pi * offset_hz / p.rate;
    shifted(c->h1, w, &c->taps1);
    double w1 = wrap(w * p.d1);
    shifted(c->h2, w1, &c->taps2);
    oscillator_set(&c->mixer, wrap(w1 * p.d2));
}

void channel_close(channel_t* c)
{
    if (!c)
        return;
    iirfilt_rrrf_destroy(c->dc);
    delete c;
}

int channel_max_out(const channel_t* c)
{
    return c->max_out;
}

int channel_process(channel_t* c, const iq_sample_t* in, int n, float* out)
{
    const int d1 = c->plan.d1, d2 = c->plan.d2;
    const int l1 = c->taps1.len, l2 = c->taps2.len;
    iq_sample_t* mid = c->mid.data() + (l2 - 1);

    // Stage 1: output m ends with input sample m d1 + d1 - 1.
    int n1 = n / d1;
    for (int m = 0; m < n1; m++)
        mid[m] = dot(c->taps1, in + m * d1 + d1 - l1);

    // Stage 2, the same on stage 1's output.
    int n2 = n1 / d2;
    for (int m = 0; m < n2; m++)
        c->low[(size_t)m] = dot(c->taps2, mid + m * d2 + d2 - l2);
    // Keep stage 2's history for the next block.
    std::copy(c->mid.begin() + n1, c->mid.begin() + n1 + (l2 - 1), c->mid.begin());

    oscillator_mix_down(&c->mixer, c->low.data(), n2);
    discriminate(&c->discriminator, c->low.data(), n2, c->audio.data());
    // Until then the window is part empty and passes a click: silence.
    for (int i = 0; i < n2 && c->settling > 0; i++, c->settling--)
        c->audio[(size_t)i] = 0;
    c->carrier = !(c->squelch && carrierless(c->audio.data(), n2));
    if (!c->carrier)
        std::fill(c->audio.begin(), c->audio.begin() + n2, 0.0f);
    iirfilt_rrrf_execute_block(c->dc, c->audio.data(), (unsigned)n2, c->audio.data());
    return resample(&c->resampler, c->audio.data(), n2, out);
}

bool channel_carrier(const channel_t* c)
{
    return c->carrier;
}
