// The whole program on generated audio: recordings and pipes, clean and
// impaired, compared byte for byte on the console and in the log.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <cstring>

#include "harness.h"

namespace {

const char session[] =
    "ccsc 0x1234\n"
    "aloha pfix=1 ident1=2 wt=3 m=5 n=6\n"
    "ccsc 0x1234\n"
    "gtc pfix=12 ident1=345 ident2=678 chan=42\n"
    "ccsc 0x1234\n"
    "clear chan=42 cont=5\n"
    "ccsc 0x0042\n"
    "move chan=100\n";

const char session_settings[] =
    "[general]\nFILTER=5\nLOG=1\nTARGET_PREF=9999\n"
    "[rs232]\nRADIO=0\n"
    "[0x0042]\nNAME=Second Site\nCCHFREQUENCY=4301000\nBEGINOFBAND=4300000\nSTEP=250\n";

const std::string indicator(const char* word, size_t len)
{
    return std::string(word) + "       " + std::string(len + 7, '\b');
}

// What the log holds after the session: report lines only.
const std::string session_log =
    "\n  === Marrowit - MPT1327 Trunking-Decoder - QX9ZA ===  <TIME>\n\n"
    "***************************    Protocol-Decoder    ***************************\n"
    "  SYS 0x1234  | Unregistered | CCh-Frequency: 420.0000 MHz\n"
    "******************************************************************************\n\n"
    "- CCSC | Control Channel System Codeword|   SYS Id: 0x1234\n"
    "-  ALH | General single Codeword        | (1) Id:2 WT:3 RSVD:0 M:5 N:6\n"
    "- CCSC | Control Channel System Codeword|   SYS Id: 0x1234\n"
    // the GTC's bits 23-30 also read as CAT 0, TYPE 0, FUNC 5
    "- ALHX | Messages invited, except RQR   | (12) Id:345 WT:1 RSVD:1 M:9 N:8\n"
    "-  GTC | Go To Channel Voice            | ( 12)  Org:  678       Tar:  345 \n"
    "       | Ch: 42    Freq:420.5250 Mhz    |         <TIME>\n\n"
    "- CCSC | Control Channel System Codeword|   SYS Id: 0x1234\n"
    // and so do the CLEAR's
    "-  ALH | General single Codeword        | (5) Id:2053 WT:1 RSVD:1 M:10 N:10\n"
    "- CLEAR| Call clear-down                | Ch: 42  Freq: 420.5250 \n"
    "       | CCh: 5\t\t\t| <TIME>\n\n"
    "***************************    Protocol-Decoder    ***************************\n"
    "  SYS 0x0042  | Second Site | CCh-Frequency: 430.1000 MHz\n"
    "******************************************************************************\n\n"
    "- CCSC | Control Channel System Codeword|   SYS Id: 0x0042\n"
    "- MOVE | Move to specified Control-Chan.|      ->     Ch:100 Freq:432.5000 MHz\n";

// The console adds the activity indicators and the "- ALOHA" prefixes.
std::string session_console()
{
    std::string c = session_log;
    auto before = [&](const char* line, const std::string& what) {
        size_t at = c.find(line);
        EXPECT_NE(at, std::string::npos) << line;
        c.insert(at, what);
    };
    before("-  ALH | General single Codeword        | (1)", indicator("ALOHA", 5) + "- ALOHA");
    before("- ALHX", indicator("ALOHA", 5) + "- ALOHA");
    before("-  ALH | General single Codeword        | (5)", indicator("ALOHA", 5) + "- ALOHA");
    before("- MOVE", indicator("MISC", 4));
    return c;
}

struct Decode : ::testing::Test {
    temp_dir_t dir;
    void SetUp() override { write_file(dir.file("solvane.ini"), session_settings); }

    // Decode and compare both outputs with the session's.
    void expect_session(const std::vector<std::string>& args, const std::string& input = "")
    {
        run_result_t r = run_program(marrowit_path(), args, dir.path, input);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(mask_times(r.out), session_console());
        EXPECT_EQ(mask_times(read_file(dir.file("logfile.txt"))), session_log);
    }

