// The whole program on generated audio: recordings and pipes, clean and
// impaired, compared byte for byte on the console and in the log.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <nlohmann/json.hpp>
#include <sstream>

#include "harness.h"
#include "rigctld.h"
#include "sdr/sdr.h"

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

std::string replaced(std::string text, const std::string& from, const std::string& to)
{
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

// ---- UDP on the loopback address ----

// A socket bound to a port of the system's choosing on 127.0.0.1.
int bound_socket(int* port)
{
    int s = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a = loopback(0);
    socklen_t len = sizeof a;
    if (s < 0 || bind(s, (sockaddr*)&a, sizeof a) != 0 || getsockname(s, (sockaddr*)&a, &len) != 0)
        throw std::runtime_error("no UDP socket on the loopback address");
    *port = ntohs(a.sin_port);
    return s;
}

// Send the bytes to the port in datagrams whose sizes take turns, with a
// pause of a third of a second half way.  A datagram of no bytes is refused
// (an ICMP error on the connected socket) until the port is listened to:
// that is waited for first.
// The datagrams of first, then bytes cut in datagrams of the sizes given.
void send_datagrams(int port, const std::string& bytes, const std::vector<size_t>& sizes,
                    const std::vector<std::string>& first = {})
{
    int s = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a = loopback(port);
    ASSERT_EQ(connect(s, (sockaddr*)&a, sizeof a), 0);
    bool listening = false;
    for (int i = 0; i < 2000 && !listening; i++) {
        send(s, "", 0, 0);
        usleep(5000);
        int err = 0;
        socklen_t len = sizeof err;
        getsockopt(s, SOL_SOCKET, SO_ERROR, &err, &len);
        listening = err == 0;
    }
    ASSERT_TRUE(listening);
    for (const std::string& d : first) {
        ASSERT_EQ(send(s, d.data(), d.size(), 0), (ssize_t)d.size());
        usleep(200);
    }
    size_t at = 0;
    for (size_t k = 0; at < bytes.size(); k++) {
        size_t n = std::min(sizes[k % sizes.size()], bytes.size() - at);
        ASSERT_EQ(send(s, bytes.data() + at, n, 0), (ssize_t)n);
        at += n;
        usleep(at >= bytes.size() / 2 && at - n < bytes.size() / 2 ? 330000 : 2000);
    }
    close(s);
}

struct Decode : ::testing::Test {
    temp_dir_t dir;
    // The second system's control channel as the settings give it.
    std::string second_cch = "430.1000";
    void SetUp() override { write_file(dir.file("solvane.ini"), session_settings); }

    // Decode and compare both outputs with the session's.
    void expect_session(const std::vector<std::string>& args, const std::string& input = "")
    {
        run_result_t r = run_program(marrowit_path(), args, dir.path, input);
        EXPECT_EQ(r.status, 0) << r.err;
        // The summary: the four slots, the two systems, nothing lost; the
        // seconds depend on the format.
        size_t counts = r.err.find(" s of audio: ");
        ASSERT_NE(counts, std::string::npos) << r.err;
        EXPECT_EQ(r.err.compare(0, 10, "marrowit: "), 0) << r.err;
        EXPECT_EQ(r.err.substr(counts), " s of audio: 4 sync words, 8 codewords passed, 0 failed, "
                                        "2 systems (0x1234 0x0042)\n");
        EXPECT_EQ(mask_times(r.out), replaced(session_console(), "430.1000", second_cch));
        EXPECT_EQ(mask_times(read_file(dir.file("logfile.txt"))),
                  replaced(session_log, "430.1000", second_cch));
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
                 {12, 200, 0, 0.5, 42, 1},  {30, 100, 0, 0.05, 42, 1}, {6, 0, 0, 0.5, 7, 1},
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

// An SDR's capture of the site: the control channel is cut out of the band
// and decoded as the same audio is.  Both systems keep their control channel
// in the band.
TEST_F(Decode, IqCapturesOfTheControlChannel)
{
    if (!sdr_can_demodulate)
        GTEST_SKIP() << "no IQ input in this build";
    second_cch = "420.0000";
    write_file(dir.file("solvane.ini"),
               replaced(session_settings, "CCHFREQUENCY=4301000", "CCHFREQUENCY=4200000"));
    struct {
        const char* format;
        const char* rate;
        const char* center;
        const char* gen_ppm;   // the receiver's frequency error in the capture
        const char* told_ppm;  // and as the program is told it
        const char* snr;
    } cases[] = {
        {"cu8", "2048000", "420250000", "0", "0", "1e9"},
        {"cu8", "2048000", "419200000", "0", "0", "25"},   // control channel 800 kHz up, noise
        {"cs16", "1024000", "420000000", "0", "0", "1e9"},  // at the centre
        {"cf32", "250000", "419950000", "0", "0", "1e9"},
        {"cu8", "2048000", "420250000", "20", "20", "1e9"},  // 8.4 kHz off at 420 MHz, corrected
        {"cu8", "2048000", "420250000", "-20", "-20", "1e9"},
        {"cu8", "2048000", "420250000", "20", "0", "30"},  // ... and not corrected
        {"cu8", "2048000", "420250000", "-20", "0", "30"},
    };
    for (auto c : cases) {
        SCOPED_TRACE(::testing::Message() << c.format << " " << c.rate << " centre " << c.center
                                          << " ppm " << c.gen_ppm << "/" << c.told_ppm);
        std::string capture = generate({"-t", c.format, "--rate", c.rate, "--center", c.center,
                                        "--ppm", c.gen_ppm, "--snr", c.snr},
                                       std::string("capture.") + c.format);
        std::remove(dir.file("logfile.txt").c_str());
        std::vector<std::string> args = {"--center", c.center, "--rate", c.rate,
                                         "--ppm", c.told_ppm, "iq:" + capture};
        if (std::string(c.format) != "cu8")
            args.insert(args.begin(), {"--format", c.format});
        expect_session(args);
    }
    // The capture piped in, as from rtl_sdr.
    std::remove(dir.file("logfile.txt").c_str());
    std::string capture = generate({"-t", "cu8", "--center", "420250000"}, "piped.cu8");
    expect_session({"--center", "420250000", "iq:-"}, read_file(capture));
}

// Standard output carries JSON only; the log is as without --json.
TEST_F(Decode, JsonLinesOnStandardOutput)
{
    run_result_t r = run_program(marrowit_path(), {"-q", "--json", "-", "-"}, dir.path, render_u8(session));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(mask_times(read_file(dir.file("logfile.txt"))), session_log);
    std::istringstream lines(r.out);
    std::string line, types;
    while (std::getline(lines, line)) {
        nlohmann::json j = nlohmann::json::parse(line);
        types += j["type"].get<std::string>() + " ";
        if (j["type"] == "MOVE") {
            EXPECT_EQ(j["sys"], "0x0042");
        }
        if (j["type"] == "identity" && j["sys"] == "0x0042") {
            EXPECT_EQ(j["name"], "Second Site");
        }
    }
    // The GTC's object only, not the ALOHA line its channel bits make.
    EXPECT_EQ(types,
              "identity CCSC ALOHA CCSC GTC call_start CCSC ALOHA CLEAR call_end "
              "identity CCSC MOVE stats ");
}

TEST_F(Decode, FrenchSyncWords)
{
    const std::string standard = session;
    const size_t half = standard.find("ccsc", standard.find("gtc"));  // before the CLEAR's slot
    const std::string french = "sync french\n" + standard;
    const std::string mixed = french.substr(0, half + 12) + "sync standard\n" + french.substr(half + 12);
    struct {
        const char* sync;  // the setting
        std::string script;
        bool decodes;
    } cases[] = {
        {"1", french, true},   {"2", french, true},    {"2", standard, true}, {"2", mixed, true},
        {"0", french, false},  {"1", standard, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << "SYNC=" << c.sync << "\n" << c.script);
        std::string settings = session_settings;
        settings.insert(std::strlen("[general]\n"), std::string("SYNC=") + c.sync + "\n");
        write_file(dir.file("solvane.ini"), settings);
        std::remove(dir.file("logfile.txt").c_str());
        if (c.decodes) {
            expect_session({"-"}, render_u8(c.script));
            continue;
        }
        run_result_t r = run_program(marrowit_path(), {"-"}, dir.path, render_u8(c.script));
        EXPECT_EQ(r.status, 0);
        const std::string banner = "\n  === Marrowit - MPT1327 Trunking-Decoder - QX9ZA ===  <TIME>\n\n";
        EXPECT_EQ(mask_times(r.out), banner);
        EXPECT_EQ(mask_times(read_file(dir.file("logfile.txt"))), banner);
    }
}

// Half a minute of traffic at a quarter of full scale, the level of a
// discriminator output, under DC offsets: with DC removal every output is
// that of the clean signal, which DC removal leaves exactly as it is.
TEST_F(Decode, DcOffsetsConstantAndWandering)
{
    const std::string traffic = "random 300 seed=3";
    auto decode = [&](const char* dcremove, double dc, double hz) {
        write_file(dir.file("solvane.ini"),
                   std::string("[general]\nFILTER=5\nDCREMOVE=") + dcremove + "\n[rs232]\nRADIO=0\n");
        gen_audio_t o;
        o.level = 0.25;
        o.snr_db = 20;
        o.dc = dc;
        o.dc_hz = hz;
        run_result_t r = run_program(marrowit_path(), {"-"}, dir.path, render_u8(traffic, o));
        EXPECT_EQ(r.status, 0);
        return mask_times(r.out);
    };
    const std::string clean = decode("0", 0, 0);
    size_t slots = 0;
    for (size_t at = clean.find("- CCSC"); at != std::string::npos; at = clean.find("- CCSC", at + 1))
        slots++;
    EXPECT_GT(slots, 285u);
    EXPECT_EQ(decode("1", 0, 0), clean);
    EXPECT_EQ(decode("", 0, 0), clean) << "on by default";

    struct {
        double dc, hz;
    } cases[] = {{0.1, 0}, {0.2, 0}, {0.4, 0}, {-0.4, 0}, {0.2, 0.1}, {0.4, 0.1}, {0.2, 0.5}};
    for (auto c : cases) {
        SCOPED_TRACE(::testing::Message() << "dc " << c.dc << " swinging at " << c.hz << " Hz");
        EXPECT_EQ(decode("1", c.dc, c.hz), clean);
    }
    EXPECT_EQ(decode("0", 0.4, 0).find("- CCSC"), std::string::npos) << "what DC does without removal";
}

TEST_F(Decode, UdpDatagramsOfAnySizeUntilStopped)
{
    const std::string sdr = read_file(generate({"--rate", "48000", "-t", "s16"}, "sdr.s16"));
    const std::string s16 = read_file(generate({"-t", "s16"}, "plain.s16"));
    const std::string u8 = render_u8(session);
    struct {
        std::vector<std::string> options;
        const std::string& bytes;
        std::vector<size_t> sizes;
        int signal;
        const char* address;
    } cases[] = {
        {{}, sdr, {2, 4, 998, 4098, 20000}, SIGTERM, "udp:"},  // what SDR programs send
        {{}, sdr, {65000}, SIGINT, "udp:127.0.0.1:"},
        {{"--format", "s16le", "--rate=10800"}, s16, {334, 2, 9998}, SIGTERM, "udp:[127.0.0.1]:"},
        {{"--format=u8", "--rate", "10800"}, u8, {1080, 7, 1, 4000}, SIGINT, "udp:"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.address << " datagrams of " << c.sizes[0] << " bytes, ...");
        std::remove(dir.file("logfile.txt").c_str());
        int port;
        close(bound_socket(&port));  // free now, and most likely still when marrowit binds it
        std::vector<std::string> args = c.options;
        args.insert(args.begin(), "-q");
        args.push_back(c.address + std::to_string(port));
        run_result_t r = run_program_meanwhile(marrowit_path(), args, dir.path, [&](int pid) {
            send_datagrams(port, c.bytes, c.sizes);
            kill(pid, c.signal);
        });
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(mask_times(r.out), session_console());
        EXPECT_EQ(mask_times(read_file(dir.file("logfile.txt"))), session_log);
    }
}

// A datagram of 16-bit samples holds whole samples: a stray odd-sized one,
// or a flood of them, loses its last byte and leaves the stream after it
// aligned, decoded in full.
TEST_F(Decode, UdpOddDatagramsDoNotShiftTheStream)
{
    const std::string sdr = read_file(generate({"--rate", "48000", "-t", "s16"}, "sdr.s16"));
    for (size_t odd : {1, 500}) {  // one stray datagram of 3 bytes, a flood of them
        SCOPED_TRACE(::testing::Message() << odd << " odd datagrams");
        std::remove(dir.file("logfile.txt").c_str());
        int port;
        close(bound_socket(&port));
        const std::string where = "udp:127.0.0.1:" + std::to_string(port);
        run_result_t r = run_program_meanwhile(marrowit_path(), {"-q", where}, dir.path, [&](int pid) {
            send_datagrams(port, sdr, {2, 4000}, std::vector<std::string>(odd, std::string("\x00\x80\x7f", 3)));
            kill(pid, SIGTERM);
        });
        EXPECT_EQ(r.status, 0) << r.err;
        std::string err = "marrowit: " + where +
                          ": a datagram of 3 bytes is not whole 16-bit samples; the last byte of such datagrams is dropped\n";
        if (odd > 1)
            err += "marrowit: " + where + ": " + std::to_string(odd) + " datagrams had a byte dropped\n";
        EXPECT_EQ(r.err, err);
        EXPECT_EQ(mask_times(r.out), session_console());
        EXPECT_EQ(mask_times(read_file(dir.file("logfile.txt"))), session_log);
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
          {"--rate"}, {"a.wav", "b.wav"}, {"--rate", "48000", "a.wav"}, {"--format=u8"},
          {"--device", "hw:1", "a.wav"}, {"--device=hw:1", "-"},
          {"iq:a.cu8"}, {"--center", "420e6", "-"}, {"--record", "calls", "a.wav"},
          {"--center", "420e6", "--format", "u8", "iq:a.cu8"}, {"--center", "420e6", "iq:"},
          {"--center", "420e6", "--rate", "1000", "iq:a.cu8"}, {"--center", "-5", "iq:a.cu8"},
          {"--center", "420e6", "--format", "cu8", "sdr:"}, {"--center", "4e8", "--ppm", "x", "sdr:"},
          {"--device", "hw:1", "--center", "420e6", "iq:a.cu8"},
          {"--json"}, {"--mqtt", "127.0.0.1:0", "-"}, {"--mqtt=:1883", "-"},
          {"udp:"}, {"udp:65536"}, {"udp:127.0.0.1:"}, {"udp::7355"}, {"udp:12ab"}}) {
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
    int port;
    int taken = bound_socket(&port);
    const std::string input = "udp:127.0.0.1:" + std::to_string(port);
    r = run_program(marrowit_path(), {input}, dir.path);
    close(taken);
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "marrowit: " + input + ": cannot listen: Address already in use\n");

    r = run_program(marrowit_path(), {"--json", "folder.wav/no/such.jsonl", "-"}, dir.path);
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "marrowit: cannot open folder.wav/no/such.jsonl: No such file or directory\n");

    if (!sdr_can_demodulate)
        return;
    r = run_program(marrowit_path(), {"--center", "420e6", "iq:missing.cu8"}, dir.path);
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "marrowit: missing.cu8: No such file or directory\n");
    // No such SDR (SoapySDR's modules may say more on the way).
    r = run_program(marrowit_path(), {"--center", "420e6", "sdr:driver=nothing-here"}, dir.path);
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, "");
    std::string expected = sdr_can_open_devices
                               ? "marrowit: sdr:driver=nothing-here: no such device: "
                               : "marrowit: sdr:driver=nothing-here: this build has no SoapySDR";
    EXPECT_NE(r.err.find(expected), std::string::npos) << r.err;
}

}  // namespace
