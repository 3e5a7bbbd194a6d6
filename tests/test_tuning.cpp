// Receiver tuning: the exact bytes each receiver model gets on its serial
// line, the frequency a Hamlib rig (rigctld's dummy rig) is set to, in-process
// through setfreq and end to end through the real program following calls
// on generated control-channel audio.
#include <gtest/gtest.h>

#include <termios.h>

#include <cfloat>
#include <cmath>
#include <string>

#include "Serial/Serial.h"
#include "harness.h"
#include "mpt1327/mpt1327.h"
#include "pty.h"
#include "receiver/receiver.h"
#include "rigctld.h"

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
    for (double radio : {0.0, 4.0, 1.5, -1.0, 4294967295.0}) {
        SCOPED_TRACE(radio);
        tune_to(pty, radio);
        setfreq(421.25);
        EXPECT_EQ(pty.read_master(0), "");
    }
}

#define NEED_RIGCTLD()                                                           \
    if (!rigctld_available())                                                   \
    GTEST_SKIP() << "no rigctld here, or a build without Hamlib"

TEST(Tuning, HamlibRigIsSetToTheNearestHertz)
{
    NEED_RIGCTLD();
    rigctld_t rig;
    reset_decoder();
    rx = 3;
    rigpath = rig.path();
    struct {
        double mhz;
        long long hz;
    } cases[] = {
        {420.0, 420000000},
        {421.25, 421250000},
        {std::nextafter(421.25, 0.0), 421250000},
        {420.00625, 420006250},  // all of it: nothing is cut
        {87.5, 87500000},
        {1296.0, 1296000000},
        {420.0000004, 420000000},
        {420.0000006, 420000001},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.mhz);
        setfreq(c.mhz);
        hamlib_wait();
        EXPECT_EQ(rig.freq(), c.hz);
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

const std::string TIMEOUT_100 =
    "- TIMEO| Call time-out, back to control | Ch: 100  Freq: 421.2500 \n"
    "       | Silent: 5 s\t| <TIME>\n\n";

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

// ---- end to end through Hamlib (RADIO 3) ------------------------------------

namespace {

size_t count_of(const std::string& text, const std::string& what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        n++;
    return n;
}

std::string settings_text(const std::string& general, const std::string& rs232)
{
    return "[general]\n" + general + "[rs232]\n" + rs232;
}

// The line said once at the first tuning command.
std::string tuning_line(const std::string& receiver)
{
    return "marrowit: tuning " + receiver + " (RADIO=0 in [rs232] turns tuning off)\n";
}

// The same audio decoded with no receiver: what console and log must be.
run_result_t without_receiver(const std::string& general, const std::string& audio, std::string* log)
{
    temp_dir_t dir;
    write_file(dir.file("solvane.ini"), settings_text(general, "RADIO=0\n"));
    run_result_t r = run_program(marrowit_path(), {"-q", "-"}, dir.path, audio);
    *log = read_file(dir.file("logfile.txt"));
    return r;
}

}  // namespace

TEST(FollowEndToEnd, HamlibRigIsFollowedAndComesBackAfterARestart)
{
    NEED_RIGCTLD();
    rigctld_t rig;
    temp_dir_t dir;
    const std::string general = "TARGET_PREF=12\nTARGET_ID=345\nLOG=1\n";
    write_file(dir.file("solvane.ini"),
               settings_text(general, "RADIO=3\nRIG_MODEL=2\nRIG_PATH=" + rig.path() + "\n"));
    piped_program_t program(marrowit_path(), {"-q", "-"}, dir.path);
    std::string fed;
    auto part = [&](const char* codeword) {
        fed += program.feed(render_u8(std::string("ccsc 0x1234\n") + codeword + "\n"));
    };

    // Unit 345 of prefix 12 calls: followed, and back on the clear-down.
    part("gtc pfix=12 ident1=100 ident2=345 chan=100");
    EXPECT_EQ(rig.wait_freq(421250000), 421250000);
    part("clear chan=100 cont=5");
    EXPECT_EQ(rig.wait_freq(420000000), 420000000);
    // Not a call of the target: reported, and the rig stays.
    part("gtc pfix=13 ident1=678 ident2=346 chan=200");
    ASSERT_TRUE(program.wait_for("Tar:  678"));
    EXPECT_EQ(rig.freq(), 420000000);
    // A call to ident 345, whatever the prefix.
    part("gtc pfix=7 ident1=345 ident2=1 chan=300");
    EXPECT_EQ(rig.wait_freq(423750000), 423750000);
    // rigctld goes away: the clear-down's command fails, once on standard error.
    rig.stop();
    part("clear chan=300 cont=5");
    ASSERT_TRUE(program.wait_for("not being tuned\n", "console.err"));
    // ... and comes back: the next call is followed again.
    ASSERT_TRUE(rig.start());
    EXPECT_EQ(rig.wait_freq(145000000), 145000000);  // the dummy rig starts there
    part("gtc pfix=12 ident1=100 ident2=345 chan=100");
    EXPECT_EQ(rig.wait_freq(421250000), 421250000);
    // Restarted between two commands: the dead connection is replaced at
    // once, and nothing is said.
    rig.stop();
    ASSERT_TRUE(rig.start());
    part("clear chan=100 cont=5");
    EXPECT_EQ(rig.wait_freq(420000000), 420000000);

    run_result_t r = program.finish();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, tuning_line("Hamlib rig 2 at " + rig.path()) + "marrowit: Hamlib rig 2 at " + rig.path() +
                         ": cannot open it: IO error; the receiver is not being tuned\n");
    // Console and log are those of a run without a receiver.
    std::string log;
    run_result_t ref = without_receiver(general, fed, &log);
    EXPECT_EQ(mask_times(r.out), mask_times(ref.out));
    EXPECT_EQ(mask_times(read_file(dir.file("logfile.txt"))), mask_times(log));
    EXPECT_EQ(count_of(r.out, "-  GTC |"), 4u);
    EXPECT_EQ(count_of(r.out, "- CLEAR|"), 3u);
}

