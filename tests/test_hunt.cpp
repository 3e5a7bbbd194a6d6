// Control channel hunting through the real program on generated IQ
// captures: a control channel the settings do not name is found and decoded
// from as if it were configured, and found again after it moves.
#include <gtest/gtest.h>

#include <regex>

#include "harness.h"
#include "sdr/sdr.h"

namespace {

// 96 slots of a control channel: 10.2 s.
std::string slots_script()
{
    std::string s;
    for (int i = 0; i < 96; i++)
        s += "ccsc 0x1234\naloha\n";
    return s;
}

// The JSON lines without their wall-clock time, and apart from them the
// hunter's finds without their level.  The identity and statistics differ
// by design between a hunted and a configured control channel.
std::vector<std::string> records(const std::string& out, std::vector<std::string>* found = nullptr)
{
    std::vector<std::string> lines;
    for (const std::string& l : lines_of(std::regex_replace(out, std::regex("\"time\":\"[^\"]*\","), "")))
        if (l.find("\"type\":\"control_channel\"") != std::string::npos && found)
            found->push_back(std::regex_replace(l, std::regex(",\"level\":[0-9.]*"), ""));
        else if (!std::regex_search(l, std::regex("\"type\":\"(identity|stats|control_channel)\"")))
            lines.push_back(l);
    return lines;
}

double offset_of(const std::string& line)
{
    size_t at = line.find("\"offset\":");
    return at == std::string::npos ? -1 : std::stod(line.substr(at + 9));
}

std::string without_levels(const std::string& err)
{
    return std::regex_replace(err, std::regex(", level [0-9.]* dB above the band's noise"), "");
}

// A capture of the slots centred on 420.25 MHz, the control channel where
// the options put it, decoded with the settings given: the status is 0.
run_result_t decode(const temp_dir_t& dir, const std::vector<std::string>& where, const std::string& ini,
                    const std::string& script = slots_script())
{
    std::vector<std::string> gen = {"-t", "cu8", "--center", "420250000", "--snr", "20", "-o", dir.file("band.cu8"), "-"};
    gen.insert(gen.begin(), where.begin(), where.end());
    run_result_t g = run_program(mptgen_path(), gen, "", script);
    EXPECT_EQ(g.status, 0) << g.err;
    write_file(dir.file("solvane.ini"), "[general]\nFILTER=5\n" + ini + "[rs232]\nRADIO=0\n");
    run_result_t r = run_program(marrowit_path(), {"-q", "--center", "420250000", "--json", "-", "iq:band.cu8"}, dir.path);
    EXPECT_EQ(r.status, 0) << r.err;
    return r;
}

TEST(Hunt, FindsTheControlChannelAndDecodesAsIfConfigured)
{
    if (!sdr_can_demodulate)
        GTEST_SKIP() << "no IQ input in this build";
    temp_dir_t dir;
    // The reference: the same control channel where the program listens
    // before it knows the system, named in the settings too.
    run_result_t ref = decode(dir, {"--control", "420000000"}, "[0x1234]\nCCHFREQUENCY=4200000\n");
    EXPECT_EQ(ref.err, "");
    std::vector<std::string> want = records(ref.out);
    ASSERT_EQ(want.size(), 2u * 96);

    // No control channel in the settings at all.
    run_result_t r = decode(dir, {"--control", "420600000"}, "");
    EXPECT_EQ(without_levels(r.err), "marrowit: control channel at 420.6000 MHz, system 0x1234\n");
    std::vector<std::string> found;
    std::vector<std::string> got = records(r.out, &found);
    ASSERT_EQ(found.size(), 1u);
    // Decoding starts on the held half second before the search ends, which
    // may begin with a message or two before the first system codeword.
    while (!got.empty() && got[0].find("\"sys\":null") != std::string::npos)
        got.erase(got.begin());
    ASSERT_FALSE(got.empty());
    double first = offset_of(got[0]);
    EXPECT_LT(first, 1.5);
    EXPECT_EQ(found[0], "{\"offset\":" + found[0].substr(10, found[0].find(',') - 10) +
                            ",\"sys\":\"0x1234\",\"type\":\"control_channel\",\"frequency\":420.6000}");
    // Every record from the first system codeword on is the configured run's.
    std::vector<std::string> tail;
    for (const std::string& line : want)
        if (offset_of(line) >= first)
            tail.push_back(line);
    EXPECT_EQ(got, tail);
}

// The control channel moves at 4 s.  The search looks at the half second
// before HUNT seconds of silence are over and decodes it from the new
// channel: decoding resumes within HUNT seconds of the move.
TEST(Hunt, FindsAControlChannelThatMoved)
{
    if (!sdr_can_demodulate)
        GTEST_SKIP() << "no IQ input in this build";
    temp_dir_t dir;
    for (double hunt : {2.0, 5.0}) {
        SCOPED_TRACE(hunt);
        run_result_t r = decode(dir, {"--control", "420600000", "--move", "4:419800000"},
                                hunt == 5 ? "" : "HUNT=2\n");
        EXPECT_EQ(without_levels(r.err),
                  "marrowit: control channel at 420.6000 MHz, system 0x1234\n"
                  "marrowit: control channel at 419.8000 MHz, system 0x1234\n");
        std::vector<std::string> found;
        std::vector<std::string> got = records(r.out, &found);
        ASSERT_EQ(found.size(), 2u);
        EXPECT_NE(found[1].find("\"frequency\":419.8000}"), std::string::npos) << found[1];
        // Slots are 128 bits (0.107 s): the only gap is the move's.
        double moved_back = -1;
        for (size_t i = 1; i < got.size(); i++) {
            double gap = offset_of(got[i]) - offset_of(got[i - 1]);
            if (gap > 0.2) {
                EXPECT_LT(offset_of(got[i - 1]), 4.0) << got[i - 1];
                EXPECT_EQ(moved_back, -1) << "a second gap at " << got[i];
                moved_back = offset_of(got[i]);
            }
        }
        EXPECT_GT(moved_back, 4.0 + hunt - 1);
        EXPECT_LT(moved_back, 4.0 + hunt);
        // The find is said before what is decoded from the new channel.
        EXPECT_LT(offset_of(found[1]), moved_back);
        EXPECT_GT(offset_of(got.back()), 10.0);
    }
}

// A control channel silent for 1.8 s comes back where it was, after the
// search held the IQ back (from 1.5 s of silence with HUNT=2) and before
// it looked (at 2 s): the held half second goes to the same channel, and
// every record is the one a program that never searches decodes, at the
// same time; nothing is said.
TEST(Hunt, AControlChannelBackBeforeTheSearchLosesNothing)
{
    if (!sdr_can_demodulate)
        GTEST_SKIP() << "no IQ input in this build";
    temp_dir_t dir;
    std::string script;
    for (int i = 0; i < 20; i++)
        script += "ccsc 0x1234\naloha\n";
    script += "silence 2160\n";
    for (int i = 0; i < 30; i++)
        script += "ccsc 0x1234\naloha\n";
    const std::string ini = "[0x1234]\nCCHFREQUENCY=4200000\n";
    run_result_t never = decode(dir, {"--control", "420000000"}, "HUNT=0\n" + ini, script);
    run_result_t searching = decode(dir, {"--control", "420000000"}, "HUNT=2\n" + ini, script);
    EXPECT_EQ(searching.err, "");
    std::vector<std::string> want = records(never.out);
    ASSERT_EQ(want.size(), 2u * 50);
    EXPECT_EQ(records(searching.out), want);
}

}  // namespace
