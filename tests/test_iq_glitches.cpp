// A float IQ capture with bad samples in it (a NaN, an infinity, a run of
// 1e38): they are replaced and said once, the codewords after them decode
// as in the clean capture, and the call's recording stays the tone it was.
#include <gtest/gtest.h>

#include <dirent.h>

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

std::string capture(const std::string& script, bool tail)
{
    std::vector<std::string> args = {"-t", "cf32", "--center", "420250000"};
    if (!tail)
        args.insert(args.end(), {"--tail", "0"});
    args.push_back("-");
    run_result_t g = run_program(mptgen_path(), args, "", script);
    EXPECT_EQ(g.status, 0) << g.err;
    return g.out;
}

void put_float(std::string* b, size_t index, float v)
{
    std::memcpy(&(*b)[4 * index], &v, 4);
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
    const std::string clean = capture(std::string(before) + after, true);
    const size_t start = capture(before, false).size() / 8;  // IQ samples before the preamble
    const size_t rate = 2048000;
    std::string glitched = clean;
    put_float(&glitched, 2 * (start + rate / 10), std::numeric_limits<float>::quiet_NaN());
    put_float(&glitched, 2 * (start + rate / 5) + 1, -std::numeric_limits<float>::infinity());
    put_float(&glitched, 2 * (start + rate / 4), std::numeric_limits<float>::infinity());
    for (size_t k = 2 * (start + rate * 3 / 10); k < 2 * (start + rate * 3 / 10 + 2000); k++)
        put_float(&glitched, k, 1e38f);
    write_file(dir.file("clean.cf32"), clean);
    write_file(dir.file("glitched.cf32"), glitched);

    auto run = [&](const std::string& name) {
        std::system(("rm -rf '" + dir.file("calls") + "'").c_str());
        run_result_t r = run_program(marrowit_path(),
                                     {"-q", "--format", "cf32", "--center", "420250000", "--record",
                                      "calls", "--json", name + ".json", "iq:" + name + ".cf32"},
                                     dir.path);
        EXPECT_EQ(r.status, 0) << r.err;
        return r;
    };
    // The recording of channel 42, which the glitches fall into.
    auto call_wav = [&]() {
        std::string found;
        if (DIR* d = opendir(dir.file("calls").c_str())) {
            while (dirent* e = readdir(d))
                if (std::strstr(e->d_name, "_ch42_"))
                    found = read_file(dir.file("calls") + "/" + e->d_name);
            closedir(d);
        }
        return found;
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
