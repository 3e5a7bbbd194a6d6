// The report families, checked line by line against the texts the program
// is meant to print.  Every expected line below is written out by hand;
// codewords come from the generator, which only places field values.
//
// Each test runs in its own empty directory (the first system codeword
// reads solvane.ini from the current directory), starts the decoder on
// system 0x1234 and then sets the report settings directly.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "harness.h"
#include "mpt1327/event.h"
#include "mpt1327/mpt1327.h"
#include "setfreq_probe.h"

namespace {

typedef std::vector<unsigned short> words_t;

words_t message(const std::string& line)
{
    unsigned short cw[4] = {0, 0, 0, 0};
    std::string error;
    EXPECT_EQ(gen_message(line, cw, &error), 0) << line << ": " << error;
    return {cw[0], cw[1], cw[2], cw[3]};
}

// The valid control channel system codeword of system 0x1234.
const words_t kSystem = {0x1234, 0x4221, 0xAAAA, 0xC4D7};

// The 64 bits after a system codeword are always taken as an address
// codeword; this one (category 7, no clear-down pattern) gives no output.
words_t silent() { return message("sam cat=7"); }

// A valid system codeword of SYS 0x1234 ending in sync, with bit 1 and
// bits 33-48 as given (bits 17-32 searched so that the check holds).
words_t system_variant(unsigned flag, unsigned short preamble, unsigned short sync)
{
    for (unsigned x = 0; x < 0x10000; x++) {
        unsigned short cw[4] = {(unsigned short)(flag << 15 | 0x1234), (unsigned short)x, preamble,
                                0};
        if (gen_check_field(cw) == sync)
            return {cw[0], cw[1], cw[2], sync};
    }
    ADD_FAILURE() << "no system codeword";
    return {};
}

std::string backspaces(size_t n) { return std::string(n, '\b'); }

// Activity indicators: the word and seven blanks, then the cursor back to
// where the word began; or ten blanks and ten backspaces to erase it.
const std::string kAlohaShown = "ALOHA       " + backspaces(12);
const std::string kReqShown = "REQ / AHOY       " + backspaces(17);
const std::string kMiscShown = "MISC       " + backspaces(11);
const std::string kErased = "          " + backspaces(10);

const std::string kBanner =
    "***************************    Protocol-Decoder    ***************************\n";
const std::string kHeader1234 =
    "  SYS 0x1234  | Unregistered | CCh-Frequency: 420.0000 MHz\n"
    "******************************************************************************\n\n";
const std::string kCcsc1234 = "- CCSC | Control Channel System Codeword|   SYS Id: 0x1234\n";
const std::string kDcsc1234 = "- DCSC |  Data Channel Systm Codeword   |   SYS Id: 0x1234\n";

size_t count_of(const std::string& text, char c)
{
    return (size_t)std::count(text.begin(), text.end(), c);
}

class Families : public ::testing::Test {
protected:
    temp_dir_t dir;
    in_dir_t here{dir.path};
    size_t log_seen = 0;
    std::string log_kept;  // log text of address codewords not yet collected by log_tail()
    long address_pos = 0;  // console position where the last address codeword's output began

    void SetUp() override
    {
        reset_decoder();
        setfreq_calls.clear();
    }

    void TearDown() override
    {
        if (logfile)
            std::fclose(logfile);
        logfile = nullptr;
    }

    // The first system codeword: settings from the given solvane.ini,
    // banner and header.  Its output is dropped; the receiver model is
    // switched off so that no port is touched.
    void start(const std::string& ini = "")
    {
        if (!ini.empty())
            write_file(dir.file("solvane.ini"), ini);
        feed_words(kSystem);
        feed_words(silent());
        console_output();
        log_tail();
        rx = 0;
        setfreq_calls.clear();
    }

    // One control channel slot: a system codeword of the same system (its
    // CCSC line, if any, dropped) and then the address codeword.  Returns
    // the console output of the address codeword.
    std::string slot(const words_t& address)
    {
        log_kept += log_since();
        feed_words(kSystem);
        console_output();
        log_since();
        address_pos = std::ftell(console);
        feed_words(address);
        return console_output();
    }
    std::string slot(const std::string& line) { return slot(message(line)); }

    // What the log gained since the last call, without the lines of the
    // system codewords that slot() feeds.
    std::string log_tail()
    {
        std::string tail = log_kept + log_since();
        log_kept.clear();
        return tail;
    }