TEST(FollowEndToEnd, HamlibTroubleIsSaidOnceAndDecodingGoesOn)
{
    NEED_RIGCTLD();
    std::string nobody = "127.0.0.1:" + std::to_string(free_loopback_port());
    pty_t silent;
    struct {
        std::string rs232, rig, err;
    } cases[] = {
        {"RIG_PATH=" + nobody + "\n", "Hamlib rig 2 at " + nobody, ": cannot open it: IO error"},
        {"RIG_MODEL=999999\nRIG_PATH=" + nobody + "\n", "Hamlib rig 999999 at " + nobody,
         ": Hamlib has no such rig model"},
        {"RIG_MODEL=3073\nRIG_PATH=/nonexistent/tty\n", "Hamlib rig 3073 at /nonexistent/tty",
         ": no such device"},
        // A radio on a serial line that does not answer.
        {"RIG_MODEL=2014\nRIG_PATH=" + silent.slave + "\n", "Hamlib rig 2014 at " + silent.slave,
         ": cannot open it: Communication timed out"},
        // Hamlib's dummy rig, inside the library
        {"RIG_MODEL=1\nRIG_PATH=/dev/null\n", "Hamlib rig 1 at /dev/null", ""},
    };
    const std::string general = "TARGET_PREF=9999\nLOG=1\n";
    std::string audio = render_u8(CALL_SCRIPT + CALL_SCRIPT);
    std::string ref_log;
    run_result_t ref = without_receiver(general, audio, &ref_log);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.rs232);
        temp_dir_t dir;
        write_file(dir.file("solvane.ini"), settings_text(general, "RADIO=3\n" + c.rs232));
        run_result_t r = run_program(marrowit_path(), {"-q", "-"}, dir.path, audio);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, tuning_line(c.rig) +
                             (c.err.empty() ? "" : "marrowit: " + c.rig + c.err +
                                                       "; the receiver is not being tuned\n"));
        EXPECT_EQ(mask_times(r.out), mask_times(ref.out));
        EXPECT_EQ(mask_times(read_file(dir.file("logfile.txt"))), mask_times(ref_log));
    }
}

TEST(FollowEndToEnd, HamlibRigAndCallTimeOut)
{
    NEED_RIGCTLD();
    rigctld_t rig;
    const std::string gtc = "ccsc 0x1234\ngtc pfix=12 ident1=345 ident2=678 chan=100\n";
    const std::string quiet6 = "silence 7200\nccsc 0x1234\n";  // 6 s without a codeword
    const std::string quiet4 = "silence 4800\nccsc 0x1234\n";
    struct {
        std::string general, after;
        std::string report;  // after the GTC's
        long long hz;        // where the rig is left
    } cases[] = {
        // Clear-down missed: back to the control channel after 5 s.
        {"CALLTIMEOUT=5\n", quiet6, TIMEOUT_100, 420000000},
        {"CALLTIMEOUT=5\n", quiet4 + quiet4 + quiet4, "", 421250000},
        {"CALLTIMEOUT=5\n", "ccsc 0x1234\nclear chan=100 cont=5\n" + quiet6,
         ALOHA_SHOWN + CLEAR_100, 420000000},
        // 0 or nothing: as ever, the rig stays on the traffic channel.
        {"CALLTIMEOUT=0\n", quiet6, "", 421250000},
        {"", quiet6 + quiet6, "", 421250000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.general + c.after);
        temp_dir_t dir;
        write_file(dir.file("solvane.ini"),
                   settings_text("TARGET_PREF=9999\n" + c.general, "RADIO=3\nRIG_PATH=" + rig.path() + "\n"));
        run_result_t r = run_program(marrowit_path(), {"-q", "-"}, dir.path, render_u8(gtc + c.after));
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, tuning_line("Hamlib rig 2 at " + rig.path()));
        EXPECT_EQ(mask_times(r.out), SYSTEM_1234 + gtc_line(12, 678, 345) + c.report);
        EXPECT_EQ(rig.freq(), c.hz);
    }
}
