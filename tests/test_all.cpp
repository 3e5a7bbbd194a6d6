// --all: two systems' control channels in one generated IQ capture, each
// decoded by the real program as if it were the only one, and the decoder
// contexts that keep them apart.
#include <gtest/gtest.h>

#include <regex>

#include "harness.h"
#include "mpt1327/decoder.h"
#include "mpt1327/mpt1327.h"
#include "sdr/sdr.h"

namespace {

// A site's control channel: slots of ALOHA, two calls that start and clear.
std::string site_script(const std::string& sys, int chan1, int chan2)
{
    std::string s;
    auto idle = [&](int slots) {
        for (int i = 0; i < slots; i++)
            s += "ccsc " + sys + "\naloha\n";
    };
    idle(8);
    s += "ccsc " + sys + "\ngtc pfix=12 ident1=345 ident2=678 chan=" + std::to_string(chan1) + "\n";
    idle(4);
    s += "ccsc " + sys + "\ngtc pfix=12 ident1=346 ident2=679 chan=" + std::to_string(chan2) + "\n";
    idle(4);
    s += "ccsc " + sys + "\nclear chan=" + std::to_string(chan1) + "\n";
    idle(4);
    s += "ccsc " + sys + "\nclear chan=" + std::to_string(chan2) + "\n";
    idle(4);
    return s;
}

const std::string sections = "[0x1234]\nCCHFREQUENCY=4200000\n[0x4321]\nCCHFREQUENCY=4203000\n";

// Settings whose control channel before the first identity is first_cch
// (units of 100 Hz), every call followed and recorded, with the
// demodulator's keys given.
void settings(const std::string& dir, const std::string& first_cch, const std::string& demod)
{
    write_file(dir + "/solvane.ini", "[general]\nFILTER=5\nTARGET_PREF=9999\nTARGET_ID=9999\n" +
                                         demod + "[rs232]\nRADIO=0\n[0xffff]\nCCHFREQUENCY=" +
                                         first_cch + "\n" + sections);
}

// The JSON lines of one system, the wall clock and the recordings' UTC
// start taken out.
std::vector<std::string> records_of(const std::string& json, const std::string& sys)
{
    std::vector<std::string> out;
    for (const std::string& l : lines_of(json)) {
        if (l.find("\"sys\":\"" + sys + "\"") == std::string::npos)
            continue;
        std::string t = std::regex_replace(l, std::regex("\"time\":\"[^\"]*\","), "");
        out.push_back(std::regex_replace(t, std::regex("/[0-9]{8}T[0-9]{6}Z_"), "/<UTC>_"));
    }
    return out;
}

// Recordings by name without their UTC start: their bytes.
std::map<std::string, std::string> recordings(const std::string& dir)
{
    std::map<std::string, std::string> out;
    for (const std::string& name : files_in(dir))
        out[name.substr(name.find('_') + 1)] = read_file(dir + "/" + name);
    return out;
}

// An IQ capture, band.cu8 in dir: script a on the control channel at
// control (Hz), script b on another site's at 420.3 MHz.  Whether it was made.
bool two_sites(const temp_dir_t& dir, const char* control, const std::string& a, const std::string& b)
{
    write_file(dir.file("b.txt"), b);
    run_result_t g = run_program(mptgen_path(),
                                 {"-t", "cu8", "--control", control, "--center", "420250000",
                                  "--snr", "20", "--site", "420300000:b.txt", "-o", "band.cu8", "-"},
                                 dir.path, a);
    EXPECT_EQ(g.status, 0) << g.err;
    return g.status == 0;
}

}  // namespace

