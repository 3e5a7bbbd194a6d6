// What IQ input says when it is given wrongly: usage errors for the tuning
// options, and the likely causes when a capture decodes nothing.
#include <gtest/gtest.h>

#include "harness.h"
#include "sdr/sdr.h"

namespace {

TEST(IqHints, TuningOptionsAreCheckedWithAHint)
{
    const std::string centre_hint = "invalid centre frequency (1M to 10G Hz, as in 420.5M or 420500000)";
    const struct {
        std::vector<std::string> args;
        int status;
        std::string err;  // "" with status 0: accepted
    } cases[] = {
        {{"--center", "420.5"}, 2, centre_hint + " '420.5'"},
        {{"--center", "999999"}, 2, centre_hint + " '999999'"},
        {{"--center", "10.1G"}, 2, centre_hint + " '10.1G'"},
        {{"--center", "inf"}, 2, centre_hint + " 'inf'"},
        {{"--center", "nan"}, 2, centre_hint + " 'nan'"},
        {{"--center", "1e300"}, 2, centre_hint + " '1e300'"},
        {{"--center", "420.5MHz"}, 2, centre_hint + " '420.5MHz'"},
        {{"--center", "M"}, 2, centre_hint + " 'M'"},
        {{"--center", "420.5M", "--gain", "20"}, 2,
         "--gain sets a receiver's gain, for sdr: input, not 'iq:none.cu8'"},
        {{"--center", "420.5M", "--rate", "2.048m"}, 2,
         "invalid IQ sample rate (48000 to 100000000 Hz) '2.048m'"},
        {{"--center", "420.5M", "--rate", "20k"}, 2,
         "invalid IQ sample rate (48000 to 100000000 Hz) '20k'"},
        // Accepted: the recording is then missing.
        {{"--center", "420.5M", "--rate", "2.048M"}, 0, ""},
        {{"--center", "420500k", "--rate", "250k"}, 0, ""},
        {{"--center", "0.4205G"}, 0, ""},
        {{"--center=420500000"}, 0, ""},
    };
    temp_dir_t dir;
    for (const auto& c : cases) {
        std::vector<std::string> args = c.args;
        args.push_back("iq:none.cu8");
        run_result_t r = run_program(marrowit_path(), args, dir.path);
        SCOPED_TRACE(c.args.back());
        if (c.status == 2) {
            EXPECT_EQ(r.status, 2);
            EXPECT_EQ(r.err, "marrowit: " + c.err + " (see 'marrowit --help')\n");
        } else {
            EXPECT_NE(r.status, 2) << r.err;
            EXPECT_EQ(r.err.find("invalid"), std::string::npos) << r.err;
        }
    }
}

TEST(IqHints, NothingDecodedNamesTheTuning)
{
    if (!sdr_can_demodulate)
        GTEST_SKIP() << "no IQ input in this build";
    temp_dir_t dir;
    write_file(dir.file("solvane.ini"), "[rs232]\nRADIO=0\n");
    std::string script;
    for (int k = 0; k < 10; k++)
        script += "ccsc 0x1234\nack pfix=1 ident1=2 ident2=3\n";
    run_result_t g = run_program(mptgen_path(), {"-t", "cu8", "--center", "420250000", "-o", dir.file("c.cu8"), "-"},
                                 "", script);
    ASSERT_EQ(g.status, 0) << g.err;
    // Right, then with the centre 500 kHz off: the control channel at 420 MHz
    // still lies in the band, but what is there is not it.
    run_result_t right = run_program(marrowit_path(), {"--center", "420.25M", "iq:c.cu8"}, dir.path);
    EXPECT_EQ(right.status, 0);
    EXPECT_EQ(right.err.find("nothing decoded"), std::string::npos) << right.err;
    run_result_t off = run_program(marrowit_path(), {"--center", "420.75M", "iq:c.cu8"}, dir.path);
    EXPECT_EQ(off.status, 0);
    const std::string tail =
        " 0 sync words, 0 codewords passed, 0 failed, no system identity; nothing decoded: not an "
        "MPT 1327 control channel? the wrong --center, --ppm or --rate, or CCHFREQUENCY in the "
        "settings not the control channel? a network using other synchronisation words (SYNC in "
        "the settings)? the level too low or clipped?\n";
    ASSERT_GT(off.err.size(), tail.size()) << off.err;
    EXPECT_EQ(off.err.substr(off.err.size() - tail.size()), tail);
}

}  // namespace
