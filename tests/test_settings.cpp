// The settings file and start-up: lookup rules, defaults, conversions and the log banner.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "harness.h"
#include "mpt1327/ini.h"
#include "mpt1327/mpt1327.h"

namespace {

struct Settings : ::testing::Test {
    temp_dir_t dir;
    in_dir_t here{dir.path};
    void SetUp() override
    {
        reset_decoder();
        // Values no default has, so that a read that leaves one alone shows.
        filt = verb = sound = logger = 77;
        baseFreq = step = control = offset = 77;
        rx = syncset = dcremove = 77;
        portadr = portspeed = 77;
        calltimeout = rigmodel = 77;
        rigpath = "stale";
        std::strcpy(sysname, "stale");
    }
    void settings(const std::string& text) { write_file(dir.file("solvane.ini"), text); }
    void use_system(const char* s) { std::strcpy(sys, s); }
};

TEST_F(Settings, NoFileGivesTheDefaults)
{
    mpt1327_setup();
    EXPECT_EQ(filt, 0);
    EXPECT_EQ(verb, 0);
    EXPECT_EQ(sound, 0);
    EXPECT_EQ(logger, 0);
    EXPECT_EQ(trg_pre, 0);
    EXPECT_EQ(trg_id, 0);
    EXPECT_EQ(baseFreq, 420.0);
    EXPECT_EQ(step, 0.0125);
    EXPECT_EQ(offset, 2);
    EXPECT_EQ(control, 420.0);
    EXPECT_EQ(portadr, 1u);
    EXPECT_EQ(portspeed, 9600u);
    EXPECT_EQ(rx, 1);
    EXPECT_EQ(calltimeout, 0u);
    EXPECT_EQ(rigmodel, 2u);
    EXPECT_EQ(rigpath, "localhost:4532");
    EXPECT_EQ(syncset, 0);
    EXPECT_EQ(dcremove, 1);
    EXPECT_STREQ(sysname, "Unregistered");
    EXPECT_EQ(logfile, nullptr);
    EXPECT_EQ(console_output(), "") << "no log, no banner";
    char text[32];
    std::snprintf(text, sizeof text, "%.4f", chan_freq(100));
    EXPECT_STREQ(text, "421.2500");
}

TEST_F(Settings, SectionsKeysAndConversions)
{
    settings("; a comment line\n"
             "  [ GENERAL ]  \r\n"
             "  filter =  3  \r\n"
             ";BINARY=1\r\n"
             "Beep=2\n"
             "LOG=2\n"
             "TARGET_PREF=70000\n"     // low 16 bits: 4464
             "target_id=-1\n"          // two's complement: 65535
             "CallTimeout=30\n"
             "Sync=2\n"
             "DCREMOVE=0\n"
             "[0x0123]\n"
             "BEGINOFBAND=4250000\n"
             "OFFSET=0\n"
             "STEP=62\n"
             "CCHFREQUENCY=4251250\n"
             "NAME=  \"Quoted  Name\"  \n"
             "[rs232]\n"
             "PORTADR=3\n"
             "PORTSPEED=19200\n"
             "RADIO=2\n"
             "DEVICE=/dev/ttyUSB0\n"
             "RIG_MODEL=3073\n"
             "RIG_PATH= 192.168.1.5:7356 \n"
             "[Mqtt]\n"
             "user=radio\n"
             "PASSWORD=pa ss;word\n");
    use_system("0x0123");
    mpt1327_setup();
    EXPECT_EQ(filt, 3);
    EXPECT_EQ(verb, 0) << "commented out";
    EXPECT_EQ(sound, 2) << "BEEP acts at any non-zero value";
    EXPECT_EQ(logger, 2);
    EXPECT_EQ(logfile, nullptr) << "LOG acts only at exactly 1";
    EXPECT_EQ(trg_pre, 4464);
    EXPECT_EQ(trg_id, 65535);
    EXPECT_EQ(syncset, 2);
    EXPECT_EQ(dcremove, 0);
    EXPECT_EQ(baseFreq, 425.0);
    EXPECT_EQ(offset, 0);
    EXPECT_EQ(step, 0.0062);
    EXPECT_EQ(control, 425.125);
    EXPECT_STREQ(sysname, "Quoted  Name");
    EXPECT_EQ(portadr, 3u);
    EXPECT_EQ(portspeed, 19200u);
    EXPECT_EQ(rx, 2);
    EXPECT_EQ(portdev, "/dev/ttyUSB0");
    EXPECT_EQ(calltimeout, 30u);
    EXPECT_EQ(rigmodel, 3073u);
    EXPECT_EQ(rigpath, "192.168.1.5:7356");
    EXPECT_EQ(mqtt_user, "radio");
    EXPECT_EQ(mqtt_password, "pa ss;word");
    EXPECT_EQ(mqtt_prefix, "marrowit") << "TOPIC's default";
    EXPECT_EQ(chan_freq(2), 425.0) << "OFFSET 0 moves every channel two steps down";
}

TEST_F(Settings, NegativeAndMalformedNumbers)
{
    settings("[general]\nFILTER=-1\nBINARY=12abc\nTRACK=abc\nBEEP=\nLOG=+1\n"
             "[0xffff]\nSTEP=-125\nBEGINOFBAND=99999999999\n");
    mpt1327_setup();
    EXPECT_EQ(filt, 4294967295.0) << "a minus sign gives two's complement";
    EXPECT_EQ(verb, 12) << "the leading number counts";
    EXPECT_EQ(track, 0) << "no leading digits";
    EXPECT_EQ(sound, 0) << "empty: the default";
    EXPECT_EQ(logger, 1);
    EXPECT_EQ(step, 4294967171.0 / 10000);
    EXPECT_EQ(baseFreq, (99999999999ull % 4294967296ull) / 10000.0) << "taken modulo 2^32";
}

TEST_F(Settings, FirstSectionAndFirstKeyWin)
{
    settings("[general]\nFILTER=2\nFILTER=4\n[general]\nBINARY=1\nFILTER=5\n");
    mpt1327_setup();
    EXPECT_EQ(filt, 2);
    EXPECT_EQ(verb, 0);
}

TEST_F(Settings, SystemWithoutSectionFallsBackToDefaults)
{
    settings("[0x0123]\nBEGINOFBAND=4250000\nNAME=First\n");
    use_system("0x0123");
    mpt1327_setup();
    EXPECT_EQ(baseFreq, 425.0);
    EXPECT_STREQ(sysname, "First");
    use_system("0x1a2b");
    mpt1327_setup();
    EXPECT_EQ(baseFreq, 420.0);
    EXPECT_STREQ(sysname, "Unregistered");
}

TEST_F(Settings, LongNameIsCutTo254Characters)
{
    std::string name;
    for (int i = 0; i < 300; i++)
        name += (char)('a' + i % 26);
    settings("[0xffff]\nNAME=" + name + "\n");
    mpt1327_setup();
    EXPECT_EQ(std::string(sysname), name.substr(0, 254));
}

TEST_F(Settings, LogOpensOnceWithItsBanner)
{
    settings("[general]\nLOG=1\n");
    mpt1327_setup();
    ASSERT_NE(logfile, nullptr);
    const std::string banner = "\n  === Marrowit - MPT1327 Trunking-Decoder - QX9ZA ===  <TIME>\n\n";
    EXPECT_EQ(mask_times(console_output()), banner);
    EXPECT_EQ(mask_times(read_file(dir.file("logfile.txt"))), banner);
    FILE* first = logfile;
    mpt1327_setup();
    EXPECT_EQ(logfile, first) << "opened at most once";
    EXPECT_EQ(console_output(), "") << "no second banner";
    settings("[general]\nLOG=0\n");
    mpt1327_setup();
    EXPECT_EQ(logfile, first) << "never closed";
}

TEST_F(Settings, LogSwitchedOnWhileRunningOpensAtTheNextRead)
{
    settings("[general]\nLOG=0\n");
    mpt1327_setup();
    EXPECT_EQ(logfile, nullptr);
    EXPECT_EQ(console_output(), "");
    settings("[general]\nLOG=1\n");
    mpt1327_setup();
    EXPECT_NE(logfile, nullptr);
    EXPECT_NE(console_output().find("=== Marrowit"), std::string::npos);
}

TEST_F(Settings, LogThatCannotBeOpenedIsRetried)
{
    ASSERT_EQ(mkdir(dir.file("logfile.txt").c_str(), 0755), 0);
    settings("[general]\nLOG=1\n");
    mpt1327_setup();
    EXPECT_EQ(logfile, nullptr);
    EXPECT_NE(console_output().find("=== Marrowit"), std::string::npos) << "banner on the console";
    ASSERT_EQ(rmdir(dir.file("logfile.txt").c_str()), 0);
    mpt1327_setup();
    EXPECT_NE(logfile, nullptr);
}

TEST_F(Settings, DirectoryPathsOfAnyLength)
{
    // Far beyond the 260 characters of a classic Windows path.
    std::string deep = dir.path;
    for (int i = 0; i < 12; i++) {
        deep += "/" + std::string(40, (char)('a' + i));
        ASSERT_EQ(mkdir(deep.c_str(), 0755), 0);
    }
    ASSERT_GT(deep.size(), 500u);
    write_file(deep + "/solvane.ini", "[general]\nFILTER=3\nLOG=1\n");
    in_dir_t there(deep);
    mpt1327_setup();
    EXPECT_EQ(filt, 3);
    EXPECT_NE(logfile, nullptr);
    EXPECT_NE(read_file(deep + "/logfile.txt").find("=== Marrowit"), std::string::npos);
}

TEST_F(Settings, UnreadableSettingsGiveDefaults)
{
    ASSERT_EQ(mkdir(dir.file("solvane.ini").c_str(), 0755), 0);
    mpt1327_setup();
    EXPECT_EQ(filt, 0);
    EXPECT_EQ(baseFreq, 420.0);
    EXPECT_STREQ(sysname, "Unregistered");
}

TEST(IniReader, BinaryJunkAndOddLines)
{
    ini_t ini;
    std::string text = std::string("\xEF\xBB\xBF[general]\nFILTER=4\0junk\n", 27) +
                       "no equals sign\n[unterminated\nKEY=1\n=value without key\n[x]\n";
    ini_parse(&ini, text);
    EXPECT_EQ(ini_get_int(&ini, "general", "FILTER", 9), 4u);
    EXPECT_EQ(ini_get_int(&ini, "general", "KEY", 9), 1u) << "a broken header does not open a section";
    EXPECT_EQ(ini_get_int(&ini, "x", "KEY", 9), 9u);
    char buf[4];
    ini_get_string(&ini, "general", "missing", "default", buf, sizeof buf);
    EXPECT_STREQ(buf, "def");
}

}  // namespace