TEST(All, TwoSystemsDecodedAsIfEachWereAlone)
{
    if (!sdr_can_demodulate)
        GTEST_SKIP() << "no IQ input in this build";
    temp_dir_t dir;
    ASSERT_TRUE(two_sites(dir, "420000000", site_script("0x1234", 10, 20), site_script("0x4321", 30, 40)));
    const std::string band = dir.file("band.cu8");

    // Both demodulators: the tone correlator, and the coherent one with its
    // soft framing (whose state is the largest a decoder keeps).
    for (const std::string demod : {"DEMOD=0\nCORRECT=0\n", "DEMOD=1\nCORRECT=1\n"}) {
        SCOPED_TRACE(demod);
        // Each system alone: the settings name its control channel.
        std::string json_alone[2], console_a;
        std::map<std::string, std::string> rec_alone;
        const char* cch[2] = {"4200000", "4203000"};
        for (int k = 0; k < 2; k++) {
            temp_dir_t alone;
            settings(alone.path, cch[k], demod);
            run_result_t r = run_program(marrowit_path(),
                                         {"-q", "--center", "420250000", "--record", "rec", "--json",
                                          "out.json", "iq:" + band},
                                         alone.path);
            ASSERT_EQ(r.status, 0) << r.err;
            EXPECT_EQ(r.err, "");
            json_alone[k] = read_file(alone.file("out.json"));
            if (k == 0)
                console_a = r.out;
            for (const auto& kv : recordings(alone.file("rec")))
                rec_alone[kv.first] = kv.second;
        }
        ASSERT_EQ(rec_alone.size(), 4u);

        // Both at once, the settings naming the first.
        temp_dir_t all;
        settings(all.path, cch[0], demod);
        run_result_t r = run_program(marrowit_path(),
                                     {"--all", "--center", "420250000", "--record", "rec", "--json",
                                      "out.json", "iq:" + band},
                                     all.path);
        ASSERT_EQ(r.status, 0) << r.err;
        std::string json = read_file(all.file("out.json"));
        const char* sys[2] = {"0x1234", "0x4321"};
        for (int k = 0; k < 2; k++) {
            std::vector<std::string> want = records_of(json_alone[k], sys[k]);
            EXPECT_EQ(want.size(), 64u) << sys[k];  // 28 slots' reports, identity, calls, stats
            EXPECT_EQ(records_of(json, sys[k]), want) << sys[k];
        }
        EXPECT_EQ(lines_of(json).size(), lines_of(json_alone[0]).size() + lines_of(json_alone[1]).size());
        // Every call of both systems recorded, as each alone records it.
        EXPECT_EQ(recordings(all.file("rec")), rec_alone);
        // The console shows the first system, as without --all; standard
        // error says what else was decoded.
        EXPECT_EQ(mask_times(r.out), mask_times(console_a));
        EXPECT_EQ(r.err,
                  "marrowit: --all: control channel at 420.3000 MHz, system 0x4321\n"
                  "marrowit: --all: 420.3000 MHz, system 0x4321: 28 sync words, 56 codewords passed, 0 failed\n"
                  "marrowit: 3.0 s of audio: 28 sync words, 56 codewords passed, 0 failed, 1 system (0x1234)\n");
    }
}

// A further control channel that falls silent with a call open: after HUNT
// seconds without a system codeword its call ends as a time-out, with its
// recording, and its last statistics follow; the first system goes on.
TEST(All, ASilentControlChannelEndsItsCalls)
{
    if (!sdr_can_demodulate)
        GTEST_SKIP() << "no IQ input in this build";
    temp_dir_t dir;
    std::string a, b;
    for (int i = 0; i < 48; i++)
        a += "ccsc 0x1234\naloha\n";
    for (int i = 0; i < 17; i++)
        b += i == 8 ? "ccsc 0x4321\ngtc pfix=12 ident1=345 ident2=678 chan=30\n"
                    : "ccsc 0x4321\naloha\n";
    ASSERT_TRUE(two_sites(dir, "420000000", a, b));
    write_file(dir.file("solvane.ini"), "[general]\nFILTER=5\nHUNT=2\nTARGET_PREF=9999\n"
                                        "TARGET_ID=9999\n[rs232]\nRADIO=0\n[0xffff]\n"
                                        "CCHFREQUENCY=4200000\n" + sections);
    run_result_t r = run_program(marrowit_path(),
                                 {"-q", "--all", "--center", "420250000", "--record", "rec",
                                  "--json", "out.json", "iq:band.cu8"},
                                 dir.path);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "marrowit: --all: control channel at 420.3000 MHz, system 0x4321\n");
    std::vector<std::string> got = records_of(read_file(dir.file("out.json")), "0x4321");
    ASSERT_GE(got.size(), 3u);
    // 17 slots (1.8 s) and HUNT=2: the end comes 3.8 s into the capture.
    std::smatch m;
    std::string end = got[got.size() - 2];
    ASSERT_TRUE(std::regex_match(end, m, std::regex("\\{\"offset\":([0-9.]+),\"sys\":\"0x4321\","
                                                    "\"type\":\"call_end\",\"prefix\":12,"
                                                    "\"ident1\":345,\"ident2\":678,\"channel\":30,"
                                                    "\"freq\":420.3750,\"data\":false,"
                                                    "\"followed\":true,\"duration\":[0-9.]+,"
                                                    "\"ended\":\"timeout\",\"file\":\"rec/<UTC>_"
                                                    "4321_ch30_12-345_from_678.wav\"\\}")))
        << end;
    EXPECT_NEAR(std::stod(m[1]), 3.8, 0.15);
    EXPECT_NE(got.back().find("\"type\":\"stats\""), std::string::npos) << got.back();
    EXPECT_NE(got.back().find("\"offset\":" + std::string(m[1])), std::string::npos);
    // The first system to the end of the capture (48 slots, 5.1 s).
    std::vector<std::string> first = records_of(read_file(dir.file("out.json")), "0x1234");
    ASSERT_FALSE(first.empty());
    EXPECT_NE(first.back().find("\"type\":\"stats\",\"seconds\":5.1"), std::string::npos)
        << first.back();
    std::vector<std::string> files = files_in(dir.file("rec"));
    ASSERT_EQ(files.size(), 1u);
    EXPECT_NE(files[0].find("_4321_ch30_12-345_from_678.wav"), std::string::npos);
}

