// What the settings checks say about values and keys that look wrong: a
// table of values, and a run of the program whose settings file holds each
// kind of trouble, read again at every new system identity, each said once.
#include <gtest/gtest.h>

#include "harness.h"
#include "mpt1327/settings_check.h"

namespace {

TEST(SettingsCheck, NumbersThatLookWrong)
{
    const std::string nines(1000, '9');
    const struct {
        const char* value;
        bool frequency;
        const char* trouble;
    } cases[] = {
        {"", false, ""},
        {"-0", false, ""},
        {"4294967295", false, ""},
        {"4294967296", false, "too large"},
        {nines.c_str(), false, "too large"},
        {"420.0125", false, "not a whole number"},
        {"12abc", false, "not a whole number"},
        {"-", false, "not a whole number"},
        {"100000000", true, ""},
        {"9999", true, "outside 1 MHz to 10 GHz (in units of 100 Hz)"},
        {"420012500", true, "outside 1 MHz to 10 GHz (in units of 100 Hz)"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(settings_number_trouble(c.value, c.frequency), c.trouble) << c.value;
}

TEST(SettingsCheck, EachTroubleSaidOnceNamingFileSectionKeyAndValue)
{
    temp_dir_t dir;
    write_file(dir.file("solvane.ini"),
               "\xEF\xBB\xBF"
               "RADIO=0\n"
               "; a comment\n"
               "Filter = 5\n"
               "[general]\nCALLTIMEOUT=30s\nTARGET_PREF=9999\n"
               "[rs232]\nRADIO=0\n"
               "[0x1234]\nCCHFREQUENCY=420.0125\nSTEP=-125\n"
               "[0x1235]\nBEGINOFBAND=420012500\nOFFSET=" + std::string(999, '9') + "7" + "\n");
    std::string script;
    for (int k = 0; k < 6; k++)
        script += std::string("ccsc ") + (k % 2 ? "0x1235" : "0x1234") + "\nack pfix=1 ident1=2 ident2=3\n";
    run_result_t r = run_program(marrowit_path(), {"-q", "-"}, dir.path, render_u8(script));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err,
              "marrowit: solvane.ini: RADIO comes before any [section] and is ignored\n"
              "marrowit: solvane.ini: Filter comes before any [section] and is ignored\n"
              "marrowit: solvane.ini: [general] CALLTIMEOUT=30s is not a whole number; using 30\n"
              "marrowit: solvane.ini: [0x1234] STEP=-125 is negative; using 4294967171\n"
              "marrowit: solvane.ini: [0x1234] CCHFREQUENCY=420.0125 is not a whole number; "
              "using 420, 0.0420 MHz\n"
              "marrowit: solvane.ini: [0x1235] BEGINOFBAND=420012500 is outside 1 MHz to 10 GHz "
              "(in units of 100 Hz); using 420012500, 42001.2500 MHz\n"
              "marrowit: solvane.ini: [0x1235] OFFSET=9999999999999999999999999999999999999999... "
              "is too large; using 4294967293\n");
}

}  // namespace
