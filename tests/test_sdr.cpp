// Calls recorded from an IQ capture through the real program: which calls
// get a file, what the file is called, when it starts and ends, and that it
// holds its own traffic channel's tone and nothing of the control channel.
#include <gtest/gtest.h>

#include <sndfile.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <map>
#include <regex>

#include "harness.h"
#include "mpt1327/fields.h"
#include "sdr/sdr.h"

namespace {

// Two overlapping calls inside the band, two allocations of a channel
// outside it, a data call, and a call still open at the end of the input
// whose traffic channel stays silent (no carrier: squelched, no hiss).
const char calls_script[] =
    "ccsc 0x1234\n"
    "gtc pfix=12 ident1=345 ident2=678 chan=42\n"  // 420.5250 MHz, 1000 Hz tone
    "preamble 600\n"
    "ccsc 0x1234\n"
    "gtc pfix=12 ident1=346 ident2=679 chan=60\n"  // 420.7500 MHz, 700 Hz
    "preamble 1200\n"
    "ccsc 0x1234\n"
    "clear chan=42 cont=5\n"
    "preamble 600\n"
    "ccsc 0x1234\n"
    "gtc pfix=12 ident1=7 ident2=8 chan=500\n"  // 426.2500 MHz: outside the band
    "ccsc 0x1234\n"
    "gtc pfix=12 ident1=7 ident2=9 chan=500\n"
    "ccsc 0x1234\n"
    "clear chan=60 cont=5\n"
    "ccsc 0x1234\n"
    "gtc pfix=12 ident1=1 ident2=2 chan=30 data=1\n"
    "ccsc 0x1234\n"
    "gtc pfix=13 ident1=5 ident2=6 chan=80\n"  // 421.0000 MHz, no carrier, until the end
    "preamble 1800\n";

const int lead = 32, tail = 16;
const std::map<unsigned, double> tones = {{42, 1000}, {60, 700}, {80, 0}};
// What the file names say after the start time.
const std::map<unsigned, std::string> parties = {{42, "_1234_ch42_12-345_from_678.wav"},
                                                 {60, "_1234_ch60_12-346_from_679.wav"},
                                                 {80, "_1234_ch80_13-5_from_6.wav"}};

// YYYYMMDDTHHMMSSZ
bool utc_stamp(const std::string& s)
{
    if (s.size() != 16 || s[8] != 'T' || s[15] != 'Z')
        return false;
    for (size_t i = 0; i < 15; i++)
        if (i != 8 && !std::isdigit((unsigned char)s[i]))
            return false;
    return true;
}

// Seconds into the capture at which each voice call starts (end of its GTC)
// and ends (end of the CLEAR for its channel, or of the capture).
struct span_t {
    double start, end;
};
std::map<unsigned, span_t> call_spans()
{
    gen_bits_t bits;
    std::vector<gen_mark_t> marks;
    std::string error;
    EXPECT_EQ(gen_script(calls_script, &bits, nullptr, &error, &marks), 0) << error;
    std::map<unsigned, span_t> spans;
    double end = (double)(lead + bits.size() + tail) / 1200;
    for (const gen_mark_t& m : marks) {
        double t = (double)(lead + m.end_bit) / 1200;
        if (cw_bits(m.cw, 1, 1) && !cw_bits(m.cw, 22, 22) && !cw_bits(m.cw, 23, 23))
            spans[cw_bits(m.cw, 24, 33)] = span_t{t, end};
        else if (cw_bits(m.cw, 1, 1) && cw_bits(m.cw, 22, 22) && cw_bits(m.cw, 47, 47))
            spans[cw_bits(m.cw, 2, 11)].end = t;
    }
    return spans;
}

// Amplitude of a frequency in a stretch of samples.
double tone_level(const std::vector<float>& x, size_t from, size_t to, double hz, double rate)
{
    double c = 0, s = 0;
    for (size_t i = from; i < to && i < x.size(); i++) {
        c += x[i] * std::cos(6.283185307179586 * hz * (double)i / rate);
        s += x[i] * std::sin(6.283185307179586 * hz * (double)i / rate);
    }
    return 2 * std::hypot(c, s) / (double)(to - from);
}

TEST(RecordCalls, EachFollowedCallInItsOwnFile)
{
    if (!sdr_can_demodulate)
        GTEST_SKIP() << "no IQ input in this build";
    temp_dir_t dir;
    run_result_t g = run_program(mptgen_path(),
                                 {"-t", "cu8", "--center", "420250000", "--snr", "30",
                                  "--tone-on", "60:700", "--no-carrier", "80", "-o",
                                  dir.file("site.cu8"), "-"},
                                 "", calls_script);
    ASSERT_EQ(g.status, 0) << g.err;
    std::map<unsigned, span_t> spans = call_spans();
    const std::string outside =
        "marrowit: channel 500 at 426.2500 MHz lies outside the captured band "
        "(usable: 419.2385 to 421.2615 MHz, --center and --rate less 12.5 kHz at each edge); "
        "its calls are not recorded\n";

    struct {
        const char* general;               // [general] settings
        std::vector<unsigned> recorded;    // channels that get a file
        std::string err;
        double timeout;
    } cases[] = {
        {"TARGET_PREF=9999", {42, 60, 80}, outside, 0},
        {"TARGET_PREF=12\nTARGET_ID=678", {42}, "", 0},  // only unit 678's calls
        {"TARGET_PREF=9999\nCALLTIMEOUT=1", {42, 60, 80}, outside, 1},
        {"TARGET_PREF=0", {}, "marrowit: --record: the TARGET rules followed none of the 5 calls, "
                              "so none was recorded; TARGET_PREF=9999 in [general] records every call\n", 0},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.general);
        temp_dir_t run;
        write_file(run.file("solvane.ini"),
                   std::string("[general]\n") + c.general + "\n[rs232]\nRADIO=0\n");
        run_result_t r = run_program(
            marrowit_path(), {"-q", "--center", "420250000", "--record", "calls", "--json", "events.json",
                              "iq:" + dir.file("site.cu8")},
            run.path);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, c.err);

