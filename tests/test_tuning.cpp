// Receiver tuning: the exact bytes each receiver model gets on its serial
// line, in-process through setfreq and end to end through the real program
// following calls on generated control-channel audio.
#include <gtest/gtest.h>

#include <termios.h>

#include <cfloat>
#include <cmath>
#include <string>

#include "Serial/Serial.h"
#include "harness.h"
#include "mpt1327/mpt1327.h"
#include "pty.h"

namespace {

const std::string MODEL2_TAIL = "RM NFM\n\rARN\n\rARN\n\r";

// The decoder at its start values with the receiver on the pty's slave.
void tune_to(const pty_t& pty, double radio)
{
    reset_decoder();
    rx = radio;
    portdev = pty.slave;
    portspeed = 9600;
}

}  // namespace

TEST(Tuning, CommandBytesOfBothModels)
{
    struct {
        double radio, mhz;
        std::string bytes;
    } cases[] = {
        {1, 421.25, "RF0421250000\n\r"},
        {2, 421.25, "PM500 04212500\n\r" + MODEL2_TAIL},
        {1, 87.5, "RF087500000.\n\r"},  // the point is among the nine characters
        {2, 87.5, "PM500 0875000.\n\r" + MODEL2_TAIL},
        {1, 1296.0, "RF0129600000\n\r"},  // the tenth digit is cut
        {2, 1296.0, "PM500 01296000\n\r" + MODEL2_TAIL},
        {1, 420.00625, "RF0420006250\n\r"},
        {2, 420.00625, "PM500 04200062\n\r" + MODEL2_TAIL},  // cut, not rounded
        // 421249999.99999994 Hz: printed to six decimals it is 421250000.
        {1, std::nextafter(421.25, 0.0), "RF0421250000\n\r"},
        {2, std::nextafter(421.25, 0.0), "PM500 04212500\n\r" + MODEL2_TAIL},
        {1, 420.0, "RF0420000000\n\r"},
    };
    pty_t pty;
    for (const auto& c : cases) {
        SCOPED_TRACE("RADIO " + std::to_string((int)c.radio) + " at " + std::to_string(c.mhz));
        tune_to(pty, c.radio);
        setfreq(c.mhz);
        EXPECT_EQ(pty.read_master(c.bytes.size()), c.bytes);
    }
}

TEST(Tuning, FrequenciesFromTheDefaultChannelPlan)
{
    pty_t pty;
    tune_to(pty, 1);
    setfreq(chan_freq(100));
    setfreq(chan_freq(42));
    setfreq(chan_freq(1023));
    EXPECT_EQ(pty.read_master(42), "RF0421250000\n\rRF0420525000\n\rRF0432787500\n\r");
}

TEST(Tuning, HugeFrequenciesAreCutNotOverflowed)
{
    pty_t pty;
    // The largest frequency the settings can give: every value at 2^32 - 1.
    tune_to(pty, 1);
    baseFreq = 4294967295u / 10000.0;
    step = 4294967295u / 10000.0;
    offset = 4294967295u;
    double top = chan_freq(1023);  // about 1.8e15 MHz
    setfreq(top);
    EXPECT_EQ(pty.read_master(14), "RF0184467484\n\r");
    rx = 2;
    setfreq(top);
    EXPECT_EQ(pty.read_master(34), "PM500 01844674\n\r" + MODEL2_TAIL);

    tune_to(pty, 1);
    setfreq(1e15);
    EXPECT_EQ(pty.read_master(14), "RF0100000000\n\r");
    rx = 2;
    setfreq(1e15);
    EXPECT_EQ(pty.read_master(34), "PM500 01000000\n\r" + MODEL2_TAIL);

    // The widest text "%f" can make (309 digits) still fits.
    rx = 1;
    setfreq(DBL_MAX / 1e7);
    EXPECT_EQ(pty.read_master(14), "RF0179769313\n\r");
    rx = 2;
    setfreq(DBL_MAX);  // overflows to infinity in units of 100 Hz
    std::string got = pty.read_master(34);
    ASSERT_EQ(got.size(), 34u);
    EXPECT_EQ(got.substr(0, 7), "PM500 0");
    EXPECT_EQ(got.substr(14), "\n\r" + MODEL2_TAIL);
}

