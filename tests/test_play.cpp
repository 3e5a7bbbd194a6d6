// --play through the real program on a generated IQ capture, the sound
// device being ALSA's file plugin over a null slave (named in a
// configuration that ALSA_CONFIG_PATH points the program to), so that what
// the program played lands in a file: the followed call's tone from its
// GTC, the newest followed call winning, silence after the CLEAR, every
// call still recorded; a sound device that takes nothing never holds up
// decoding; inputs without IQ are refused.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <map>

#include "harness.h"
#include "mpt1327/fields.h"
#include "sdr/sdr.h"

namespace {

const int RATE = 16000;

// A band of 256 kHz around 420.25 MHz, the control channel at 420.2 MHz:
// unit 678's call on 22 (420.275 MHz, 1000 Hz), then while it goes on a
// newer one on 24 (420.3 MHz, 700 Hz) that takes the speaker until its
// CLEAR; a call of another prefix on 18 (420.225 MHz, 1500 Hz) that is never
// followed; 22 ends last.
const char SCRIPT[] =
    "ccsc 0x1234\npreamble 600\n"
    "ccsc 0x1234\ngtc pfix=12 ident1=345 ident2=678 chan=22\npreamble 1200\n"
    "ccsc 0x1234\ngtc pfix=12 ident1=346 ident2=679 chan=24\npreamble 1200\n"
    "ccsc 0x1234\ngtc pfix=13 ident1=5 ident2=6 chan=18\npreamble 600\n"
    "ccsc 0x1234\nclear chan=24 cont=5\npreamble 1200\n"
    "ccsc 0x1234\nclear chan=22 cont=5\npreamble 1200\n"
    "ccsc 0x1234\nclear chan=18 cont=5\npreamble 600\n";

// The end (seconds into the capture) of each GTC and CLEAR, by channel.
std::map<unsigned, std::pair<double, double>> call_times()
{
    gen_bits_t bits;
    std::vector<gen_mark_t> marks;
    std::string error;
    EXPECT_EQ(gen_script(SCRIPT, &bits, nullptr, &error, &marks), 0) << error;
    std::map<unsigned, std::pair<double, double>> t;
    for (const gen_mark_t& m : marks) {
        double at = (double)(32 + m.end_bit) / 1200;
        if (cw_bits(m.cw, 1, 1) && !cw_bits(m.cw, 22, 22))
            t[cw_bits(m.cw, 24, 33)].first = at;
        else if (cw_bits(m.cw, 1, 1) && cw_bits(m.cw, 22, 22) && cw_bits(m.cw, 47, 47))
            t[cw_bits(m.cw, 2, 11)].second = at;
    }
    return t;
}

std::vector<float> samples_of(const std::string& raw)
{
    std::vector<float> x(raw.size() / 2);
    for (size_t i = 0; i < x.size(); i++)
        x[i] = (float)(short)((unsigned char)raw[2 * i] | (unsigned char)raw[2 * i + 1] << 8) / 32768;
    return x;
}

double tone(const std::vector<float>& x, size_t from, size_t n, double hz)
{
    double c = 0, s = 0;
    for (size_t i = from; i < from + n && i < x.size(); i++) {
        c += x[i] * std::cos(6.283185307179586 * hz * (double)i / RATE);
        s += x[i] * std::sin(6.283185307179586 * hz * (double)i / RATE);
    }
    return 2 * std::hypot(c, s) / (double)n;
}

// The program with ALSA_CONFIG_PATH naming a configuration with the PCM
// "speaker": the file plugin writing raw samples to out.
run_result_t run_playing(const temp_dir_t& dir, const std::string& out,
                         const std::vector<std::string>& args)
{
    write_file(dir.file("asound.conf"),
               "pcm.speaker { type file; slave.pcm { type null }; file \"" + out +
                   "\"; format \"raw\" }\n");
    const char* before = std::getenv("ALSA_CONFIG_PATH");
    std::string saved = before ? before : "";
    setenv("ALSA_CONFIG_PATH", dir.file("asound.conf").c_str(), 1);
    run_result_t r = run_program(marrowit_path(), args, dir.path);
    if (before)
        setenv("ALSA_CONFIG_PATH", saved.c_str(), 1);
    else
        unsetenv("ALSA_CONFIG_PATH");
    return r;
}

void make_capture(const temp_dir_t& dir)
{
    run_result_t g = run_program(mptgen_path(),
                                 {"-t", "cu8", "--rate", "256000", "--center", "420250000", "--control",
                                  "420200000", "--snr", "30", "--tone-on", "24:700", "--tone-on",
                                  "18:1500", "-o", dir.file("site.cu8"), "-"},
                                 "", SCRIPT);
    ASSERT_EQ(g.status, 0) << g.err;
    write_file(dir.file("solvane.ini"),
               "[general]\nTARGET_PREF=12\nTARGET_ID=9999\n[rs232]\nRADIO=0\n"
               "[0xffff]\nCCHFREQUENCY=4202000\n[0x1234]\nCCHFREQUENCY=4202000\n");
}

TEST(Play, FollowedCallArrivesWithItsGtcAndSilenceAfterItsClear)
{
    if (!sdr_can_demodulate)
        GTEST_SKIP() << "no IQ input in this build";
    temp_dir_t dir;
    make_capture(dir);
    auto t = call_times();
    auto began = std::chrono::steady_clock::now();
    run_result_t r = run_playing(dir, dir.file("played.raw"),
                                 {"-q", "--center", "420250000", "--rate", "256000", "--play", "speaker",
                                  "--record", "calls", "iq:site.cu8"});
    double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    std::vector<float> x = samples_of(read_file(dir.file("played.raw")));
    // The whole capture's time, at the pace it was captured.
    double length = (double)(32 + 16) / 1200 + t[18].second + 600.0 / 1200;
    EXPECT_NEAR((double)x.size() / RATE, length, 0.05);
    EXPECT_GT(took, length - 0.3);
    // Every followed call recorded all the same.
    EXPECT_EQ(files_in(dir.file("calls")).size(), 2u);

    // What plays in each 20 ms: 1000 Hz (22), 700 Hz (24), 1500 Hz (18,
    // never followed), or silence.
    const size_t w = RATE / 50;
    auto playing = [&](size_t k) {
        const double hz[] = {1000, 700, 1500};
        for (double f : hz)
            if (tone(x, k * w, w, f) > 0.4)
                return f;
        double peak = 0;
        for (size_t i = k * w; i < (k + 1) * w; i++)
            peak = std::max(peak, (double)std::fabs(x[i]));
        return peak < 0.001 ? 0.0 : -1.0;
    };
    double first_1000 = -1;
    for (size_t k = 0; (k + 1) * w <= x.size(); k++) {
        double at = (double)(k * w) / RATE, end = (double)((k + 1) * w) / RATE;
        double f = playing(k);
        if (f == 1000 && first_1000 < 0)
            first_1000 = at;
        SCOPED_TRACE(at);
        double want = -2;  // the edges: not checked
        if (end <= t[22].first)
            want = 0;  // before the first GTC
        else if (at >= t[22].first + 0.2 && end <= t[24].first)
            want = 1000;
        else if (at >= t[24].first + 0.2 && end <= t[24].second)
            want = 700;  // the newest followed call wins
        else if (at >= t[24].second + 0.2 && end <= t[22].second)
            want = 1000;  // back to the call still going on
        else if (at >= t[22].second + 0.02)
            want = 0;  // silence after the CLEAR, though 18 still sends
        if (want != -2) {
            EXPECT_EQ(f, want);
        }
    }
    EXPECT_GE(first_1000, t[22].first - 0.02);
    EXPECT_LE(first_1000, t[22].first + 0.2);
    std::printf("tone of channel 22 from %.3f s, its GTC ending at %.3f s: %.0f ms later\n",
                first_1000, t[22].first, 1000 * (first_1000 - t[22].first));
}

// A sound device that stops taking samples (the file plugin writing into a
// FIFO that is never read) costs decoding nothing: the console is that of a
// run without --play, and what did not fit is said at the end.
TEST(Play, SoundDeviceThatTakesNothingNeverHoldsUpDecoding)
{
    if (!sdr_can_demodulate)
        GTEST_SKIP() << "no IQ input in this build";
    temp_dir_t dir;
    make_capture(dir);
    ASSERT_EQ(mkfifo(dir.file("stuck").c_str(), 0600), 0);
    int reader = open(dir.file("stuck").c_str(), O_RDONLY | O_NONBLOCK);  // never read
    ASSERT_GE(reader, 0);
    run_result_t ref = run_program(marrowit_path(),
                                   {"-q", "--center", "420250000", "--rate", "256000", "iq:site.cu8"}, dir.path);
    run_result_t r = run_playing(dir, dir.file("stuck"),
                                 {"-q", "--center", "420250000", "--rate", "256000", "--play", "speaker",
                                  "iq:site.cu8"});
    close(reader);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(mask_times(r.out), mask_times(ref.out));
    EXPECT_NE(ref.out.find("- CLEAR| Call clear-down                | Ch: 22"), std::string::npos);
    std::printf("%s", r.err.c_str());
    EXPECT_NE(r.err.find(" s of audio dropped: the sound device did not take it in time\n"),
              std::string::npos)
        << r.err;
}

TEST(Play, RefusedWhereThereIsNothingToPlayAndForADeviceThatCannotOpen)
{
    temp_dir_t dir;
    write_file(dir.file("solvane.ini"), "[rs232]\nRADIO=0\n");
    const struct {
        std::vector<std::string> args;
        int status;
        std::string err;
    } cases[] = {
        {{"--play", "default", "udp:7355"}, 2,
         "marrowit: --play plays the followed call of IQ input (iq: or sdr:) and has nothing to "
         "play from 'udp:7355' (see 'marrowit --help')\n"},
        {{"--play", "default", "-"}, 2,
         "marrowit: --play plays the followed call of IQ input (iq: or sdr:) and has nothing to "
         "play from '-' (see 'marrowit --help')\n"},
        {{"--play", "default"}, 2,
         "marrowit: --play plays the followed call of IQ input (iq: or sdr:) and has nothing to "
         "play from 'the sound card' (see 'marrowit --help')\n"},
        {{"--play"}, 2, "marrowit: missing value for option '--play' (see 'marrowit --help')\n"},
    };
    for (const auto& c : cases) {
        run_result_t r = run_program(marrowit_path(), c.args, dir.path);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.err, c.err);
    }
    if (!sdr_can_demodulate)
        return;
    write_file(dir.file("empty.cu8"), "");
    run_result_t r = run_playing(dir, dir.file("played.raw"),
                                 {"-q", "--center", "420250000", "--play", "nosuch", "iq:empty.cu8"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, "marrowit: --play: cannot play on sound device 'nosuch': No such file or directory\n");
    EXPECT_EQ(r.out, "");
}

}  // namespace