        std::vector<std::string> names = files_in(run.file("calls"));
        ASSERT_EQ(names.size(), c.recorded.size());
        for (unsigned chan : c.recorded) {
            SCOPED_TRACE(chan);
            auto file = std::find_if(names.begin(), names.end(), [&](const std::string& n) {
                return n.size() > 16 && utc_stamp(n.substr(0, 16)) && n.substr(16) == parties.at(chan);
            });
            ASSERT_NE(file, names.end());

            SF_INFO info = {};
            SNDFILE* wav = sf_open(run.file("calls/" + *file).c_str(), SFM_READ, &info);
            ASSERT_NE(wav, nullptr);
            EXPECT_EQ(info.samplerate, 16000);
            EXPECT_EQ(info.channels, 1);
            EXPECT_EQ(info.format, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
            std::vector<float> x((size_t)info.frames);
            sf_read_float(wav, x.data(), info.frames);
            sf_close(wav);

            // CALLTIMEOUT ends a recording whose channel carries no signal
            // that long; a call with its carrier on lasts to its CLEAR.
            double want = spans[chan].end - spans[chan].start;
            if (c.timeout > 0 && tones.at(chan) == 0 && want > c.timeout)
                want = c.timeout;
            if (c.timeout > 0) {
                // One call_end for the call: at its CLEAR, or at the time-out of the silent one.
                const std::string events = read_file(run.file("events.json"));
                const std::regex end("\"type\":\"call_end\"[^\n]*\"channel\":" + std::to_string(chan) +
                                     ",[^\n]*\"ended\":\"([a-z_]*)\"");
                std::vector<std::string> how;
                for (std::sregex_iterator m(events.begin(), events.end(), end), e; m != e; ++m)
                    how.push_back((*m)[1]);
                EXPECT_EQ(how, std::vector<std::string>{tones.at(chan) == 0 ? "timeout" : "clear"}) << events;
            }
            EXPECT_NEAR((double)x.size() / 16000, want, 0.1);
            // The call's tone from its first tenth of a second, at half
            // scale for the full deviation; no FFSK of the control channel,
            // no other call's tone.
            double tone = tones.at(chan);
            if (tone == 0) {
                for (float v : x)
                    ASSERT_LT(std::fabs(v), 0.01);
                continue;
            }
            EXPECT_GT(tone_level(x, 320, 1600, tone, 16000), 0.4);
            size_t mid_from = x.size() / 4, mid_to = x.size() * 3 / 4;
            double level = tone_level(x, mid_from, mid_to, tone, 16000);
            EXPECT_NEAR(level, 0.5, 0.05);
            for (double other : {1200.0, 1800.0, 700.0, 1000.0}) {
                if (other != tone) {
                    EXPECT_LT(tone_level(x, mid_from, mid_to, other, 16000), level / 100) << other;
                }
            }
        }
    }
}

