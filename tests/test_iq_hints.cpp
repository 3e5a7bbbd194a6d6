// What IQ input says when it is given wrongly: usage errors for the tuning
// options, with a hint.
#include <gtest/gtest.h>

#include "harness.h"

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
        {{"--center", "10.1G"}, 2, centre_hint + " '10.1G'"},
        {{"--center", "inf"}, 2, centre_hint + " 'inf'"},
        {{"--center", "420.5MHz"}, 2, centre_hint + " '420.5MHz'"},
        {{"--center", "420.5M", "--gain", "20"}, 2,
         "--gain sets a receiver's gain, for sdr: input, not 'iq:none.cu8'"},
        {{"--center", "420.5M", "--rate", "2.048m"}, 2,
         "invalid IQ sample rate (48000 to 100000000 Hz) '2.048m'"},
        // Accepted: the recording is then missing.
        {{"--center", "420.5M", "--rate", "2.048M"}, 0, ""},
        {{"--center", "420500k", "--rate", "250k"}, 0, ""},
        {{"--center", "0.4205G"}, 0, ""},
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

}  // namespace
