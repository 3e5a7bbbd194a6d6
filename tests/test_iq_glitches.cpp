// A float IQ capture with bad samples in it (a NaN, an infinity, a run of
// 1e38): they are replaced and said once, the codewords after them decode
// as in the clean capture, and the call's recording stays the tone it was.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstdint>
#include <cstring>
#include <limits>

#include "harness.h"
#include "sdr/sdr.h"

namespace {

const char before[] =
    "ccsc 0x1234\n"
    "gtc pfix=12 ident1=345 ident2=678 chan=42\n";
const char after[] =
    "preamble 1200\n"  // the glitches fall here, a second of the call
    "ccsc 0x1234\n"
    "clear chan=42 cont=5\n"
    "ccsc 0x1234\n"
    "gtc pfix=12 ident1=346 ident2=679 chan=60\n"
    "preamble 600\n";

std::string capture(const std::string& script, const char* tail)
{
    run_result_t g = run_program(mptgen_path(), {"-t", "cf32", "--center", "420250000", "--tail", tail, "-"}, "", script);
    EXPECT_EQ(g.status, 0) << g.err;
    return g.out;
}

// The largest 16-bit sample of a WAV's data outside [skip_from, skip_to) seconds.
int peak(const std::string& wav, double skip_from, double skip_to)
{
    int most = 0;
    for (size_t i = 44; i + 1 < wav.size(); i += 2) {
        double t = (double)(i - 44) / 2 / 16000;
        if (t >= skip_from && t < skip_to)
            continue;
        int16_t s;
        std::memcpy(&s, &wav[i], 2);
        most = std::max(most, std::abs((int)s));
    }
    return most;
}

TEST(IqGlitches, BadFloatSamplesAreReplacedAndDecodingGoesOn)
{
    if (!sdr_can_demodulate)
        GTEST_SKIP() << "no IQ input in this build";
    temp_dir_t dir;
    write_file(dir.file("solvane.ini"), "[general]\nTARGET_PREF=9999\n[rs232]\nRADIO=0\n");
    const std::string clean = capture(std::string(before) + after, "16");
    const size_t start = capture(before, "0").size() / 8;  // IQ samples before the preamble
    const size_t rate = 2048000;
    // I and Q floats from the preamble's start: a NaN, -inf in a Q, +inf, 2000 samples of 1e38.
    const float inf = std::numeric_limits<float>::infinity();
    const struct {
        size_t at, n;
        float v;
    } bad[] = {{rate / 5, 1, std::nanf("")}, {rate * 2 / 5 + 1, 1, -inf}, {rate / 2, 1, inf}, {rate * 3 / 5, 4000, 1e38f}};
    std::string glitched = clean;
    for (const auto& b : bad)
        for (size_t k = 0; k < b.n; k++)
            std::memcpy(&glitched[4 * (2 * start + b.at + k)], &b.v, 4);
    write_file(dir.file("clean.cf32"), clean);
    write_file(dir.file("glitched.cf32"), glitched);

    auto run = [&](const std::string& name) {
        std::system(("rm -rf '" + dir.file("calls") + "'").c_str());
        run_result_t r = run_program(marrowit_path(), {"-q", "--format", "cf32", "--center", "420250000",
                                                       "--record", "calls", "iq:" + name + ".cf32"}, dir.path);
        EXPECT_EQ(r.status, 0) << r.err;
        return r;
    };
    // The recording of channel 42, which the glitches fall into.
    auto call_wav = [&]() {
        for (const std::string& name : files_in(dir.file("calls")))
            if (name.find("_ch42_") != std::string::npos)
                return read_file(dir.file("calls/" + name));
        return std::string();
    };
    run_result_t c = run("clean");
    const std::string clean_wav = call_wav();
    run_result_t g = run("glitched");
    const std::string glitched_wav = call_wav();
    EXPECT_EQ(c.err, "");
    char first[64];
    std::snprintf(first, sizeof first, "at %.3f s", (double)(start + rate / 10) / rate);
    EXPECT_EQ(g.err, "marrowit: glitched.cf32: bad IQ sample (not a number, infinite or absurdly "
                     "large) " + std::string(first) + " replaced by 0, as are any later ones\n"
                     "marrowit: glitched.cf32: 2003 bad IQ samples replaced by 0\n");
    EXPECT_EQ(mask_times(g.out), mask_times(c.out)) << "every codeword after the glitches";
    EXPECT_NE(g.out.find("Org:  679"), std::string::npos);
    // Away from the glitches (0.1 s to 0.3 s into the call) the recording is
    // the tone as in the clean capture, not full-scale noise.
    ASSERT_GT(clean_wav.size(), 44u + 2 * 16000);
    ASSERT_EQ(glitched_wav.size(), clean_wav.size());
    const int tone = peak(clean_wav, 0.05, 0.7);
    EXPECT_GT(tone, 1000);
    EXPECT_LT(peak(glitched_wav, 0.05, 0.7), tone * 5 / 4);
}

}  // namespace