// No control channel in the settings: the first decoder searches the band
// and gets a control channel of its own, the other system a further
// decoder; neither system is decoded twice.
TEST(All, TheFirstDecoderSearchingIsLeftAControlChannel)
{
    if (!sdr_can_demodulate)
        GTEST_SKIP() << "no IQ input in this build";
    temp_dir_t dir;
    std::string a, b;
    for (int i = 0; i < 40; i++) {
        a += "ccsc 0x1234\naloha\n";
        b += "ccsc 0x4321\naloha\n";
    }
    ASSERT_TRUE(two_sites(dir, "420600000", a, b));
    write_file(dir.file("solvane.ini"), "[general]\nFILTER=5\n[rs232]\nRADIO=0\n");
    run_result_t r = run_program(marrowit_path(), {"-q", "--all", "--center", "420250000", "--json",
                                                   "out.json", "iq:band.cu8"},
                                 dir.path);
    ASSERT_EQ(r.status, 0) << r.err;
    std::string json = read_file(dir.file("out.json"));
    for (const char* sys : {"0x1234", "0x4321"}) {
        std::vector<std::string> got = records_of(json, sys);
        size_t identities = 0, stats = 0;
        for (const std::string& l : got) {
            identities += l.find("\"type\":\"identity\"") != std::string::npos;
            stats += l.find("\"type\":\"stats\"") != std::string::npos;
        }
        EXPECT_EQ(identities, 1u) << sys;
        EXPECT_EQ(stats, 1u) << sys;
    }
    EXPECT_TRUE(std::regex_match(r.err, std::regex("marrowit: --all: control channel at 420\\.[36]000 MHz, "
                                                   "system 0x(1234|4321)\n"
                                                   "marrowit: control channel at 420\\.[36]000 MHz, "
                                                   "system 0x(1234|4321), level [0-9.]+ dB above the "
                                                   "band's noise\n")))
        << r.err;
}

TEST(All, RefusedWithoutABand)
{
    temp_dir_t dir;
    struct {
        std::vector<std::string> args;
        std::string input;
    } cases[] = {
        {{"--all"}, "the sound card"},
        {{"--all", "-"}, "-"},
        {{"--all", "rec.wav"}, "rec.wav"},
        {{"--all", "udp:7355"}, "udp:7355"},
        {{"mqtt:localhost", "--all"}, "mqtt:localhost"},
    };
    for (const auto& c : cases) {
        run_result_t r = run_program(marrowit_path(), c.args, dir.path);
        EXPECT_EQ(r.status, 2) << c.input;
        // A build without IQ input (liquid-dsp) has no --all at all.
        EXPECT_EQ(r.err, sdr_can_demodulate
                             ? "marrowit: --all decodes every control channel of a band and needs "
                               "IQ input (iq: or sdr:), not '" + c.input + "' (see 'marrowit --help')\n"
                             : "marrowit: --all is not in this build: '--all' (see 'marrowit --help')\n");
        EXPECT_EQ(r.out, "");
    }
}

// The decoder contexts themselves: a variable listed with decoder_var is
// one decoder's, a new decoder starts where decoder_fresh left it, and a
// closed decoder's number is given again with a fresh state.
TEST(All, DecoderContextsKeepTheirOwnState)
{
    EXPECT_GE(decoder_var_count(), 60u);
    reset_decoder();
    ASSERT_EQ(decoder_current(), 0);
    currentsys = 0xffff;
    decode_counts = decode_counts_t{};
    decoder_fresh();
    currentsys = 0x1234;
    decode_counts.systems.push_back(0x1234);
    int a = decoder_open(), b = decoder_open();
    EXPECT_EQ(a, 1);
    EXPECT_EQ(b, 2);
    struct {
        int k;
        unsigned short sys;
    } steps[] = {{1, 0x4321}, {2, 0x5555}, {0, 0x1234}, {1, 0x4321}, {2, 0x5555}};
    for (const auto& s : steps) {
        decoder_switch(s.k);
        EXPECT_EQ(decoder_current(), s.k);
        if (currentsys == 0xffff) {  // the first visit: as decoder_fresh left it
            EXPECT_TRUE(decode_counts.systems.empty());
            currentsys = s.sys;
            decode_counts.systems.push_back(s.sys);
        }
        EXPECT_EQ(currentsys, s.sys);
        ASSERT_EQ(decode_counts.systems.size(), 1u);
        EXPECT_EQ(decode_counts.systems[0], s.sys);
    }
    decoder_switch(0);
    decoder_close(a);
    EXPECT_EQ(decoder_open(), a);
    decoder_switch(a);
    EXPECT_EQ(currentsys, 0xffff);
    EXPECT_TRUE(decode_counts.systems.empty());
    decoder_switch(0);
    decoder_close(a);
    decoder_close(b);
    EXPECT_EQ(currentsys, 0x1234);
    reset_decoder();
}