TEST(Tuning, OtherModelsSendNothing)
{
    pty_t pty;
    for (double radio : {0.0, 3.0, 1.5, -1.0, 4294967295.0}) {
        SCOPED_TRACE(radio);
        tune_to(pty, radio);
        setfreq(421.25);
        EXPECT_EQ(pty.read_master(0), "");
    }
}

TEST(Tuning, EachCallOpensAndClosesThePort)
{
    pty_t pty;
    int peek = open(pty.slave.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(peek, 0);
    termios before;
    std::memset(&before, 0, sizeof before);
    ASSERT_EQ(tcgetattr(peek, &before), 0);
    tune_to(pty, 1);  // the console capture file is open before counting
    int fds = open_fds();

    for (double radio : {1.0, 2.0}) {
        tune_to(pty, radio);
        for (int call = 0; call < 2; call++) {
            setfreq(421.25);
            // Nothing stays open: another user can take the port at once,
            // and the line is as it was.
            EXPECT_EQ(open_fds(), fds);
            CSerial other;
            EXPECT_EQ(other.Open(pty.slave.c_str(), 9600, 8, 0, 2), 1);
            other.Close();
            termios after;
            std::memset(&after, 0, sizeof after);
            ASSERT_EQ(tcgetattr(peek, &after), 0);
            EXPECT_EQ(std::memcmp(&before, &after, sizeof before), 0);
        }
    }
    EXPECT_EQ(pty.read_master(2 * 14 + 2 * 34),
              "RF0421250000\n\rRF0421250000\n\r"
              "PM500 04212500\n\r" + MODEL2_TAIL + "PM500 04212500\n\r" + MODEL2_TAIL);
    close(peek);
}

TEST(Tuning, APortThatCannotBeOpenedCostsNothing)
{
    pty_t pty;
    tune_to(pty, 2);
    int fds = open_fds();

    // In use by someone else.
    CSerial holder;
    ASSERT_EQ(holder.Open(pty.slave.c_str(), 9600, 8, 0, 2), 1);
    tune_to(pty, 2);
    setfreq(421.25);
    holder.Close();
    EXPECT_EQ(pty.read_master(0), "");

    // A bit rate the line cannot take.
    tune_to(pty, 1);
    portspeed = 12345;
    setfreq(421.25);
    EXPECT_EQ(pty.read_master(0), "");
    portspeed = 19200;
    setfreq(421.25);
    EXPECT_EQ(pty.read_master(14), "RF0421250000\n\r");

    // Missing devices, named or numbered, and a receiver that went away.
    tune_to(pty, 1);
    portdev = "/nonexistent/tty";
    setfreq(421.25);
    portdev.clear();
    portadr = 100000;
    setfreq(421.25);
    portdev = pty.slave;
    pty.close_master();
    long long t0 = pty_now_ms();
    setfreq(421.25);
    EXPECT_LT(pty_now_ms() - t0, 3000);
    EXPECT_EQ(open_fds(), fds - 1);  // only the master is gone
}

// ---- end to end -------------------------------------------------------------

namespace {

struct follow_run_t {
    run_result_t run;
    std::string serial;  // what the receiver got
    std::string log;
    std::string port;    // the receiver's device
};

// Decode generated audio with the real program, the receiver's serial line
// being a pty whose master this process drains while the program runs.
follow_run_t run_following(const std::string& general, int radio, const std::string& script)
{
    pty_t pty;
    temp_dir_t dir;
    write_file(dir.file("solvane.ini"), "[general]\n" + general + "[rs232]\nRADIO=" +
                                            std::to_string(radio) + "\nDEVICE=" + pty.slave +
                                            "\nPORTSPEED=9600\n");
    std::string audio = render_u8(script);
    follow_run_t r;
    {
        pty_drain_t drain(&pty);
        r.run = run_program(marrowit_path(), {"-q", "-"}, dir.path, audio);
        r.serial = drain.finish();
    }
    r.log = read_file(dir.file("logfile.txt"));
    r.port = pty.slave;
    return r;
}

const std::string BANNER = "\n  === Marrowit - MPT1327 Trunking-Decoder - QX9ZA ===  <TIME>\n\n";
const std::string SYSTEM_1234 =
    "***************************    Protocol-Decoder    ***************************\n"
    "  SYS 0x1234  | Unregistered | CCh-Frequency: 420.0000 MHz\n"
    "******************************************************************************\n\n";
const std::string ALOHA_SHOWN = "ALOHA       \b\b\b\b\b\b\b\b\b\b\b\b";

std::string gtc_line(int pfix, int org, int tar)
{
    char text[200];
    std::snprintf(text, sizeof text,
                  "-  GTC | Go To Channel Voice            | (%3d)  Org: %4d       Tar: %4d \n"
                  "       | Ch:100    Freq:421.2500 Mhz    |         <TIME>\n\n",
                  pfix, org, tar);
    return text;
}

const std::string CLEAR_100 =
    "- CLEAR| Call clear-down                | Ch: 100  Freq: 421.2500 \n"
    "       | CCh: 5\t\t\t| <TIME>\n\n";

const std::string CALL_SCRIPT =
    "ccsc 0x1234\n"
    "gtc pfix=12 ident1=345 ident2=678 chan=100\n"
    "ccsc 0x1234\n"
    "clear chan=100 cont=5\n";

}  // namespace

TEST(FollowEndToEnd, Model1FollowsTheCallAndReturnsOnClearDown)
{
    follow_run_t r = run_following("TARGET_PREF=9999\nLOG=1\nBEEP=1\n", 1, CALL_SCRIPT);
    EXPECT_EQ(r.run.status, 0) << r.run.err;
    EXPECT_EQ(r.serial, "RF0421250000\n\rRF0420000000\n\r");
    // The bell follows the receiver command and comes before the report
    // line; it never reaches the log.
    EXPECT_EQ(mask_times(r.run.out),
              BANNER + SYSTEM_1234 + "\a" + gtc_line(12, 678, 345) + ALOHA_SHOWN + CLEAR_100);
    EXPECT_EQ(mask_times(r.log), BANNER + SYSTEM_1234 + gtc_line(12, 678, 345) + CLEAR_100);
    EXPECT_EQ(r.run.err, "marrowit: tuning receiver model 1 on serial port " + r.port +
                             " at 9600 bit/s (RADIO=0 in [rs232] turns tuning off)\n")
        << "said once, at the first command";
}

TEST(FollowEndToEnd, Model2FollowsTheCallAndReturnsOnClearDown)
{
    follow_run_t r = run_following("TARGET_PREF=9999\nLOG=1\n", 2, CALL_SCRIPT);
    EXPECT_EQ(r.run.status, 0) << r.run.err;
    EXPECT_EQ(r.serial, "PM500 04212500\n\r" + MODEL2_TAIL + "PM500 04200000\n\r" + MODEL2_TAIL);
    EXPECT_EQ(mask_times(r.run.out),
              BANNER + SYSTEM_1234 + gtc_line(12, 678, 345) + ALOHA_SHOWN + CLEAR_100);
    EXPECT_EQ(mask_times(r.log), BANNER + SYSTEM_1234 + gtc_line(12, 678, 345) + CLEAR_100);
}

TEST(FollowEndToEnd, TwoRulesHoldingSendTheCommandTwice)
{
    // Unit 345 of prefix 12 calls ident 345: rules 3 and 4 both hold.  A
    // call of prefix 13 between others is not followed.
    follow_run_t r = run_following("TARGET_PREF=12\nTARGET_ID=345\nBEEP=1\n", 1,
                                   "ccsc 0x1234\n"
                                   "gtc pfix=13 ident1=678 ident2=346 chan=100\n"
                                   "ccsc 0x1234\n"
                                   "gtc pfix=12 ident1=345 ident2=345 chan=100\n");
    EXPECT_EQ(r.run.status, 0) << r.run.err;
    EXPECT_EQ(r.serial, "RF0421250000\n\rRF0421250000\n\r");
    EXPECT_EQ(mask_times(r.run.out),
              SYSTEM_1234 + gtc_line(13, 346, 678) + "\a\a" + gtc_line(12, 345, 345));
    EXPECT_EQ(r.log, "");  // LOG off: no log file at all
}