// CCHFREQUENCY of the system just identified moves the control channel: to
// where nothing is sent (nothing more is decoded), or out of the band.
TEST(RecordCalls, ControlChannelOfTheSystemOnTheAir)
{
    if (!sdr_can_demodulate)
        GTEST_SKIP() << "no IQ input in this build";
    temp_dir_t dir;
    run_result_t g = run_program(mptgen_path(),
                                 {"-t", "cu8", "--center", "420250000", "-o", dir.file("site.cu8"), "-"},
                                 "", calls_script);
    ASSERT_EQ(g.status, 0) << g.err;
    struct {
        const char* cch;
        const char* err;
    } cases[] = {
        {"4200000", ""},
        {"4203000", ""},
        {"4300000", "marrowit: the control channel at 430.0000 MHz lies outside the captured band "
                    "(usable: 419.2385 to 421.2615 MHz, --center and --rate less 12.5 kHz at each edge)\n"},
    };
    for (auto c : cases) {
        SCOPED_TRACE(c.cch);
        write_file(dir.file("solvane.ini"),
                   std::string("[general]\nFILTER=5\n[rs232]\nRADIO=0\n[0x1234]\nCCHFREQUENCY=") +
                       c.cch + "\n");
        run_result_t r = run_program(marrowit_path(), {"-q", "--center", "420250000", "iq:site.cu8"}, dir.path);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, c.err);
        size_t reports = 0;
        for (size_t at = r.out.find("- CCSC"); at != std::string::npos; at = r.out.find("- CCSC", at + 1))
            reports++;
        EXPECT_EQ(reports, std::string(c.cch) == "4200000" ? 8u : 1u) << r.out;
    }
}

}  // namespace

// A traffic channel far outside the captured band adds nothing to the
// capture (a receiver's anti-alias filter takes it away; sampled as it is,
// it would fold onto some channel of the band), at any sample rate; and
// every codeword of the control channel is decoded, also with calls as
// strong as it on both channels beside it.
TEST(RecordCalls, CarriersOutsideTheBandAndBesideTheControlChannel)
{
    if (!sdr_can_demodulate)
        GTEST_SKIP() << "no IQ input in this build";
    temp_dir_t dir;
    write_file(dir.file("solvane.ini"), "[rs232]\nRADIO=0\n");
    std::string script;
    for (int chan : {685, 1, 920, 2, 7})  // 8.5 MHz and more away, 12.5 and 25 kHz away
        script += "ccsc 0x1234\ngtc pfix=1 ident1=2 ident2=3 chan=" + std::to_string(chan) +
                  "\nccsc 0x1234\naloha\n";
    for (const char* rate : {"256000", "480000", "1024000", "2048000", "2400000"}) {
        SCOPED_TRACE(rate);
        std::vector<std::string> args = {"-t", "cu8", "--rate", rate, "--center", "420050000",
                                         "-o", dir.file("a.cu8"), "-e", script};
        ASSERT_EQ(run_program(mptgen_path(), args, "").status, 0);
        args[7] = dir.file("b.cu8");
        args.insert(args.begin(), {"--no-carrier", "685", "--no-carrier", "920"});
        ASSERT_EQ(run_program(mptgen_path(), args, "").status, 0);
        EXPECT_TRUE(read_file(dir.file("a.cu8")) == read_file(dir.file("b.cu8")));
        run_result_t r = run_program(marrowit_path(), {"--center", "420050000", "--rate", rate,
                                                       "iq:a.cu8"}, dir.path);
        EXPECT_NE(r.err.find("20 codewords passed, 0 failed"), std::string::npos) << r.err;
    }
}
