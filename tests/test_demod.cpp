// The tone correlator and the bit timing rule.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>

#include "corr.h"
#include "harness.h"
#include "mpt1327/mpt1327.h"

namespace {

const comm_info_t standard = {1200, 1800, 1200, 2};

// The bit the decoder received last.
int last_bit()
{
    return mpt1327_state.cw[3] & 1;
}

struct Timing : ::testing::Test {
    void SetUp() override { reset_decoder(); }
    // The returned count, checking that the decoder got the bit first.
    int rule(unsigned short history, unsigned char ones, int expected_bit)
    {
        unsigned char before = mpt1327_state.nbits;
        mpt1327_state.cw[3] = expected_bit ? 0 : 0xffff;  // the opposite of what must arrive
        int n = sym_recovery_1200(nullptr, history, ones, 9);
        EXPECT_EQ((unsigned char)(before + 1), mpt1327_state.nbits) << "one bit per instant";
        EXPECT_EQ(last_bit(), expected_bit) << std::hex << history;
        return n;
    }
};

TEST_F(Timing, MajorityDecidesTheBit)
{
    EXPECT_EQ(rule(0x01FF, 4, 0), 9);  // four ones: 0, whatever the history
    EXPECT_EQ(rule(0x0000, 4, 0), 9);
    EXPECT_EQ(rule(0x0000, 0, 0), 9);
    EXPECT_EQ(rule(0x01FF, 9, 1), 9);
    EXPECT_EQ(rule(0x00FE, 7, 1), 9);  // only bits 0 and 8 clear: no move
}

TEST_F(Timing, NearestZeroDecidesTheMove)
{
    EXPECT_EQ(rule(0x001F, 5, 1), 12);  // older side 0 next to the centre: later by 3
    EXPECT_EQ(rule(0x01F0, 5, 1), 6);   // newer side 0: earlier by 3
    EXPECT_EQ(rule(0x01C7, 6, 1), 6);   // both 3 and 5 clear: the newer side decides
    EXPECT_EQ(rule(0x002C, 5, 1), 11);  // 3, 5 set; 2 set, 6 clear
    EXPECT_EQ(rule(0x0068, 5, 1), 7);   // 3, 5 set; 2 clear
    EXPECT_EQ(rule(0x006E, 5, 1), 10);  // 2..6 set; 1 set, 7 clear
    EXPECT_EQ(rule(0x00EC, 5, 1), 8);   // 2..7 set; 1 clear
    EXPECT_EQ(rule(0x00EE, 6, 1), 9);   // 1, 2, 3, 5, 6, 7 set
}

TEST_F(Timing, BitsAboveTheWindowAndItsEdgesDoNotCount)
{
    for (unsigned short h : {0x001F, 0x01F0, 0x002C, 0x0068, 0x006E, 0x00EC, 0x00EE}) {
        int plain = rule(h, 5, 1);
        for (unsigned short extra : {0xFE00, 0x0111, 0xAA00, 0x0001, 0x0100, 0x0010})
            EXPECT_EQ(rule((unsigned short)(h ^ extra), 5, 1), plain) << std::hex << h << "^" << extra;
    }
}

struct Correlator : ::testing::Test {
    corr_t c;
    void SetUp() override
    {
        reset_decoder();
        ASSERT_EQ(corr_init(&c, 10800, &standard), 0);
    }
    void run(const std::vector<unsigned char>& s) { corr_process(&c, nullptr, s.data(), (int)s.size()); }
};

std::vector<unsigned char> tone(double hz, int n, double level = 0.5)
{
    std::vector<unsigned char> s((size_t)n);
    for (int i = 0; i < n; i++)
        s[(size_t)i] = (unsigned char)std::lround(128 + 127 * level * std::sin(6.283185307179586 * hz * i / 10800));
    return s;
}

TEST_F(Correlator, SilenceGivesZeroBitsEveryNineSamples)
{
    run(std::vector<unsigned char>(9 * 200, 128));
    EXPECT_EQ(mpt1327_state.nbits, 200);
    EXPECT_EQ(c.ones, 0);
    EXPECT_EQ(c.countdown, 9);
    for (int i = 0; i < 4; i++)
        EXPECT_EQ(mpt1327_state.cw[i], 0);
}

TEST_F(Correlator, SteadyTonesGiveSteadyBits)
{
    run(tone(1200, 9 * 100));
    for (int i = 0; i < 4; i++)
        EXPECT_EQ(mpt1327_state.cw[i], 0xffff);
    EXPECT_EQ(c.history & 0x1ff, 0x1ff);
    unsigned char n = mpt1327_state.nbits;
    run(tone(1200, 9 * 50));  // the tables wrap at 18 samples, so the tone continues
    EXPECT_EQ((unsigned char)(mpt1327_state.nbits - n), 50) << "no transitions: an instant every 9 samples";

    reset_decoder();
    ASSERT_EQ(corr_init(&c, 10800, &standard), 0);
    run(tone(1800, 9 * 100));
    for (int i = 0; i < 4; i++)
        EXPECT_EQ(mpt1327_state.cw[i], 0);
    EXPECT_EQ(mpt1327_state.nbits, 100);
}

TEST_F(Correlator, ReferenceTables)
{
    const double pi = 3.141592653589793;
    for (int i = 0; i < 18; i++) {
        EXPECT_NEAR(c.sin0[i], std::sin(pi * i / 3), 1e-12);
        EXPECT_EQ(c.ref[i].sin[0], c.sin0[i]);
        EXPECT_EQ(c.ref[i].cos[1], c.cos1[i]);
        EXPECT_NEAR(c.cos1[i], std::cos(2 * pi * i / 9), 1e-12);
    }
    EXPECT_EQ(c.samples_per_bit, 9);
    EXPECT_EQ(c.oldest_mask, 0x0100);
}

TEST_F(Correlator, BufferBoundariesDoNotMatter)
{
    std::string audio = render_u8("random 40 seed=3\n", [] {
        gen_audio_t o;
        o.snr_db = 15;
        o.ppm = 150;
        return o;
    }());
    std::vector<unsigned char> s(audio.begin(), audio.end());
    run(s);
    std::string whole = console_output();
    mpt1327_t end_state = mpt1327_state;
    ASSERT_NE(whole.find("SYS 0x1234"), std::string::npos);

    std::mt19937 rng(11);
    for (int trial = 0; trial < 3; trial++) {
        reset_decoder();
        ASSERT_EQ(corr_init(&c, 10800, &standard), 0);
        size_t at = 0;
        while (at < s.size()) {
            size_t n = std::min(s.size() - at, (size_t)(trial == 0 ? 1 : 1 + rng() % 1500));
            corr_process(&c, nullptr, s.data() + at, (int)n);
            at += n;
        }
        EXPECT_EQ(mask_times(console_output()), mask_times(whole));
        EXPECT_EQ(0, std::memcmp(&end_state, &mpt1327_state, sizeof end_state));
    }
}

// The per-sample step written out plainly, one tone and one quantity at a
// time, as the reference for the paired arithmetic of the real loop: every
// decision and every sum must come out identical, bit for bit.
struct plain_correlator_t {
    double sin0[18], cos0[18], sin1[18], cos1[18];
    double prod_sin0[9] = {}, prod_cos0[9] = {}, prod_sin1[9] = {}, prod_cos1[9] = {};
    double sum_sin0 = 0, sum_cos0 = 0, sum_sin1 = 0, sum_cos1 = 0;
    int phase = 0;
    unsigned short history = 0;
    unsigned char ones = 0;
    plain_correlator_t()
    {
        for (int i = 0; i < 18; i++) {
            double a0 = ((double)i / 9.0) * 6.283185307179586 * (1800.0 / 1200.0);
            double a1 = ((double)i / 9.0) * 6.283185307179586 * (1200.0 / 1200.0);
            sin0[i] = std::sin(a0);
            cos0[i] = std::cos(a0);
            sin1[i] = std::sin(a1);
            cos1[i] = std::cos(a1);
        }
    }
    void step(unsigned char s)
    {
        double x = (s - 128.0) / 128.0;
        int k = phase % 9;
        sum_sin0 -= prod_sin0[k];
        sum_cos0 -= prod_cos0[k];
        sum_sin1 -= prod_sin1[k];
        sum_cos1 -= prod_cos1[k];
        prod_sin0[k] = sin0[phase] * x;
        prod_cos0[k] = cos0[phase] * x;
        prod_sin1[k] = sin1[phase] * x;
        prod_cos1[k] = cos1[phase] * x;
        sum_sin0 += prod_sin0[k];
        sum_cos0 += prod_cos0[k];
        sum_sin1 += prod_sin1[k];
        sum_cos1 += prod_cos1[k];
        phase = (phase + 1) % 18;
        if (history & 0x0100)
            ones--;
        history = (unsigned short)(history << 1);
        double energy1 = std::sqrt(sum_sin1 * sum_sin1 + sum_cos1 * sum_cos1);
        double energy0 = std::sqrt(sum_sin0 * sum_sin0 + sum_cos0 * sum_cos0);
        if (energy1 - energy0 > 0) {
            history |= 1;
            ones++;
        }
    }
};

TEST_F(Correlator, ArithmeticIsExactlyThePlainStep)
{
    gen_audio_t noisy;
    noisy.snr_db = 3;
    noisy.ppm = -300;
    std::string audio = render_u8("random 30 seed=9\n", noisy);
    std::mt19937 rng(5);
    for (int i = 0; i < 20000; i++)  // and plain random bytes
        audio.push_back((char)(rng() & 0xff));
    plain_correlator_t plain;
    for (size_t i = 0; i < audio.size(); i++) {
        unsigned char s = (unsigned char)audio[i];
        plain.step(s);
        corr_process(&c, nullptr, &s, 1);
        ASSERT_EQ(c.history, plain.history) << "sample " << i;
        ASSERT_EQ(c.ones, plain.ones) << "sample " << i;
        ASSERT_EQ(c.sum_sin[0], plain.sum_sin0) << "sample " << i;
        ASSERT_EQ(c.sum_cos[0], plain.sum_cos0) << "sample " << i;
        ASSERT_EQ(c.sum_sin[1], plain.sum_sin1) << "sample " << i;
        ASSERT_EQ(c.sum_cos[1], plain.sum_cos1) << "sample " << i;
    }
}

TEST_F(Correlator, RejectsParametersItCannotServe)
{
    corr_t other;
    comm_info_t slow = {100, 1800, 1200, 2};  // 108 samples per bit: beyond the 16-bit history
    EXPECT_EQ(corr_init(&other, 10800, &slow), -1);
    comm_info_t zero = {0, 1800, 1200, 2};
    EXPECT_EQ(corr_init(&other, 10800, &zero), -1);
}

}  // namespace
