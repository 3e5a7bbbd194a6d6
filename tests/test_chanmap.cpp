// Channel maps with ranges (CHANMAP): the parser as a table of good and bad
// maps with what is said of each; and the real program with a two-range map
// against none: the frequencies on the console, in the JSON lines, in the
// serial and Hamlib receivers' commands, in the recordings of an IQ capture
// and in the raster the hunter searches; a channel in no range said once,
// never tuned nor recorded.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <regex>

#include "harness.h"
#include "mpt1327/chanmap.h"
#include "pty.h"
#include "rigctld.h"
#include "sdr/sdr.h"

namespace {

TEST(ChanMap, ParsingTable)
{
    const std::string long_range = "1-" + std::string(60, '9') + ":4010000:125";
    const struct {
        std::string text, trouble;
        std::vector<std::pair<unsigned, double>> freqs;  // channel, MHz (0: in no range)
    } cases[] = {
        {"1-251:4010000:125,301-364:4060000:125", "",
         {{1, 401.0}, {251, 404.125}, {252, 0}, {300, 0}, {301, 406.0}, {364, 406.7875}, {365, 0}}},
        {" 301-364:4060000:125 , 1-251:4010000:125 ", "", {{2, 401.0125}, {302, 406.0125}}},
        {"0-1023:1000000:250", "", {{0, 100.0}, {1023, 125.575}}},
        {"7-7:4500000:1", "", {{6, 0}, {7, 450.0}, {8, 0}}},
        {"1-10:10000:1,11-11:100000000:1", "", {{1, 1.0}, {11, 10000.0}}},
        {"1-251:4010000:125,,301-364:4060000:125", "range 2 '' is empty", {{1, 0}}},
        {"1-251:4010000:125,", "range 2 '' is empty", {}},
        {"1-251:401.0:125", "range 1 '1-251:401.0:125' is not FIRST-LAST:FREQUENCY:STEP in whole numbers", {}},
        {"1-251:4010000", "range 1 '1-251:4010000' is not FIRST-LAST:FREQUENCY:STEP in whole numbers", {}},
        {"a-b:c:d", "range 1 'a-b:c:d' is not FIRST-LAST:FREQUENCY:STEP in whole numbers", {}},
        {"1-251:4010000:125x", "range 1 '1-251:4010000:125x' is not FIRST-LAST:FREQUENCY:STEP in whole numbers", {}},
        {"1-251:4010000:125,364-301:4060000:125",
         "range 2 '364-301:4060000:125' is inverted: FIRST 364 is above LAST 301", {}},
        {"1-1024:4010000:125",
         "range 1 '1-1024:4010000:125' has a channel outside 0 to 1023 (the protocol's 10-bit channel field)", {}},
        {"-1-10:4010000:125",
         "range 1 '-1-10:4010000:125' has a channel outside 0 to 1023 (the protocol's 10-bit channel field)", {}},
        {long_range, "range 1 '1-" + std::string(38, '9') + "...' has a channel "
                     "outside 0 to 1023 (the protocol's 10-bit channel field)", {}},
        {"1-251:4010000:0", "range 1 '1-251:4010000:0' has STEP 0: it must be above 0", {}},
        {"1-251:4010000:-125", "range 1 '1-251:4010000:-125' has STEP -125: it must be above 0", {}},
        {"1-251:9999:125", "range 1 '1-251:9999:125' has FREQUENCY 9999, outside 1 MHz to 10 GHz (in units of 100 Hz)", {}},
        {"1-251:4010000000:125",
         "range 1 '1-251:4010000000:125' has FREQUENCY 4010000000, outside 1 MHz to 10 GHz (in units of 100 Hz)", {}},
        {"1-3:99999999:1", "range 1 '1-3:99999999:1' puts channel 3 above 10 GHz", {}},
        {"1-251:4010000:125,200-364:4060000:125",
         "range 2 '200-364:4060000:125' overlaps range 1 '1-251:4010000:125' (channels 200 to 251)", {}},
        {"10-20:4010000:125,1-30:4060000:125",
         "range 2 '1-30:4060000:125' overlaps range 1 '10-20:4010000:125' (channels 10 to 20)", {}},
        {"5-5:4010000:125,5-5:4010000:125", "range 2 '5-5:4010000:125' overlaps range 1 '5-5:4010000:125' (channels 5 to 5)", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        chanmap_t map;
        EXPECT_EQ(chanmap_parse(c.text, &map), c.trouble);
        EXPECT_TRUE(map.present);
        if (!c.trouble.empty()) {
            EXPECT_TRUE(map.ranges.empty()) << "a bad map is not used in part";
        }
        for (const auto& f : c.freqs) {
            double mhz = -1;
            EXPECT_EQ(chanmap_freq(map, f.first, &mhz), f.second != 0) << f.first;
            if (f.second != 0) {
                EXPECT_EQ(freq_text(mhz), freq_text(f.second)) << f.first;
            }
        }
    }
    chanmap_t map;
    chanmap_parse("1-251:4010000:125,301-364:4060000:125", &map);
    std::vector<double> r = chanmap_raster(map, 404.1, 406.02);
    EXPECT_EQ(r, (std::vector<double>{404.1, 404.1125, 404.125, 406.0, 406.0125}));
}

// ---- the real program -----------------------------------------------------

const std::string TWO_RANGES = "CHANMAP=1-251:4010000:125,301-364:4060000:125\n";

// Calls on channel 100 (first range), 310 (second) and 280 (in neither,
// twice), a maintenance message and a move on 280.
const std::string SCRIPT =
    "ccsc 0x1234\ngtc pfix=12 ident1=345 ident2=678 chan=100\n"
    "ccsc 0x1234\nclear chan=100 cont=5\n"
    "ccsc 0x1234\ngtc pfix=12 ident1=345 ident2=678 chan=310\n"
    "ccsc 0x1234\nclear chan=310 cont=5\n"
    "ccsc 0x1234\ngtc pfix=12 ident1=345 ident2=678 chan=280\n"
    "ccsc 0x1234\nmaint pfix=12 ident1=345 chan=280\n"
    "ccsc 0x1234\nclear chan=280 cont=5\n"
    "ccsc 0x1234\ngtc pfix=12 ident1=345 ident2=679 chan=280\n"
    "ccsc 0x1234\nmove pfix=12 ident1=345 chan=280\n";

const std::string UNMAPPED_280 =
    "marrowit: channel 280 of [0x1234] lies in no range of its CHANMAP: it is not tuned and its "
    "calls are not recorded\n";

// (type, channel, freq as written) of every JSON line with a channel.
std::vector<std::string> json_freqs(const std::string& json)
{
    std::vector<std::string> out;
    const std::regex field("\"type\":\"([A-Za-z_]+)\".*\"channel\":([0-9]+),.*\"freq\":([^,}]+)");
    for (const std::string& l : lines_of(json)) {
        std::smatch m;
        if (std::regex_search(l, m, field))
            out.push_back(m[1].str() + " " + m[2].str() + " " + m[3].str());
    }
    return out;
}

// Standard error without the line said at the first tuning command.
std::string without_tuning(const std::string& err)
{
    return std::regex_replace(err, std::regex("marrowit: tuning [^\n]*\n"), "");
}

struct map_run_t {
    run_result_t run;
    std::string serial, json;
};

map_run_t run_with(const std::string& section)
{
    pty_t pty;
    temp_dir_t dir;
    write_file(dir.file("solvane.ini"), "[general]\nTARGET_PREF=9999\n[rs232]\nRADIO=1\nDEVICE=" +
                                            pty.slave + "\n[0x1234]\nCCHFREQUENCY=4010000\n" + section);
    map_run_t r;
    std::string audio = render_u8(SCRIPT);
    {
        pty_drain_t drain(&pty);
        r.run = run_program(marrowit_path(), {"-q", "--json", "events.json", "-"}, dir.path, audio);
        r.serial = drain.finish();
    }
    r.json = read_file(dir.file("events.json"));
    return r;
}

TEST(ChanMap, FrequenciesOnConsoleJsonAndSerialReceiverWithAndWithoutMap)
{
    map_run_t plain = run_with("");
    EXPECT_EQ(plain.run.status, 0);
    EXPECT_EQ(plain.serial,
              "RF0421250000\n\rRF0401000000\n\rRF0423875000\n\rRF0401000000\n\r"
              "RF0423500000\n\rRF0401000000\n\rRF0423500000\n\r");
    // Every record with a channel: the calls on 100 and 310, and the two on
    // 280 with its maintenance message and move.
    std::vector<std::string> want_json;
    for (const char* at : {"100 421.2500", "310 423.8750"})
        for (const char* type : {"GTC ", "call_start ", "CLEAR ", "call_end "})
            want_json.push_back(type + std::string(at));
    for (const char* type : {"GTC ", "call_start ", "MAINT ", "CLEAR ", "call_end ", "GTC ",
                             "call_start ", "MOVE ", "call_end "})
        want_json.push_back(type + std::string("280 423.5000"));
    EXPECT_EQ(json_freqs(plain.json), want_json);

    map_run_t mapped = run_with(TWO_RANGES);
    EXPECT_EQ(mapped.run.status, 0);
    // Channel 280 is said once, never tuned; its CLEAR still sends the
    // receiver to the control channel, as every CLEAR does.
    EXPECT_EQ(without_tuning(mapped.run.err), UNMAPPED_280);
    EXPECT_EQ(mapped.serial,
              "RF0402237500\n\rRF0401000000\n\rRF0406112500\n\rRF0401000000\n\rRF0401000000\n\r");
    // The JSON and the console: the same lines, with the map's frequencies
    // and null or "unmapped" in the place of a frequency in no range.
    auto replaced = [](std::string text, const char* unmapped) {
        for (auto sub : std::vector<std::pair<std::string, std::string>>{
                 {"421.2500", "402.2375"}, {"423.8750", "406.1125"}, {"423.5000", unmapped}})
            text = std::regex_replace(text, std::regex(sub.first), sub.second);
        return text;
    };
    for (std::string& line : want_json)
        line = replaced(line, "null");
    EXPECT_EQ(json_freqs(mapped.json), want_json);
    std::string want = replaced(mask_times(plain.run.out), "unmapped");
    EXPECT_EQ(mask_times(mapped.run.out), want);
    EXPECT_NE(want.find("       | Ch:280    Freq:unmapped Mhz    |         <TIME>\n"), std::string::npos);
    EXPECT_NE(want.find("- CLEAR| Call clear-down                | Ch: 280  Freq: unmapped \n"),
              std::string::npos);
    EXPECT_NE(want.find("(Act. Chan: 280 Freq: unmapped MHz)"), std::string::npos);
    EXPECT_NE(want.find("Ch:280 Freq:unmapped MHz"), std::string::npos);
}

TEST(ChanMap, BadMapIsSaidOnceAndTunesNothing)
{
    const struct {
        std::string section, err;
    } cases[] = {
        {"CHANMAP=1-251:4010000:125,364-301:4060000:125\n",
         "marrowit: solvane.ini: [0x1234] CHANMAP range 2 '364-301:4060000:125' is inverted: FIRST "
         "364 is above LAST 301; the map is not used, and no channel of 0x1234 is tuned or recorded\n"},
        {"CHANMAP=1-251:4010000:125,200-364:4060000:125\n",
         "marrowit: solvane.ini: [0x1234] CHANMAP range 2 '200-364:4060000:125' overlaps range 1 "
         "'1-251:4010000:125' (channels 200 to 251); the map is not used, and no channel of 0x1234 "
         "is tuned or recorded\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.section);
        map_run_t r = run_with(c.section);
        EXPECT_EQ(r.run.status, 0);
        // Read again at the identity of every ccsc, said once; then each
        // channel, once.
        EXPECT_EQ(without_tuning(r.run.err), c.err +
                           "marrowit: channel 100 of [0x1234] lies in no range of its CHANMAP: it is "
                           "not tuned and its calls are not recorded\n"
                           "marrowit: channel 310 of [0x1234] lies in no range of its CHANMAP: it is "
                           "not tuned and its calls are not recorded\n" +
                           UNMAPPED_280);
        // Only the clear-downs' returns to the control channel.
        EXPECT_EQ(r.serial, "RF0401000000\n\rRF0401000000\n\rRF0401000000\n\r");
        EXPECT_EQ(r.json.find("\"freq\":4"), std::string::npos);
    }
}

TEST(ChanMap, HamlibRigIsTunedToTheMapsFrequencies)
{
    if (!rigctld_available())
        GTEST_SKIP() << "no rigctld here, or a build without Hamlib";
    rigctld_t rig;
    temp_dir_t dir;
    write_file(dir.file("solvane.ini"), "[general]\nTARGET_PREF=9999\n[rs232]\nRADIO=3\nRIG_PATH=" +
                                            rig.path() + "\n[0x1234]\nCCHFREQUENCY=4010000\n" +
                                            TWO_RANGES);
    piped_program_t program(marrowit_path(), {"-q", "-"}, dir.path);
    program.feed(render_u8("ccsc 0x1234\ngtc pfix=12 ident1=1 ident2=2 chan=310\n"));
    EXPECT_EQ(rig.wait_freq(406112500), 406112500);
    program.feed(render_u8("ccsc 0x1234\nclear chan=310 cont=5\n"));
    EXPECT_EQ(rig.wait_freq(401000000), 401000000);
    program.feed(render_u8("ccsc 0x1234\ngtc pfix=12 ident1=1 ident2=2 chan=280\n"));
    ASSERT_TRUE(program.wait_for("Ch:280", "console.out"));
    program.feed(render_u8("ccsc 0x1234\ngtc pfix=12 ident1=1 ident2=2 chan=7\n"));
    EXPECT_EQ(rig.wait_freq(401075000), 401075000);
    run_result_t r = program.finish();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(without_tuning(r.err), UNMAPPED_280);
}

// An IQ capture whose channel 310 lies in the map's second range (420.6 MHz)
// and whose channel 280, in no range, carries a call inside the band: the
// calls on 42 and 310 are recorded with their tones, 280 is not.
TEST(ChanMap, RecordingsTakeTheMapsFrequencies)
{
    if (!sdr_can_demodulate)
        GTEST_SKIP() << "no IQ input in this build";
    temp_dir_t dir;
    const std::string script =
        "ccsc 0x1234\ngtc pfix=12 ident1=345 ident2=678 chan=42\npreamble 600\n"
        "ccsc 0x1234\ngtc pfix=12 ident1=346 ident2=679 chan=310\npreamble 600\n"
        "ccsc 0x1234\ngtc pfix=12 ident1=347 ident2=680 chan=280\npreamble 600\n"
        "ccsc 0x1234\nclear chan=42 cont=5\nccsc 0x1234\nclear chan=310 cont=5\n"
        "ccsc 0x1234\nclear chan=280 cont=5\n";
    run_result_t g = run_program(mptgen_path(),
                                 {"-t", "cu8", "--center", "420250000", "--chan-at", "310:420600000",
                                  "--chan-at", "280:420700000", "--tone-on", "310:700", "-o",
                                  dir.file("site.cu8"), "-"},
                                 "", script);
    ASSERT_EQ(g.status, 0) << g.err;
    write_file(dir.file("solvane.ini"),
               "[general]\nTARGET_PREF=9999\n[rs232]\nRADIO=0\n[0x1234]\n"
               "CCHFREQUENCY=4200000\nCHANMAP=1-251:4200125:125,301-364:4204875:125\n");
    run_result_t r = run_program(marrowit_path(),
                                 {"-q", "--center", "420250000", "--record", "calls", "iq:site.cu8"}, dir.path);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, UNMAPPED_280);
    std::vector<std::string> names = files_in(dir.file("calls"));
    ASSERT_EQ(names.size(), 2u);
    std::sort(names.begin(), names.end(),
              [](const std::string& a, const std::string& b) { return a.substr(16) < b.substr(16); });
    EXPECT_EQ(names[0].substr(16), "_1234_ch310_12-346_from_679.wav");
    EXPECT_EQ(names[1].substr(16), "_1234_ch42_12-345_from_678.wav");
    // Each holds its own tone: the map put the recorder on 420.6 MHz for 310.
    for (size_t k = 0; k < 2; k++) {
        std::string wav = read_file(dir.file("calls/" + names[k]));
        ASSERT_GT(wav.size(), 44u + 16000);
        double hz = k == 0 ? 700 : 1000, c = 0, s = 0;
        size_t n = (wav.size() - 44) / 2;
        for (size_t i = 1600; i < n; i++) {
            short v = (short)((unsigned char)wav[44 + 2 * i] | (unsigned char)wav[45 + 2 * i] << 8);
            c += v * std::cos(6.283185307179586 * hz * (double)i / 16000);
            s += v * std::sin(6.283185307179586 * hz * (double)i / 16000);
        }
        EXPECT_GT(2 * std::hypot(c, s) / (double)(n - 1600) / 32768, 0.4) << names[k];
    }
}

// The hunter searches the map's channels: a control channel at 420.6 MHz
// (channel 28 of the map below) is found; with a map that leaves it out it is not.
TEST(ChanMap, HuntingSearchesTheMapsChannels)
{
    if (!sdr_can_demodulate)
        GTEST_SKIP() << "no IQ input in this build";
    temp_dir_t dir;
    std::string slots;
    for (int i = 0; i < 40; i++)
        slots += "ccsc 0x1234\naloha\n";
    run_result_t g = run_program(mptgen_path(),
                                 {"-t", "cu8", "--center", "420250000", "--control", "420600000",
                                  "--snr", "20", "-o", dir.file("band.cu8"), "-"},
                                 "", slots);
    ASSERT_EQ(g.status, 0) << g.err;
    for (const char* map : {"1-10:4190000:125,20-30:4205000:125", "1-10:4190000:125,20-27:4203000:125"}) {
        SCOPED_TRACE(map);
        write_file(dir.file("solvane.ini"),
                   std::string("[general]\nFILTER=5\n[rs232]\nRADIO=0\n[0xffff]\nCHANMAP=") + map + "\n");
        run_result_t r = run_program(marrowit_path(), {"-q", "--center", "420250000", "iq:band.cu8"}, dir.path);
        EXPECT_EQ(r.status, 0);
        bool found = r.err.find("marrowit: control channel at 420.6000 MHz, system 0x1234") == 0;
        EXPECT_EQ(found, std::string(map).find("20-30") != std::string::npos) << r.err;
    }
}

}  // namespace
