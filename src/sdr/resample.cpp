// Output time t lies between input samples: with N the newest sample and
// m = (len - 1) / 2, t = N - m + phi, 0 <= phi < 1, and the output is
// sum over j of x[N - j] h(j - m + phi), h the low-pass as a function of
// time in input samples (zero beyond m either side).  Phase b holds
// h(j - m + b / 256) for j = 0 .. len - 1.
#include "resample.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "dsp_math.h"

namespace {

const int phases = 256;
const int64_t one = (int64_t)1 << 32;
const float fraction_scale = 1.0f / (float)(1 << 24);  // of the bits below a phase

resample_design_t* design_for(double ratio, resample_band_t kind)
{
    auto* d = new resample_design_t;
    d->ratio = ratio;
    d->kind = kind;
    // The narrower of the two rates' bands (of the input rate).
    double band = ratio < 1 ? ratio : 1;
    int m;
    double cutoff;
    if (kind == RESAMPLE_CLEAN) {
        // Flat to 0.4 of it, 60 dB down from its edge (half the output's
        // rate when decimating).
        unsigned n = dsp_lowpass_length(0.1 * band, 60);
        m = (int)(n + 1) / 2;
        cutoff = 0.45 * band;
    } else {
        // Cut at 0.65 of it, 7 of the band's samples either side.
        m = (int)std::ceil(7 / band);
        cutoff = 0.65 * band;
    }
    if (m < 2)
        m = 2;
    d->len = 2 * m + 1;
    d->step = (int64_t)std::floor(4294967296.0 / ratio + 0.5);
    // h sampled every 1/256 of an input sample: 2 m 256 + 1 taps, each
    // phase summing to about 1.
    std::vector<double> h = dsp_lowpass((unsigned)(2 * m * phases + 1), cutoff / phases, 60);
    d->taps.assign((size_t)(phases + 1) * (size_t)d->len, 0.0f);
    for (int b = 0; b <= phases; b++)
        for (int j = 0; j < d->len; j++) {
            size_t k = (size_t)j * phases + (size_t)b;
            if (k < h.size())
                d->taps[(size_t)b * (size_t)d->len + (size_t)j] = (float)(h[k] * phases);
        }
    return d;
}

}  // namespace

const resample_design_t* resample_design(double ratio, resample_band_t kind)
{
    // Kept for the life of the process (never destroyed at exit).
    static auto* designed = new std::vector<resample_design_t*>;
    for (const resample_design_t* d : *designed)
        if (d->ratio == ratio && d->kind == kind)
            return d;
    designed->push_back(design_for(ratio, kind));
    return designed->back();
}

void resample_open(resample_state_t* r, double ratio, int max_in, resample_band_t kind)
{
    r->design = resample_design(ratio, kind);
    r->window.assign((size_t)(r->design->len - 1 + max_in), 0.0f);
    r->next = one;  // the first output at the first sample's phase 0
}

int resample_max_out(const resample_state_t* r, int n)
{
    return (int)((n * one) / r->design->step) + 2;
}

int resample(resample_state_t* r, const float* in, int n, float* out)
{
    const resample_design_t& d = *r->design;
    const int len = d.len;
    float* x = r->window.data() + (len - 1);
    std::copy(in, in + n, x);
    int written = 0;
    int64_t next = r->next;
    for (int i = 0; i < n; i++) {
        next -= one;  // sample i is now the newest
        const float* newest = x + i;
        while (next < one) {
            int b = (int)(next >> 24);
            float mu = (float)(next & 0xffffff) * fraction_scale;
            const float* g0 = d.taps.data() + (size_t)b * (size_t)len;
            const float* g1 = g0 + len;
            float y0 = 0, y1 = 0;
            for (int j = 0; j < len; j++) {
                y0 += newest[-j] * g0[j];
                y1 += newest[-j] * g1[j];
            }
            out[written++] = y0 + mu * (y1 - y0);
            next += d.step;
        }
    }
    r->next = next;
    std::copy(x + n - (len - 1), x + n, r->window.data());
    return written;
}