    std::string generate(const std::vector<std::string>& options, const std::string& name)
    {
        std::vector<std::string> args = options;
        for (const char* a : {"-o", ""})
            args.push_back(a);
        args.back() = dir.file(name);
        args.push_back("-");
        run_result_t r = run_program(mptgen_path(), args, "", session);
        EXPECT_EQ(r.status, 0) << r.err;
        return dir.file(name);
    }
};

TEST_F(Decode, RawSamplesOnStandardInput)
{
    expect_session({"-"}, render_u8(session));
}

TEST_F(Decode, EightBitWaveRecording)
{
    expect_session({generate({}, "session.wav")});
}

TEST_F(Decode, RecordingsOfOtherRatesAndContainers)
{
    expect_session({generate({"--rate", "44100", "-t", "wav16"}, "cd.wav")});
    std::remove(dir.file("logfile.txt").c_str());
    expect_session({generate({"--rate", "48000", "-t", "flac"}, "s.flac")});
    std::remove(dir.file("logfile.txt").c_str());
    expect_session({generate({"--rate", "8000", "-t", "au"}, "s.au")});
    std::remove(dir.file("logfile.txt").c_str());
    expect_session({generate({"--channels", "2"}, "stereo.wav")});  // only the first channel counts
}

TEST_F(Decode, SixteenBitPipeAtAnotherRate)
{
    std::string audio = read_file(generate({"--rate", "48000", "-t", "s16"}, "sdr.s16"));
    expect_session({"--format", "s16le", "--rate", "48000", "-"}, audio);
    std::remove(dir.file("logfile.txt").c_str());
    audio = read_file(generate({"-t", "s16"}, "plain.s16"));
    expect_session({"-", "--format=s16le"}, audio);
}

// With CORRECT=1 the same session, also from signals where the check alone
// loses codewords (the last rows: CORRECT=0 decodes less there).
TEST_F(Decode, NoisyDriftingAndUnevenSignals)
{
    struct {
        double snr, ppm, dc, level;
        int seed, correct;
    } cases[] = {{12, 0, 0, 0.5, 42, 0},    {12, 200, 0, 0.5, 42, 0}, {12, -200, 0, 0.5, 42, 0},
                 {20, 0, 0.1, 0.3, 42, 0},  {30, 100, 0, 0.05, 42, 0}, {14, -150, -0.1, 0.9, 42, 0},
                 {12, 200, 0, 0.5, 42, 1},  {30, 100, 0, 0.05, 42, 1}, {6, 0, 0, 0.5, 1, 1},
                 {5, 0, 0, 0.5, 6, 1}};
    std::string settings = session_settings;  // "[general]\n" first
    for (auto c : cases) {
        SCOPED_TRACE(::testing::Message() << "snr " << c.snr << " ppm " << c.ppm << " dc " << c.dc
                                          << " level " << c.level << " CORRECT " << c.correct);
        gen_audio_t o;
        o.snr_db = c.snr;
        o.ppm = c.ppm;
        o.dc = c.dc;
        o.level = c.level;
        o.seed = (unsigned)c.seed;
        std::string audio = render_u8(session, o);
        write_file(dir.file("solvane.ini"), c.correct ? "[general]\nCORRECT=1\n" + settings.substr(10) : settings);
        std::remove(dir.file("logfile.txt").c_str());
        expect_session({"-"}, audio);
        if (c.snr < 10) {
            write_file(dir.file("solvane.ini"), settings);
            run_result_t r = run_program(marrowit_path(), {"-"}, dir.path, audio);
            EXPECT_NE(mask_times(r.out), session_console()) << "CORRECT=0 decodes it all too";
        }
    }
}

TEST_F(Decode, EmptyInputEndsQuietly)
{
    run_result_t r = run_program(marrowit_path(), {"-"}, dir.path, "");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(mask_times(r.out), "\n  === Marrowit - MPT1327 Trunking-Decoder - QX9ZA ===  <TIME>\n\n");
}

TEST(CommandLine, HelpVersionAndUsageErrors)
{
    temp_dir_t dir;
    run_result_t r = run_program(marrowit_path(), {"--help"}, dir.path);
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("Usage: marrowit"), std::string::npos);
    r = run_program(marrowit_path(), {"--version"}, dir.path);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.compare(0, 9, "marrowit "), 0);

    for (std::vector<std::string> args :
         {std::vector<std::string>{"--frobnicate"}, {"--format", "s24", "-"}, {"--rate", "fast", "-"},
          {"--rate"}, {"a.wav", "b.wav"}, {"--rate", "48000", "a.wav"}, {"--format=u8"}}) {
        r = run_program(marrowit_path(), args, dir.path);
        EXPECT_EQ(r.status, 2) << args[0];
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        EXPECT_EQ(r.err.compare(0, 10, "marrowit: "), 0) << r.err;
    }
    EXPECT_EQ(read_file(dir.file("logfile.txt")), "");
}

TEST(CommandLine, InputsThatCannotBeRead)
{
    temp_dir_t dir;
    write_file(dir.file("noise.wav"), std::string(1000, 'x'));
    write_file(dir.file("empty.wav"), "");
    ASSERT_EQ(mkdir(dir.file("folder.wav").c_str(), 0755), 0);
    for (const char* name : {"missing.wav", "noise.wav", "empty.wav", "folder.wav"}) {
        run_result_t r = run_program(marrowit_path(), {name}, dir.path);
        EXPECT_EQ(r.status, 255) << name;
        EXPECT_EQ(r.out, "") << "nothing decoded, no banner: " << name;
        EXPECT_EQ(r.err.compare(0, 10 + std::strlen(name), std::string("marrowit: ") + name), 0) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    }
    run_result_t r = run_program(marrowit_path(), {"missing.wav"}, dir.path);
    EXPECT_EQ(r.err, "marrowit: missing.wav: No such file or directory\n");
}

}  // namespace
