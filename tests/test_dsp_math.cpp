// The channels' own arithmetic (src/sdr/dsp_math.h, resample.h): close to
// the C library's double functions, the same bits on every build (the sums
// below are fixed: this test runs in the Windows test program too), a
// resampler keeping its pass band and rejecting what would fold into it, and
// a channel built on them demodulating a clean FM tone to that tone.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "sdr/channel.h"
#include "sdr/dsp_math.h"
#include "sdr/resample.h"

namespace {

// FNV-1a over the bits of the doubles.
struct bits_t {
    uint64_t h = 14695981039346656037ull;
    void add(double v)
    {
        unsigned char b[8];
        std::memcpy(b, &v, 8);
        for (unsigned char c : b)
            h = (h ^ c) * 1099511628211ull;
    }
};

TEST(DspMath, SineAndCosineAsTheLibrarysDouble)
{
    const struct {
        double x, tolerance;
    } cases[] = {
        {0, 0}, {1e-300, 0}, {0.5, 1e-16}, {-0.785398163397448, 2e-16}, {0.785398163397449, 2e-16},
        {1.5707963267948966, 2e-16}, {3.141592653589793, 2e-16}, {-4.71238898038469, 4e-16},
        {6.283185307179586, 4e-16}, {100.25, 1e-15}, {-1234.5678, 1e-14}, {98174.77042468103, 1e-12},
        {-1e6 - 0.375, 1e-10},
    };
    for (const auto& c : cases) {
        EXPECT_NEAR(dsp_sin(c.x), std::sin(c.x), c.tolerance) << c.x;
        EXPECT_NEAR(dsp_cos(c.x), std::cos(c.x), c.tolerance) << c.x;
    }
    // Densely over the turns the filters and the oscillator's tables use.
    double worst = 0;
    for (int i = -20000; i <= 20000; i++) {
        double x = i * 0.0031;
        worst = std::fmax(worst, std::fabs(dsp_sin(x) - std::sin(x)));
        worst = std::fmax(worst, std::fabs(dsp_cos(x) - std::cos(x)));
    }
    EXPECT_LT(worst, 5e-16);
}

TEST(DspMath, AngleAsTheLibrarysAtan2)
{
    const struct {
        double y, x, angle;
    } axes[] = {
        {0, 0, 0},          {0, 1, 0},        {1, 0, dsp_pi / 2},       {0, -1, dsp_pi},
        {-1, 0, -dsp_pi / 2}, {1, 1, dsp_pi / 4}, {-1, -1, -3 * dsp_pi / 4}, {1e-40, -1e30, dsp_pi},
    };
    for (const auto& a : axes)
        EXPECT_NEAR(dsp_atan2(a.y, a.x), a.angle, 3e-10) << a.y << " " << a.x;
    // Every angle, at magnitudes from tiny to huge, within 3e-10 rad.
    double worst = 0;
    for (double r : {1e-30, 3e-5, 1.0, 7e3, 1e30})
        for (int i = 0; i < 7200; i++) {
            double a = (i - 3600) * (dsp_pi / 3600) + 1e-4;
            double y = r * std::sin(a), x = r * std::cos(a);
            worst = std::fmax(worst, std::fabs(dsp_atan2(y, x) - std::atan2(y, x)));
        }
    EXPECT_LT(worst, 3e-10);
}

TEST(DspMath, BesselI0AsTheLibrarys)
{
    for (double x : {0.0, 0.25, 1.0, 5.6526, 10.0, 31.5})
        EXPECT_NEAR(dsp_bessel_i0(x) / std::cyl_bessel_i(0.0, x), 1.0, 1e-14) << x;
}

// The channels' low-passes: length by Kaiser's estimate, symmetric, unit
// gain at DC, flat to the pass band's edge and, from the stop band's, down
// by about the 60 dB designed for (less for the short first stage).
TEST(DspMath, LowPassesHoldTheirBands)
{
    const struct {
        double rate, pass, stop;
        unsigned taps;
        double rejection;  // dB
    } designs[] = {
        {2048000, 20000, 236000, 34, 55},  // first stage of a 2.048 MHz capture
        {256000, 12500, 20000, 124, 59},   // voice, second stage
        {256000, 8500, 12000, 266, 61},    // control channel, second stage
        {240000, 8500, 12000, 250, 60},
    };
    for (const auto& d : designs) {
        unsigned n = dsp_lowpass_length((d.stop - d.pass) / d.rate, 60);
        EXPECT_EQ(n, d.taps) << d.rate << " " << d.pass;
        std::vector<double> h = dsp_lowpass(n, (d.pass + d.stop) / 2 / d.rate, 60);
        ASSERT_EQ(h.size(), n);
        double sum = 0;
        for (unsigned i = 0; i < n; i++) {
            sum += h[i];
            EXPECT_EQ(h[i], h[n - 1 - i]);
        }
        EXPECT_NEAR(sum, 1.0, 1e-12);
        double ripple = 0, leak = 0;
        for (int k = 0; k <= 400; k++) {
            double f = k * 0.5 / 400;  // of the rate
            double re = 0, im = 0;
            for (unsigned i = 0; i < n; i++) {
                re += h[i] * std::cos(2 * dsp_pi * f * i);
                im -= h[i] * std::sin(2 * dsp_pi * f * i);
            }
            double gain = std::hypot(re, im);
            if (f * d.rate <= d.pass)
                ripple = std::fmax(ripple, std::fabs(gain - 1));
            if (f * d.rate >= d.stop)
                leak = std::fmax(leak, gain);
        }
        EXPECT_LT(ripple, 0.01) << d.rate << " " << d.pass;
        EXPECT_LT(20 * std::log10(leak), -d.rejection) << d.rate << " " << d.pass;
    }
}

// The same bits on every build: sums of the functions over fixed grids.
// The discriminator's reciprocal, from the smallest to the largest
// magnitudes a product of two samples takes.
TEST(DspMath, ReciprocalWithoutADivision)
{
    for (double v : {1e-300, 3e-7, 0.5, 0.75, 0.9999999, 1.0, 1.5, 12345.678, 7e300})
        EXPECT_NEAR(dsp_reciprocal(v) * v, 1.0, 4e-16) << v;
}

TEST(DspMath, SameBitsOnEveryBuild)
{
    bits_t trig, angle, design;
    for (int i = -5000; i <= 5000; i++) {
        double x = i * 0.0123456789;
        trig.add(dsp_sin(x));
        trig.add(dsp_cos(x));
        angle.add(dsp_atan2(x, 1.5 - i * 0.000789));
        angle.add(dsp_atan2(-0.25 * x, x - 3));
    }
    for (double v : dsp_lowpass(464, 16250.0 / 256000, 60))
        design.add(v);
    design.add(dsp_bessel_i0(5.6526));
    EXPECT_EQ(trig.h, 4902345843336934524ull);
    EXPECT_EQ(angle.h, 5015148346873669906ull);
    EXPECT_EQ(design.h, 14586172926100152245ull);
}

// Tones (0.5 of full scale, frequency a fraction of the input rate) through
// the resampler at the ratios the channels use: the pass band's tones keep
// their amplitude and nothing else comes out; the stop band's, which would
// fold into the output's band, are 60 dB down (images of an interpolation
// too: nothing but the tone comes out).  Fed in blocks of 320 or 7
// samples, the output is the same, its bits fixed.
TEST(Resample, PassesItsBandAndRejectsTheRest)
{
    const resample_band_t clean = RESAMPLE_CLEAN, wide = RESAMPLE_WIDE;
    const struct {
        double ratio, tone;
        resample_band_t kind;
        bool pass;
        double level;  // the stop band's most, of full scale
    } cases[] = {
        {0.5, 0.02, clean, true, 0},        {0.5, 0.18, clean, true, 0},
        {0.5, 0.3, clean, false, 0.0005},   {0.5, 0.45, clean, false, 0.0005},
        {16.0 / 30, 0.1, clean, true, 0},   {16.0 / 30, 0.29, clean, false, 0.0005},
        {0.3375, 0.13, clean, true, 0},     {0.3375, 0.18, clean, false, 0.0005},
        {0.512, 0.2, clean, true, 0},       {1.5, 0.02, clean, true, 0},
        {1.5, 0.2, clean, true, 0},         {1.5, 0.38, clean, true, 0},
        // The control channel's: FFSK's tones kept, far above its cut gone.
        {0.3375, 0.0375, wide, true, 0},    {0.3375, 0.05625, wide, true, 0},
        {0.3375, 0.35, wide, false, 0.001}, {10.8 / 30, 0.06, wide, true, 0},
    };
    for (const auto& c : cases) {
        std::vector<float> outputs[2];
        for (int k = 0; k < 2; k++) {
            int block = k == 0 ? 320 : 7;
            resample_state_t r;
            resample_open(&r, c.ratio, block, c.kind);
            std::vector<float> in((size_t)block), out((size_t)resample_max_out(&r, block));
            long long n = 0;
            while (n < 32000) {
                for (float& v : in)
                    v = (float)(0.5 * dsp_sin(2 * dsp_pi * c.tone * (double)n++));
                int got = resample(&r, in.data(), block, out.data());
                outputs[k].insert(outputs[k].end(), out.begin(), out.begin() + got);
            }
        }
        const std::vector<float>& y = outputs[0];
        // 32000 inputs, or the next multiple of 7, each 1 / ratio inputs apart.
        EXPECT_NEAR((double)y.size(), 32000 * c.ratio, 1.0) << c.ratio << " " << c.tone;
        size_t m = std::min(y.size(), outputs[1].size());
        EXPECT_TRUE(std::equal(y.begin(), y.begin() + (long)m, outputs[1].begin()))
            << c.ratio << " " << c.tone;
        // The second half fitted with the tone at the output's rate.
        double f = c.tone / c.ratio, s = 0, co = 0;
        size_t from = y.size() / 2, count = y.size() - from;
        for (size_t i = from; i < y.size(); i++) {
            s += y[i] * std::sin(2 * dsp_pi * f * (double)i);
            co += y[i] * std::cos(2 * dsp_pi * f * (double)i);
        }
        s *= 2.0 / (double)count, co *= 2.0 / (double)count;
        double rest = 0, power = 0;
        for (size_t i = from; i < y.size(); i++) {
            double e = y[i] - s * std::sin(2 * dsp_pi * f * (double)i) - co * std::cos(2 * dsp_pi * f * (double)i);
            rest += e * e;
            power += (double)y[i] * y[i];
        }
        if (c.pass) {
            EXPECT_NEAR(std::hypot(s, co), 0.5, 0.001) << c.ratio << " " << c.tone;
            EXPECT_LT(std::sqrt(rest / (double)count), 2e-4) << c.ratio << " " << c.tone;
        } else {
            EXPECT_LT(std::sqrt(2 * power / (double)count), c.level) << c.ratio << " " << c.tone;
        }
    }
    // The bits of one ratio's output (2.4 MHz captures' recordings).
    resample_state_t r;
    resample_open(&r, 16.0 / 30, 300, RESAMPLE_CLEAN);
    std::vector<float> in(300), out((size_t)resample_max_out(&r, 300));
    bits_t bits;
    for (int b = 0, n = 0; b < 20; b++) {
        for (float& v : in)
            v = (float)(0.3 * dsp_sin(0.05 * n) + 0.2 * dsp_cos(1.3 * n)), n++;
        int got = resample(&r, in.data(), 300, out.data());
        for (int i = 0; i < got; i++)
            bits.add(out[(size_t)i]);
    }
    EXPECT_EQ(bits.h, 17183787128595160936ull);
}

// A channel on a clean FM tone (1 kHz at 1 kHz deviation) gives that tone,
// 0.4 of full scale, and little else.
TEST(DspMath, ChannelDemodulatesAToneToThatTone)
{
    const struct {
        double rate, offset;
        channel_width_t width;
    } cases[] = {
        {2048000, 0, CHANNEL_CONTROL},       {2048000, 187500, CHANNEL_VOICE},
        {2048000, -312500, CHANNEL_VOICE},   {2400000, -487500, CHANNEL_VOICE},
        {2400000, 12500, CHANNEL_CONTROL},   {1024000, 300000, CHANNEL_VOICE},
    };
    const double out_rate = 16000, tone = 1000, deviation = 1000;
    for (const auto& c : cases) {
        channel_plan_t plan;
        ASSERT_EQ(channel_plan(&plan, c.rate), 0);
        channel_t* ch = channel_open(plan, c.offset, out_rate, false, c.width);
        std::vector<iq_sample_t> in((size_t)(plan.taps1 + plan.block));
        std::vector<float> out((size_t)channel_max_out(ch));
        std::vector<float> audio;
        double phase = 0;
        long long n = 0;
        for (int b = 0; b < 100; b++) {  // a second
            std::copy(in.end() - plan.taps1, in.end(), in.begin());
            for (int i = 0; i < plan.block; i++, n++) {
                double f = c.offset + deviation * dsp_sin(2 * dsp_pi * tone * n / c.rate);
                phase = std::fmod(phase + 2 * dsp_pi * f / c.rate, 2 * dsp_pi);
                in[(size_t)(plan.taps1 + i)] =
                    iq_sample_t((float)(0.5 * dsp_cos(phase)), (float)(0.5 * dsp_sin(phase)));
            }
            int k = channel_process(ch, in.data() + plan.taps1, plan.block, out.data());
            audio.insert(audio.end(), out.begin(), out.begin() + k);
        }
        channel_close(ch);
        ASSERT_GT(audio.size(), 15900u);
        // The last half second, fitted with a 1 kHz sine and cosine.
        size_t from = audio.size() - 8000;
        double s = 0, co = 0;
        for (size_t i = from; i < audio.size(); i++) {
            s += audio[i] * std::sin(2 * dsp_pi * tone * (double)i / out_rate);
            co += audio[i] * std::cos(2 * dsp_pi * tone * (double)i / out_rate);
        }
        s /= 4000, co /= 4000;
        double rest = 0;
        for (size_t i = from; i < audio.size(); i++) {
            double fit = s * std::sin(2 * dsp_pi * tone * (double)i / out_rate) +
                         co * std::cos(2 * dsp_pi * tone * (double)i / out_rate);
            rest += (audio[i] - fit) * (audio[i] - fit);
        }
        double amplitude = std::hypot(s, co);
        EXPECT_NEAR(amplitude, 0.4, 0.004) << c.rate << " " << c.offset;
        EXPECT_LT(std::sqrt(rest / 8000) / (amplitude / std::sqrt(2.0)), 0.003) << c.rate << " " << c.offset;
    }
}

}  // namespace