    std::string log_since()
    {
        std::string all = read_file(dir.file("logfile.txt"));
        std::string tail = all.size() > log_seen ? all.substr(log_seen) : "";
        log_seen = all.size();
        return tail;
    }
};

// ---- system codewords --------------------------------------------------------

TEST_F(Families, FirstSystemCodewordPrintsBannerHeaderAndCcsc)
{
    write_file(dir.file("solvane.ini"), "[general]\nFILTER=5\n");
    feed_words(kSystem);
    EXPECT_EQ(console_output(), kBanner + kHeader1234 + kCcsc1234);
    feed_words(silent());
    feed_words(kSystem);  // same system: no banner again
    EXPECT_EQ(console_output(), kCcsc1234);
}

TEST_F(Families, CcscAndDcscNeedFilterAboveFour)
{
    start();
    filt = 5;
    feed_words(kSystem);
    feed_words(silent());
    EXPECT_EQ(console_output(), kCcsc1234);
    feed_words(system_variant(0, 0xAAAA, SYNC_DATA));
    feed_words(silent());
    EXPECT_EQ(console_output(), kDcsc1234);
    filt = 4;
    feed_words(kSystem);
    feed_words(silent());
    feed_words(system_variant(0, 0xAAAA, SYNC_DATA));
    feed_words(silent());
    EXPECT_EQ(console_output(), "");
    filt = 4.5;  // strictly greater than 4
    feed_words(kSystem);
    feed_words(silent());
    EXPECT_EQ(console_output(), kCcsc1234);
}

TEST_F(Families, SystemCodewordReportNeedsAddressFlagZeroAndPreamble)
{
    // Bit 1 set: the identity is taken (banner) but no CCSC line, and the
    // 64 bits after it are still an address codeword.
    write_file(dir.file("solvane.ini"), "[general]\nFILTER=5\n");
    feed_words(system_variant(1, 0xAAAA, SYNC_CONTROL));
    EXPECT_EQ(console_output(), kBanner + kHeader1234);
    feed_words(message("sam pfix=1 ident1=2"));
    EXPECT_EQ(console_output(), "- SAM  | Single address messages        |    Group: (1) Tar: (2)\n");

    feed_words(system_variant(1, 0xAAAA, SYNC_DATA));
    feed_words(silent());
    EXPECT_EQ(console_output(), "");
    feed_words(system_variant(0, 0xAAAB, SYNC_CONTROL));
    feed_words(silent());
    EXPECT_EQ(console_output(), "");
    feed_words(system_variant(0, 0x2AAA, SYNC_DATA));
    EXPECT_EQ(console_output(), "");
    feed_words(message("sam pfix=3 ident1=4"));
    EXPECT_EQ(console_output(), "- SAM  | Single address messages        |    Group: (3) Tar: (4)\n");
}

TEST_F(Families, DcscOpensTheSameWindow)
{
    start();
    filt = 5;
    feed_words(system_variant(0, 0xAAAA, SYNC_DATA));
    EXPECT_EQ(console_output(), kDcsc1234);
    feed_words(message("ack func=0 pfix=1 ident1=2 ident2=3"));
    EXPECT_EQ(console_output(),
              "- ACKK | General acknowledgement        | (  1)  Org:    3       Tar:    2\n");
}

// ---- ALOHA ---------------------------------------------------------------------

TEST_F(Families, AlohaAllFunctionTexts)
{
    start("[general]\nLOG=1\n");
    filt = 4;
    const char* texts[8] = {
        "-  ALH | General single Codeword        |",
        "- ALHS | Messages invited, except RQD   |",
        "- ALHD | Messages invited, except RQS   |",
        "- ALHE | Emergency requests (RQE) only  |",
        "- ALHR | Registration/Emergency request |",
        "- ALHX | Messages invited, except RQR   |",
        "- ALHF | Fall-back mode                 |",
        "- ALH? | Reserved                       |",
    };
    for (int func = 0; func < 8; func++) {
        SCOPED_TRACE(func);
        std::string line = std::string(texts[func]) + " (1) Id:2 WT:3 RSVD:0 M:5 N:6\n";
        EXPECT_EQ(slot("aloha pfix=1 ident1=2 wt=3 rsvd=0 m=5 n=6 func=" + std::to_string(func)),
                  kAlohaShown + "- ALOHA" + line);
        EXPECT_EQ(log_tail(), line);  // neither the indicator nor "- ALOHA"
    }
}

TEST_F(Families, AlohaFieldsAndTheKnownCodeword)
{
    start();
    filt = 4;
    EXPECT_EQ(slot(words_t{0x8100, 0x1400, 0x1856, 0x5514}),
              kAlohaShown + "- ALOHA-  ALH | General single Codeword        | (1) Id:2 WT:3 RSVD:0 M:5 N:6\n");
    EXPECT_EQ(slot("aloha func=7 pfix=127 ident1=8191 wt=7 rsvd=2 m=31 n=15"),
              kAlohaShown +
                  "- ALOHA- ALH? | Reserved                       | (127) Id:8191 WT:7 RSVD:2 M:31 N:15\n");
    EXPECT_EQ(slot("aloha func=3 pfix=0 ident1=0 wt=0 rsvd=1 m=16 n=8"),
              kAlohaShown + "- ALOHA- ALHE | Emergency requests (RQE) only  | (0) Id:0 WT:0 RSVD:1 M:16 N:8\n");
}

// ---- ACK -----------------------------------------------------------------------

TEST_F(Families, AckAllFunctionTextsAndFieldWidths)
{
    start("[general]\nLOG=1\n");
    filt = 1;
    const char* texts[8] = {
        "- ACKK | General acknowledgement        |",
        "- ACKI | Intermediate ack, more follows |",
        "- ACKQ | Acknowledge, call queued :-(   |",
        "- ACKX | Acknowledge, message rejected  |",
        "- ACKV | Acknowledge, unit unavailable  |",
        "- ACKE |* Acknowledge, emergency call * |",
        "- ACKT | Acknowledge, try given address |",
        "- ACKB |Acknowledge, call-back or negat.|",
    };
    for (int func = 0; func < 8; func++) {
        SCOPED_TRACE(func);
        std::string line = std::string(texts[func]) + " (  5)  Org: 1234       Tar:   77\n";
        EXPECT_EQ(slot("ack pfix=5 ident2=1234 ident1=77 func=" + std::to_string(func)), line);
        EXPECT_EQ(log_tail(), line);
    }
    EXPECT_EQ(slot("ack func=0 pfix=127 ident2=8191 ident1=8191"),
              "- ACKK | General acknowledgement        | (127)  Org: 8191       Tar: 8191\n");
    EXPECT_EQ(slot("ack func=6 pfix=0 ident2=0 ident1=0"),
              "- ACKT | Acknowledge, try given address | (  0)  Org:    0       Tar:    0\n");
}

// ---- requests and ahoys --------------------------------------------------------

TEST_F(Families, RequestAndAhoyTexts)
{
    start();
    filt = 3;
    const std::string f = " pfix=12 ident1=345 ident2=678";
    struct {
        std::string line, report;
    } cases[] = {
        {"req func=0 voice=1 addr=0 emerg=0" + f,
         "-  RQS | Request random access          | ( 12)  Org:  678  Tar:  345 Voice\n"
         "   AHY | Availability check message     | Begin Ack a: (12) Tar:345 Voice\n"},
        {"req func=0 voice=0 addr=1 emerg=1" + f,
         "-  RQS | Request random access          | ( 12)  Org:  678  Tar:  345 Data\n"
         "   AHY | Availability check message     | Begin Ack a: (12) Org:678 Data Emergency\n"},
        {"req func=0 voice=1 addr=1 emerg=0" + f,
         "-  RQS | Request random access          | ( 12)  Org:  678  Tar:  345 Voice\n"
         "   AHY | Availability check message     | Begin Ack a: (12) Org:678 Voice\n"},
        {"req func=1" + f, "-  RQ  | REQ dedicated                  |\n"},
        {"req func=2" + f,
         "-  RQX | Request call cancel/abort      | ( 12)  Org:  678       Tar:  345\n"
         "  AHYX | Cancel alert/waiting state     | ( 12)  Org:  678       Tar:  345\n"},
        {"req func=3 cancel=1 voice=1" + f,
         "-  RQT | Cancel Request call diversion | ( 12) Org:  678  Tar:  345 Voice\n"},
        {"req func=3 cancel=0 voice=0" + f,
         "-  RQT | Request Request call diversion | ( 12) Org:  678  Tar:  345 Data\n"},
        {"req func=4 voice=1" + f,
         "-  RQE | Request emergency call         | ( 12)  Org:  678  Tar:  345  Voice\n"},
        {"req func=4 voice=0" + f,
         "-  RQE | Request emergency call         | ( 12)  Org:  678  Tar:  345  Data\n"},
        {"req func=5" + f,
         "-  RQR | Request to register            | ( 12)  Org:  345\n"
         "  AHYP | Called Unit Presence Monitoring| ( 12)  Org:  678 Tar:  345\n"},
        {"req func=6" + f,
         "-  RQQ | Request status transaction     | ( 12)  Org:  678       Tar:  345\n"
         "  AHYQ | Status message                 | ( 12)  Org:  678       Tar:  345\n"},
        {"req func=7 slots=3" + f,
         "-  RQC | Request to send short data mess| ( 12)  Org:  678  Tar:  345  Slots:3\n"
         "  AHYC | Short data invitation message  | ( 12)  Org:  678  Tar:  345  Slots:3\n"},
        // Bit 44 is the more significant slots bit.
        {"req func=7 voice=1" + f,
         "-  RQC | Request to send short data mess| ( 12)  Org:  678  Tar:  345  Slots:2\n"
         "  AHYC | Short data invitation message  | ( 12)  Org:  678  Tar:  345  Slots:2\n"},
        {"req func=7 addr=1 pfix=127 ident1=8191 ident2=8191",
         "-  RQC | Request to send short data mess| (127)  Org: 8191  Tar: 8191  Slots:1\n"
         "  AHYC | Short data invitation message  | (127)  Org: 8191  Tar: 8191  Slots:1\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        EXPECT_EQ(slot(c.line), kReqShown + c.report);
    }
}

TEST_F(Families, RequestBelowFilterThreeIsOnlyTheIndicator)
{
    start();
    verb = 1;  // nothing is dumped for the indicator either
    filt = 0;
    EXPECT_EQ(slot("req func=2 pfix=1 ident1=2 ident2=3"), kReqShown);
    filt = 1;
    EXPECT_EQ(slot("req func=2 pfix=1 ident1=2 ident2=3"), kErased);
    filt = 2;
    EXPECT_EQ(slot("req func=2 pfix=1 ident1=2 ident2=3"), kReqShown);
}

// ---- BCAST, MAINT, MOVE -------------------------------------------------------

TEST_F(Families, BroadcastBySysdef)
{
    start();
    filt = 2;
    struct {
        unsigned sysdef;
        const char* report;
    } cases[] = {
        {0, "- BCAST| Control Channel Marker         |   Control Ch: 300   SYS: 0x1a2b\n"},
        {1, "- BCAST| Call clear-down                |   Control Ch: 300   SYS: 0x1a2b\n"},
        {2, "- BCAST| Call maintenance               |   SYS: 0x1a2b\n"},
        {3, "- BCAST| Registration Parameters        |   SYS: 0x1a2b\n"},
        {4, "- BCAST| Neighbour Channel              |   Ch:  300  Id red: 9  SYS: 0x1a2b\n"},
        {5, "- BCAST| Unit respond (Vote now)        |   Ch:  300  Id red: 9  SYS: 0x1a2b\n"},
        {6, "- BCAST| Reserved                       |   Sysdef: 6    SYS: 0x1a2b\n"},
        {9, "- BCAST| Reserved                       |   Sysdef: 9    SYS: 0x1a2b\n"},
        {31, "- BCAST| Reserved                       |   Sysdef: 31    SYS: 0x1a2b\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.sysdef);
        EXPECT_EQ(slot("bcast sys=0x1a2b chan=300 idred=9 sysdef=" + std::to_string(c.sysdef)),
                  kMiscShown + c.report);
    }
    EXPECT_EQ(slot("bcast sysdef=4 sys=0x7fff chan=1023 idred=15"),
              kMiscShown + "- BCAST| Neighbour Channel              |   Ch:  1023  Id red: 15  SYS: 0x7fff\n");
    filt = 1;
    EXPECT_EQ(slot("bcast sysdef=0 sys=1 chan=2"), kMiscShown);
}

TEST_F(Families, OtherTypeThreeFunctionsAreOnlyTheIndicator)
{
    start();
    filt = 5;
    for (unsigned func : {0u, 2u, 5u, 6u, 7u}) {
        SCOPED_TRACE(func);
        EXPECT_EQ(slot("bcast sysdef=0 sys=1 chan=2 func=" + std::to_string(func)), kMiscShown);
    }
}

TEST_F(Families, MaintAndMoveAtFilterZeroWithFrequencies)
{
    start("[general]\nLOG=1\n");
    ASSERT_EQ(filt, 0);
    EXPECT_EQ(slot("maint chan=42"),
              kMiscShown + "- MAINT| Call maintenance message       | (Act. Chan: 42 Freq: 420.5250 MHz)\n");
    EXPECT_EQ(slot("move chan=5"),
              kMiscShown + "- MOVE | Move to specified Control-Chan.|      ->     Ch:  5 Freq:420.0625 MHz\n");
    EXPECT_EQ(slot("move chan=100"),
              kMiscShown + "- MOVE | Move to specified Control-Chan.|      ->     Ch:100 Freq:421.2500 MHz\n");
    EXPECT_EQ(slot("maint chan=0"),
              kMiscShown + "- MAINT| Call maintenance message       | (Act. Chan: 0 Freq: 420.0000 MHz)\n");
    EXPECT_EQ(slot("move chan=1023"),
              kMiscShown + "- MOVE | Move to specified Control-Chan.|      ->     Ch:1023 Freq:432.7875 MHz\n");
    log_tail();

    offset = 0;
    EXPECT_EQ(slot("move chan=100"),
              kMiscShown + "- MOVE | Move to specified Control-Chan.|      ->     Ch:100 Freq:421.2250 MHz\n");
    EXPECT_EQ(slot("maint chan=100"),
              kMiscShown + "- MAINT| Call maintenance message       | (Act. Chan: 100 Freq: 421.2250 MHz)\n");

    // With BEEP on, MOVE rings before its line; the bell never reaches the log.
    sound = 1;
    EXPECT_EQ(slot("move chan=2"),
              kMiscShown + "\a- MOVE | Move to specified Control-Chan.|      ->     Ch:  2 Freq:420.0000 MHz\n");
    sound = 2;
    EXPECT_EQ(slot("move chan=2"),
              kMiscShown + "\a- MOVE | Move to specified Control-Chan.|      ->     Ch:  2 Freq:420.0000 MHz\n");
    EXPECT_EQ(log_tail(),
              "- MOVE | Move to specified Control-Chan.|      ->     Ch:100 Freq:421.2250 MHz\n"
              "- MAINT| Call maintenance message       | (Act. Chan: 100 Freq: 421.2250 MHz)\n"
              "- MOVE | Move to specified Control-Chan.|      ->     Ch:  2 Freq:420.0000 MHz\n"
              "- MOVE | Move to specified Control-Chan.|      ->     Ch:  2 Freq:420.0000 MHz\n");
    // MOVE only reports: no receiver command, no change of the control channel.
    EXPECT_TRUE(setfreq_calls.empty());
    EXPECT_EQ(control, 420.0);
}

// ---- short data ------------------------------------------------------------------

TEST_F(Families, SamAndHead)
{
    start();
    filt = 1;
    EXPECT_EQ(slot("sam pfix=12 ident1=345"),
              "- SAM  | Single address messages        |    Group: (12) Tar: (345)\n");
    EXPECT_EQ(slot("sam pfix=127 ident1=8191"),
              "- SAM  | Single address messages        |    Group: (127) Tar: (8191)\n");
    // Tar prefix all ones, Org ident zero.
    EXPECT_EQ(slot("head pfix=12 ident1=345 tarpfx=127 org=0"),
              "- HEAD | Short data message             | Org:(12)0  Tar:(127)345  Cwords: 2\n");
    EXPECT_EQ(slot("head pfix=3 ident1=8191 cwords=3 tarpfx=5 org=4321"),
              "- HEAD | Short data message             | Org:(3)4321  Tar:(5)8191  Cwords: 3\n");
    // The Tar prefix straddles cw[1] and cw[2]: 0x48 is 100 1000.
    EXPECT_EQ(slot("head pfix=0 ident1=0 tarpfx=0x48 org=5460"),
              "- HEAD | Short data message             | Org:(0)5460  Tar:(72)0  Cwords: 2\n");

    filt = 0;
    EXPECT_EQ(slot("sam pfix=12 ident1=345"), "");
    EXPECT_EQ(slot("head pfix=12 ident1=345"), "");
}

TEST_F(Families, HeadSharesBit27WithType)
{
    start();
    filt = 5;
    // Cwords 0 or 1 clears bit 27: TYPE 0, which reads as a SAM.
    EXPECT_EQ(slot("head pfix=12 ident1=345 cwords=1"),
              "- SAM  | Single address messages        |    Group: (12) Tar: (345)\n");
    // Category 1 with TYPE 2 or 3, and category 2, give no line.
    EXPECT_EQ(slot("head pfix=12 ident1=345 set=26-27:2"), "");
    EXPECT_EQ(slot("head pfix=12 ident1=345 set=26-27:3"), "");
    EXPECT_EQ(slot("sam pfix=12 ident1=345 cat=2"), "");
    EXPECT_EQ(slot("sam pfix=12 ident1=345 cat=7"), "");
}

// ---- GTC ---------------------------------------------------------------------------

TEST_F(Families, GtcVoiceAndData)
{
    start("[general]\nLOG=1\n");
    // Data (bit 23 set, so CAT is 4 or more: no indicator): no time stamp.
    const std::string data =
        "-  GTC | Go To Channel Data             | ( 12)  Org:  678       Tar:  345 \n"
        "       | Ch:600    Freq:427.5000 Mhz    |         \n";
    EXPECT_EQ(slot("gtc data=1 pfix=12 ident1=345 ident2=678 chan=600"), data);
    EXPECT_EQ(log_tail(), data);

    // Voice, channel 600 reads as CAT 2: the line alone, ending in the time stamp.
    const std::string voice =
        "-  GTC | Go To Channel Voice            | (  7)  Org: 8191       Tar:    1 \n"
        "       | Ch:600    Freq:427.5000 Mhz    |         <TIME>\n\n";
    EXPECT_EQ(mask_times(slot("gtc pfix=7 ident1=1 ident2=8191 chan=600")), voice);
    EXPECT_EQ(mask_times(log_tail()), voice);

    EXPECT_EQ(mask_times(slot("gtc pfix=127 ident1=8191 ident2=0 chan=1023")),
              "-  GTC | Go To Channel Voice            | (127)  Org:    0       Tar: 8191 \n"
              "       | Ch:1023    Freq:432.7875 Mhz    |         <TIME>\n\n");
}

TEST_F(Families, OneCodewordGivesCategoryLinesBeforeItsGtc)
{
    start();
    filt = 4;
    // Bits 23-30 of this GTC are D 0 and the top of channel 42: CAT 0,
    // TYPE 0, FUNC 5; the ALOHA fields come out of its channel and IDENT2.
    EXPECT_EQ(mask_times(slot("gtc pfix=12 ident1=345 ident2=678 chan=42")),
              kAlohaShown +
                  "- ALOHA- ALHX | Messages invited, except RQR   | (12) Id:345 WT:1 RSVD:1 M:9 N:8\n"
                  "-  GTC | Go To Channel Voice            | ( 12)  Org:  678       Tar:  345 \n"
                  "       | Ch: 42    Freq:420.5250 Mhz    |         <TIME>\n\n");
    filt = 3;
    EXPECT_EQ(mask_times(slot("gtc pfix=12 ident1=345 ident2=678 chan=42")),
              kAlohaShown +
                  "-  GTC | Go To Channel Voice            | ( 12)  Org:  678       Tar:  345 \n"
                  "       | Ch: 42    Freq:420.5250 Mhz    |         <TIME>\n\n");
    // Channel 200 puts CAT 0, TYPE 3, FUNC 1 in bits 23-30: MAINT (at any
    // level) for the channel in bits 31-40, here 0, then the GTC.
    filt = 0;
    EXPECT_EQ(mask_times(slot("gtc pfix=1 ident1=2 ident2=0 chan=200")),
              kMiscShown +
                  "- MAINT| Call maintenance message       | (Act. Chan: 0 Freq: 420.0000 MHz)\n"
                  "-  GTC | Go To Channel Voice            | (  1)  Org:    0       Tar:    2 \n"
                  "       | Ch:200    Freq:422.5000 Mhz    |         <TIME>\n\n");
}

// ---- CLEAR -----------------------------------------------------------------------

TEST_F(Families, ClearReport)
{
    start("[general]\nLOG=1\n");
    sound = 1;  // a CLEAR never rings
    control = 421.5;
    // CHAN 300 needs all ten bits (256 is among them).  Bits 23-30 are
    // zero: the codeword also reads as CAT 0 TYPE 0.
    const std::string report =
        "- CLEAR| Call clear-down                | Ch: 300  Freq: 423.7500 \n"
        "       | CCh: 5\t\t\t| <TIME>\n\n";
    std::string out = slot("clear chan=300 cont=5");
    EXPECT_EQ(mask_times(out), kAlohaShown + report);
    EXPECT_EQ(mask_times(log_tail()), report);
    if (setfreq_probe_active) {
        ASSERT_EQ(setfreq_calls.size(), 1u);
        EXPECT_EQ(setfreq_calls[0].mhz, 421.5);
        // The report is out before the receiver is commanded.
        EXPECT_EQ(setfreq_calls[0].console_pos, address_pos + (long)out.size());
    }

    // The other bits may hold anything.
    EXPECT_EQ(mask_times(slot("clear chan=1 cont=1023 set=23-48:0x3ffffff")),
              "- CLEAR| Call clear-down                | Ch: 1  Freq: 420.0125 \n"
              "       | CCh: 1023\t\t\t| <TIME>\n\n");
    EXPECT_EQ(mask_times(slot("clear chan=1023 cont=0 set=36-36:1 set=48-48:1")),
              kAlohaShown +
                  "- CLEAR| Call clear-down                | Ch: 1023  Freq: 432.7875 \n"
                  "       | CCh: 0\t\t\t| <TIME>\n\n");
}

TEST_F(Families, ClearNeedsAllSixPatternBits)
{
    start();
    filt = 5;
    for (int bit : {37, 39, 41, 43, 45, 47}) {
        SCOPED_TRACE(bit);
        // CAT 7: no category line, so nothing at all is left.
        EXPECT_EQ(slot("clear chan=300 cont=5 set=23-25:7 set=" + std::to_string(bit) + "-" +
                       std::to_string(bit) + ":0"),
                  "");
    }
    EXPECT_EQ(slot("clear chan=300 cont=5 set=45-45:0"), kAlohaShown + "- ALOHA-  ALH | General single Codeword        | (37) Id:4101 WT:1 RSVD:1 M:10 N:2\n");
    EXPECT_TRUE(setfreq_calls.empty());
}

TEST_F(Families, ClearAlsoAfterACategoryReport)
{
    // The ALOHA reading of a CLEAR comes first, then the CLEAR itself and
    // the command back to the control channel.
    start();
    filt = 4;
    EXPECT_EQ(mask_times(slot("clear chan=300 cont=5")),
              kAlohaShown +
                  "- ALOHA-  ALH | General single Codeword        | (37) Id:4101 WT:1 RSVD:1 M:10 N:10\n"
                  "- CLEAR| Call clear-down                | Ch: 300  Freq: 423.7500 \n"
                  "       | CCh: 5\t\t\t| <TIME>\n\n");
    if (setfreq_probe_active) {
        ASSERT_EQ(setfreq_calls.size(), 1u);
        EXPECT_EQ(setfreq_calls[0].mhz, 420.0);
    }
}

// ---- traffic following -----------------------------------------------------------

struct follow_case_t {
    unsigned short pref, id;
    const char* gtc;
    size_t follows;
};

TEST_F(Families, FollowRules)
{
    const follow_case_t cases[] = {
        // TARGET_PREF 9999 follows every voice call.
        {9999, 0, "gtc pfix=13 ident1=345 ident2=678 chan=42", 1},
        {9999, 1, "gtc pfix=0 ident1=0 ident2=0 chan=42", 1},
        // ... but never a data call, whatever the targets.
        {9999, 345, "gtc data=1 pfix=12 ident1=345 ident2=345 chan=42", 0},
        {12, 345, "gtc data=1 pfix=12 ident1=345 ident2=345 chan=42", 0},
        {0, 0, "gtc data=1 pfix=0 ident1=0 ident2=0 chan=42", 0},
        // Prefix with ident 9999: every voice call of that prefix.
        {12, 9999, "gtc pfix=12 ident1=345 ident2=678 chan=42", 1},
        {12, 9999, "gtc pfix=13 ident1=345 ident2=678 chan=42", 0},
        // Prefix and ident: calls the unit originates, and calls to the ident.
        {12, 345, "gtc pfix=12 ident1=678 ident2=345 chan=42", 1},
        {12, 345, "gtc pfix=99 ident1=345 ident2=1 chan=42", 1},
        {12, 345, "gtc pfix=13 ident1=678 ident2=345 chan=42", 0},
        {12, 345, "gtc pfix=12 ident1=678 ident2=346 chan=42", 0},
        // Two rules at once: rules 3 and 4, and rules 1 and 4.
        {12, 345, "gtc pfix=12 ident1=345 ident2=345 chan=42", 2},
        {9999, 345, "gtc pfix=1 ident1=345 ident2=2 chan=42", 2},
        // The defaults 0 and 0: IDENT1 0, or PFIX 0 with IDENT2 0.
        {0, 0, "gtc pfix=12 ident1=0 ident2=678 chan=42", 1},
        {0, 0, "gtc pfix=0 ident1=345 ident2=0 chan=42", 1},
        {0, 0, "gtc pfix=0 ident1=0 ident2=0 chan=42", 2},
        {0, 0, "gtc pfix=0 ident1=345 ident2=678 chan=42", 0},
        {0, 0, "gtc pfix=12 ident1=345 ident2=0 chan=42", 0},
    };
    start();
    for (const follow_case_t& c : cases) {
        SCOPED_TRACE(std::string(c.gtc) + " pref " + std::to_string(c.pref) + " id " +
                     std::to_string(c.id));
        trg_pre = c.pref;
        trg_id = c.id;
        sound = 1;
        setfreq_calls.clear();
        std::string out = slot(c.gtc);
        EXPECT_EQ(count_of(out, '\a'), c.follows);  // one bell per receiver command
        if (setfreq_probe_active) {
            ASSERT_EQ(setfreq_calls.size(), c.follows);
            for (const setfreq_call_t& call : setfreq_calls)
                EXPECT_DOUBLE_EQ(call.mhz, 420.525);
        }
        // BEEP off: the same commands, no bell.
        sound = 0;
        setfreq_calls.clear();
        EXPECT_EQ(count_of(slot(c.gtc), '\a'), 0u);
        if (setfreq_probe_active) {
            EXPECT_EQ(setfreq_calls.size(), c.follows);
        }
    }
}

TEST_F(Families, FollowedGtcIsReportedAfterItsCommandsAndBells)
{
    start("[general]\nLOG=1\n");
    trg_pre = 12;
    trg_id = 345;
    sound = 1;
    // Channel 600 reads as CAT 2: no indicator in front.
    std::string out = slot("gtc pfix=12 ident1=345 ident2=345 chan=600");
    const std::string line =
        "-  GTC | Go To Channel Voice            | ( 12)  Org:  345       Tar:  345 \n"
        "       | Ch:600    Freq:427.5000 Mhz    |         <TIME>\n\n";
    EXPECT_EQ(mask_times(out), "\a\a" + line);
    EXPECT_EQ(mask_times(log_tail()), line);  // bells never reach the log
    if (setfreq_probe_active) {
        ASSERT_EQ(setfreq_calls.size(), 2u);
        EXPECT_DOUBLE_EQ(setfreq_calls[0].mhz, 427.5);
        EXPECT_EQ(setfreq_calls[0].console_pos, address_pos);
        EXPECT_EQ(setfreq_calls[1].console_pos, address_pos + 1);  // after the first bell
    }
}

TEST_F(Families, FollowUsesTheChannelPlanOfTheMoment)
{
    if (!setfreq_probe_active)
        GTEST_SKIP() << "setfreq cannot be observed with this linker";
    start();
    trg_pre = 9999;
    offset = 0;
    step = 0.025;
    baseFreq = 450.0;
    slot("gtc pfix=1 ident1=2 ident2=3 chan=102");
    ASSERT_EQ(setfreq_calls.size(), 1u);
    EXPECT_DOUBLE_EQ(setfreq_calls[0].mhz, 452.5);
    control = 451.0;
    slot("clear chan=102 cont=1");
    ASSERT_EQ(setfreq_calls.size(), 2u);
    EXPECT_EQ(setfreq_calls[1].mhz, 451.0);
}

// ---- CALLTIMEOUT ------------------------------------------------------------------

// A followed call that gives no checked codeword for CALLTIMEOUT seconds of
// input is given up as if cleared: input time is counted in samples from the
// follow or the last checked codeword, and the time-out is noticed at the
// next checked codeword or after the next buffer of input (the ticker).
TEST_F(Families, CallTimeOutCountsSamplesOfInput)
{
    static std::vector<event_t> records;
    records.clear();
    struct {
        unsigned timeout;
        const char* before;      // between the follow and the silence
        unsigned long long quiet;  // samples of input without a checked codeword
        bool by_codeword;        // noticed by the next codeword, or by the ticker
        bool given_up;
    } cases[] = {
        {5, "", 5 * 10800 - 1, false, false},
        {5, "", 5 * 10800, false, true},
        {5, "", 5 * 10800 - 1, true, false},
        {5, "", 5 * 10800, true, true},
        {30, "", 30 * 10800 + 5000, false, true},
        {0, "", 1000000000, false, false},                          // 0: never
        {5, "clear chan=7 cont=1", 6 * 10800, false, false},         // any CLEAR returns
        {5, "gtc pfix=1 ident1=2 ident2=3 chan=9", 6 * 10800, false, true},  // still on 100
    };
    start("[general]\nLOG=1\n");
    trg_pre = 12;
    trg_id = 9999;
    event_add_sink([](const event_t& e) { records.push_back(e); });
    unsigned long long t = 1000;
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.timeout << " s, " << c.before << ", " << c.quiet
                                          << " samples, by " << (c.by_codeword ? "codeword" : "tick"));
        calltimeout = c.timeout;
        input_sample = t;
        slot("gtc pfix=12 ident1=345 ident2=678 chan=100");
        if (*c.before)
            slot(c.before);
        log_tail();
        setfreq_calls.clear();
        records.clear();
        input_sample = t + c.quiet;
        if (c.by_codeword) {
            feed_words(kSystem);
            feed_words(silent());
        } else {
            timeout_tick();
        }
        const std::string report =
            c.given_up ? "- TIMEO| Call time-out, back to control | Ch: 100  Freq: 421.2500 \n"
                         "       | Silent: " + std::to_string(c.timeout) + " s\t| <TIME>\n\n"
                       : "";
        EXPECT_EQ(mask_times(console_output()), report);
        EXPECT_EQ(mask_times(log_tail()), report);
        if (setfreq_probe_active) {
            ASSERT_EQ(setfreq_calls.size(), c.given_up ? 1u : 0u);
            if (c.given_up) {
                EXPECT_EQ(setfreq_calls[0].mhz, 420.0);
            }
        }
        if (c.given_up) {
            ASSERT_EQ(records.size(), 2u);
            EXPECT_EQ(records[0].type, "TIMEOUT");
            EXPECT_EQ(records[0].offset, (double)(t + c.quiet) / 10800);
            EXPECT_EQ(event_field(records[0], "channel")->i, 100);
            EXPECT_EQ(event_field(records[0], "freq")->real, 421.25);
            EXPECT_EQ(event_field(records[0], "silent")->i, (long long)c.timeout);
            EXPECT_EQ(event_field(records[0], "control")->real, 420.0);
            EXPECT_EQ(records[1].type, "call_end");
            EXPECT_EQ(event_field(records[1], "channel")->i, 100);
            EXPECT_EQ(event_field(records[1], "ended")->text, "timeout");
            EXPECT_EQ(event_field(records[1], "duration")->real, (double)c.quiet / 10800);
            // Once: the receiver is back, nothing is followed.
            input_sample += 100 * 10800;
            timeout_tick();
            EXPECT_EQ(console_output(), "");
        } else {
            EXPECT_TRUE(records.empty());
        }
        slot("clear chan=100 cont=1");
        slot("clear chan=9 cont=1");
        t = input_sample + 1;
    }
}

// ---- FILTER ------------------------------------------------------------------------

TEST_F(Families, FilterThresholdsAreStrictlyGreaterThan)
{
    struct {
        const char* line;
        const char* marker;  // text only the report has
        double threshold;    // shown when FILTER is above it; -1 = always
    } families[] = {
        {"aloha pfix=1 ident1=2", "- ALOHA", 3},
        {"ack pfix=1 ident1=2 ident2=3", "- ACKK", 0},
        {"req func=1", "-  RQ  |", 2},
        {"bcast sysdef=3 sys=1", "- BCAST", 1},
        {"sam pfix=1 ident1=2", "- SAM", 0},
        {"head pfix=1 ident1=2", "- HEAD", 0},
        {"maint chan=1", "- MAINT", -1},
        {"move chan=1", "- MOVE", -1},
        {"gtc pfix=1 ident1=2 ident2=3 chan=600", "-  GTC", -1},
        {"gtc data=1 pfix=1 ident1=2 ident2=3 chan=600", "-  GTC", -1},
        {"clear chan=1 cont=2", "- CLEAR", -1},
    };
    start();
    for (double level : {0.0, 0.5, 1.0, 1.5, 2.0, 2.5, 3.0, 3.5, 4.0, 4.5, 5.0, 9.0}) {
        filt = level;
        for (const auto& f : families) {
            SCOPED_TRACE(std::string(f.line) + " at FILTER " + std::to_string(level));
            std::string out = slot(f.line);
            EXPECT_EQ(out.find(f.marker) != std::string::npos, level > f.threshold) << out;
        }
        feed_words(kSystem);
        feed_words(silent());
        EXPECT_EQ(console_output().find("- CCSC") != std::string::npos, level > 4);
    }
}

TEST_F(Families, IndicatorsAtEveryLevel)
{
    start();
    filt = 0;
    EXPECT_EQ(slot("aloha pfix=1 ident1=2"), kAlohaShown);
    EXPECT_EQ(slot("ack pfix=1 ident1=2 ident2=3"), "");  // no indicator for TYPE 1
    EXPECT_EQ(slot("req func=0 pfix=1 ident1=2"), kErased);
    EXPECT_EQ(slot("bcast sysdef=2 sys=1"), kMiscShown);
}

// ---- report output -----------------------------------------------------------------

TEST_F(Families, IndicatorsAlternateAndReportLinesStandOnThem)
{
    start("[general]\nLOG=1\n");
    filt = 0;
    // Three in a row: shown, erased, shown.
    EXPECT_EQ(slot("aloha"), kAlohaShown);
    EXPECT_EQ(slot("aloha"), kErased);
    EXPECT_EQ(slot("aloha"), kAlohaShown);
    // A different word only erases the one standing there.
    EXPECT_EQ(slot("bcast sysdef=2 sys=1"), kErased);
    EXPECT_EQ(slot("req func=1"), kReqShown);
    // MAINT after a standing indicator: its MISC erases, then the line.
    EXPECT_EQ(slot("maint chan=3"),
              kErased + "- MAINT| Call maintenance message       | (Act. Chan: 3 Freq: 420.0375 MHz)\n");
    // After a report line the next indicator is shown again.
    EXPECT_EQ(slot("aloha"), kAlohaShown);
    EXPECT_EQ(slot("move chan=3"),
              kErased + "- MOVE | Move to specified Control-Chan.|      ->     Ch:  3 Freq:420.0375 MHz\n");
    EXPECT_EQ(slot("bcast sysdef=2 sys=1"), kMiscShown);
    // A report line without an indicator of its own, written over a standing one.
    EXPECT_EQ(mask_times(slot("gtc pfix=1 ident1=2 ident2=3 chan=600")),
              "-  GTC | Go To Channel Voice            | (  1)  Org:    3       Tar:    2 \n"
              "       | Ch:600    Freq:427.5000 Mhz    |         <TIME>\n\n");
    EXPECT_EQ(slot("aloha"), kAlohaShown);
    // Only the report lines reach the log.
    EXPECT_EQ(mask_times(log_tail()),
              "- MAINT| Call maintenance message       | (Act. Chan: 3 Freq: 420.0375 MHz)\n"
              "- MOVE | Move to specified Control-Chan.|      ->     Ch:  3 Freq:420.0375 MHz\n"
              "-  GTC | Go To Channel Voice            | (  1)  Org:    3       Tar:    2 \n"
              "       | Ch:600    Freq:427.5000 Mhz    |         <TIME>\n\n");
}

TEST_F(Families, BinaryDumpBeforeEveryReportLine)
{
    start("[general]\nLOG=1\n");
    filt = 5;
    verb = 1;
    const std::string console_bits =
        "   10000001 00000000   00010100 00000000   00011000 01010110   01010101 00010100";
    const std::string log_bits =
        " 10000001 00000000 00010100 00000000 00011000 01010110 01010101 00010100";
    const std::string line = "-  ALH | General single Codeword        | (1) Id:2 WT:3 RSVD:0 M:5 N:6\n";
    // The "- ALOHA" prefix, then the dump, then the line; the indicator has none.
    EXPECT_EQ(slot(words_t{0x8100, 0x1400, 0x1856, 0x5514}),
              kAlohaShown + "- ALOHA" + console_bits + line);
    EXPECT_EQ(log_tail(), log_bits + line);

    // The system codeword's CCSC line is dumped with its own words.
    feed_words(kSystem);
    feed_words(silent());
    EXPECT_EQ(console_output(),
              "   00010010 00110100   01000010 00100001   10101010 10101010   11000100 11010111" +
                  kCcsc1234);
    EXPECT_EQ(log_tail(),
              " 00010010 00110100 01000010 00100001 10101010 10101010 11000100 11010111" + kCcsc1234);

    // Every report of a codeword gets its own dump: MAINT and the GTC.
    // gtc pfix=1 ident1=2 ident2=0 chan=200 is 0x8100 0x1064 0x0000 + check.
    words_t gtc = message("gtc pfix=1 ident1=2 ident2=0 chan=200");
    ASSERT_EQ(gtc[0], 0x8100);
    ASSERT_EQ(gtc[1], 0x1064);
    ASSERT_EQ(gtc[2], 0x0000);
    std::string check;
    for (int i = 15; i >= 0; i--) {
        check += (gtc[3] >> i) & 1 ? '1' : '0';
        if (i == 8)
            check += ' ';
    }
    const std::string gtc_bits = "   10000001 00000000   00010000 01100100   00000000 00000000   " + check;
    EXPECT_EQ(mask_times(slot(gtc)),
              kMiscShown + gtc_bits +
                  "- MAINT| Call maintenance message       | (Act. Chan: 0 Freq: 420.0000 MHz)\n" +
                  gtc_bits +
                  "-  GTC | Go To Channel Voice            | (  1)  Org:    0       Tar:    2 \n"
                  "       | Ch:200    Freq:422.5000 Mhz    |         <TIME>\n\n");

    // Below the level no dump either; BINARY 2 is off.
    filt = 3;
    EXPECT_EQ(slot(words_t{0x8100, 0x1400, 0x1856, 0x5514}), kAlohaShown);
    filt = 5;
    verb = 2;
    EXPECT_EQ(slot(words_t{0x8100, 0x1400, 0x1856, 0x5514}), kAlohaShown + "- ALOHA" + line);
    log_tail();
    verb = 1;
    EXPECT_EQ(slot("bcast sysdef=2 sys=1 func=6"), kMiscShown);  // an indicator alone: no dump
    EXPECT_EQ(log_tail(), "");
}

TEST_F(Families, LogMirrorFollowsLogExactlyOneButDumpsFollowTheOpenLog)
{
    start("[general]\nLOG=1\n");
    filt = 1;
    const std::string ack = "- ACKK | General acknowledgement        | (  1)  Org:    3       Tar:    2\n";
    EXPECT_EQ(slot("ack pfix=1 ident1=2 ident2=3"), ack);
    EXPECT_EQ(log_tail(), ack);

    // LOG no longer 1 while the log stays open: report lines stay out of
    // it, the binary dumps still go in.
    logger = 2;
    EXPECT_EQ(slot("ack pfix=1 ident1=2 ident2=3"), ack);
    EXPECT_EQ(log_tail(), "");
    verb = 1;
    std::string out = slot("ack pfix=1 ident1=2 ident2=3");
    EXPECT_EQ(out.substr(out.size() - ack.size()), ack);
    std::string logged = log_tail();
    EXPECT_EQ(logged.size(), 4u * 18u);
    EXPECT_EQ(logged.find('-'), std::string::npos);
}

TEST_F(Families, LogTwoOpensNoLog)
{
    start("[general]\nLOG=2\nFILTER=5\n");
    EXPECT_EQ(logfile, nullptr);
    EXPECT_EQ(slot("ack pfix=1 ident1=2 ident2=3"),
              "- ACKK | General acknowledgement        | (  1)  Org:    3       Tar:    2\n");
    EXPECT_FALSE(std::filesystem::exists(dir.file("logfile.txt")));
}

}  // namespace
