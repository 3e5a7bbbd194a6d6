// Bad input of every kind the program meets in the field: each has a clear
// outcome, loses nothing that could be kept, and neither crashes nor hangs.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "harness.h"
#include "mpt1327/mpt1327.h"
#include "pty.h"

namespace {

// A short session: a voice call allocated and cleared.
const char call[] =
    "ccsc 0x1234\n"
    "gtc pfix=12 ident1=345 ident2=678 chan=42\n"
    "ccsc 0x1234\n"
    "clear chan=42 cont=5\n";

const std::string call_lines =
    "***************************    Protocol-Decoder    ***************************\n"
    "  SYS 0x1234  | Unregistered | CCh-Frequency: 420.0000 MHz\n"
    "******************************************************************************\n\n"
    "-  GTC | Go To Channel Voice            | ( 12)  Org:  678       Tar:  345 \n"
    "       | Ch: 42    Freq:420.5250 Mhz    |         <TIME>\n\n"
    "- CLEAR| Call clear-down                | Ch: 42  Freq: 420.5250 \n"
    "       | CCh: 5\t\t\t| <TIME>\n\n";

const std::string banner = "\n  === Marrowit - MPT1327 Trunking-Decoder - QX9ZA ===  <TIME>\n\n";

// The console at FILTER 0 also shows the indicators the codewords light.
std::string strip_indicators(std::string s)
{
    for (const char* word : {"ALOHA", "MISC", "REQ / AHOY"}) {
        std::string ind = std::string(word) + "       " + std::string(std::strlen(word) + 7, '\b');
        for (size_t at; (at = s.find(ind)) != std::string::npos;)
            s.erase(at, ind.size());
        std::string erase = std::string(10, ' ') + std::string(10, '\b');
        for (size_t at; (at = s.find(erase)) != std::string::npos;)
            s.erase(at, erase.size());
    }
    return s;
}

struct BadInput : ::testing::Test {
    temp_dir_t dir;
    run_result_t decode(const std::string& settings, const std::string& audio)
    {
        if (!settings.empty())
            write_file(dir.file("solvane.ini"), settings);
        return run_program(marrowit_path(), {"-"}, dir.path, audio, 30);
    }
};

TEST_F(BadInput, SettingsFileThatIsADirectory)
{
    ASSERT_EQ(mkdir(dir.file("solvane.ini").c_str(), 0755), 0);
    // The defaults would send a clear-down to the first serial port, so the
    // call is not cleared here.
    std::string allocation(call, std::strstr(call, "ccsc 0x1234\nclear"));
    run_result_t r = decode("", render_u8(allocation));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(mask_times(strip_indicators(r.out)), call_lines.substr(0, call_lines.find("- CLEAR")))
        << "defaults: FILTER 0, no log";
    // Read at start-up and again at the identity change: said both times.
    EXPECT_EQ(r.err, "marrowit: cannot read solvane.ini: Is a directory; using defaults\n"
                     "marrowit: cannot read solvane.ini: Is a directory; using defaults\n");
}

TEST_F(BadInput, SettingsFileOfBinaryJunk)
{
    std::string junk;
    for (int i = 0; i < 5000; i++)
        junk += (char)((i * 7919) % 256);
    junk += "\n[rs232]\nRADIO=0\n";  // and never a terminal, whatever the junk says
    run_result_t r = decode(junk, render_u8(call));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(mask_times(strip_indicators(r.out)), call_lines);
}

TEST_F(BadInput, LogThatCannotBeOpened)
{
    ASSERT_EQ(mkdir(dir.file("logfile.txt").c_str(), 0755), 0);
    run_result_t r = decode("[general]\nLOG=1\n[rs232]\nRADIO=0\n", render_u8(call));
    EXPECT_EQ(r.status, 0);
    // The banner comes again with every attempt to open the log.
    EXPECT_EQ(mask_times(strip_indicators(r.out)), banner + banner + call_lines) << "the console has it all";
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << "tried again at the identity change, said once";
    EXPECT_EQ(r.err.compare(0, 53, "marrowit: cannot open log file logfile.txt: Is a dire"), 0) << r.err;
}

TEST_F(BadInput, LogOnAFullDisk)
{
    ASSERT_EQ(symlink("/dev/full", dir.file("logfile.txt").c_str()), 0);
    run_result_t r = decode("[general]\nLOG=1\n[rs232]\nRADIO=0\n", render_u8(call));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(mask_times(strip_indicators(r.out)), banner + call_lines);
    EXPECT_EQ(r.err, "marrowit: cannot write logfile.txt: No space left on device; "
                     "report lines are missing from it\n")
        << "said once, not for every line";
}

TEST_F(BadInput, SerialDevicesThatAreNoReceiver)
{
    ASSERT_EQ(mkdir(dir.file("folder").c_str(), 0755), 0);
    write_file(dir.file("plain"), "");
    // The port and speed being tuned are said first, once, whatever follows.
    struct {
        const char* settings;  // of [rs232]
        const char* port;
        const char* speed;
        const char* error;
    } devices[] = {
        {"DEVICE=/nonexistent/ttyUSB7", "/nonexistent/ttyUSB7", "9600", "No such file or directory"},
        {"DEVICE=folder\nPORTSPEED=4800", "folder", "4800", "Is a directory"},
        {"DEVICE=plain", "plain", "9600", "Inappropriate ioctl for device"},
        {"DEVICE=/dev/null\nPORTSPEED=19200", "/dev/null", "19200", "Inappropriate ioctl for device"},
        {"PORTADR=4000", "/dev/ttyS3999", "9600", "No such file or directory"},
    };
    for (auto d : devices) {
        for (const char* radio : {"1", "2"}) {
            SCOPED_TRACE(std::string(d.settings) + " RADIO " + radio);
            run_result_t r = decode(std::string("[rs232]\nRADIO=") + radio + "\n" + d.settings + "\n",
                                    render_u8(call));
            EXPECT_EQ(r.status, 0);
            EXPECT_EQ(mask_times(strip_indicators(r.out)), call_lines) << "decoding goes on untuned";
            EXPECT_EQ(r.err, std::string("marrowit: tuning receiver model ") + radio + " on serial port " +
                                 d.port + " at " + d.speed +
                                 " bit/s (RADIO=0 in [rs232] turns tuning off)\n"
                                 "marrowit: serial port " + d.port + ": " + d.error +
                                 "; the receiver is not being tuned\n");
        }
    }
    EXPECT_EQ(read_file(dir.file("plain")), "") << "nothing written to a file that is not a terminal";
}

// In-process: a receiver that goes away between two commands, and comes back.
TEST(BadReceiver, VanishingBetweenCalls)
{
    temp_dir_t dir;
    reset_decoder();
    auto pty = std::make_unique<pty_t>();
    std::string link = dir.file("receiver");
    ASSERT_EQ(symlink(pty->slave.c_str(), link.c_str()), 0);
    portdev = link;
    rx = 1;

    // Catch standard error in a file for the duration.
    std::fflush(stderr);
    int saved = dup(2);
    std::string errfile = dir.file("stderr");
    FILE* err = std::fopen(errfile.c_str(), "w");
    dup2(fileno(err), 2);

    setfreq(421.25);
    std::string first = pty->read_master(14);
    pty.reset();  // the receiver is unplugged: its device is gone
    setfreq(420.0);
    setfreq(420.0);  // told once, not for every command
    pty = std::make_unique<pty_t>();  // plugged in again, under the same name
    unlink(link.c_str());
    ASSERT_EQ(symlink(pty->slave.c_str(), link.c_str()), 0);
    setfreq(425.0);
    std::string second = pty->read_master(14);

    std::fflush(stderr);
    dup2(saved, 2);
    close(saved);
    std::fclose(err);
    EXPECT_EQ(first, "RF0421250000\n\r");
    EXPECT_EQ(second, "RF0425000000\n\r");
    EXPECT_EQ(read_file(errfile), "marrowit: tuning receiver model 1 on serial port " + link +
                                      " at 9600 bit/s (RADIO=0 in [rs232] turns tuning off)\n"
                                      "marrowit: serial port " + link +
                                      ": No such file or directory; the receiver is not being tuned\n");
    portdev.clear();
}

TEST_F(BadInput, DamagedRecordings)
{
    std::string audio_path = dir.file("call.wav");
    run_result_t g = run_program(mptgen_path(), {"-t", "wav16", "-o", audio_path, "-"}, "", call);
    ASSERT_EQ(g.status, 0);
    std::string wav = read_file(audio_path);
    write_file(dir.file("solvane.ini"), "[rs232]\nRADIO=0\n");

    // Cut short after the allocation: what is there is decoded, and the
    // end of the file is the end of the input.
    write_file(dir.file("cut.wav"), wav.substr(0, 44 + 2 * 9 * (32 + 128 + 10)));
    run_result_t r = run_program(marrowit_path(), {"cut.wav"}, dir.path);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(mask_times(strip_indicators(r.out)), call_lines.substr(0, call_lines.find("- CLEAR")));

    // Header damaged.
    std::string bad = wav;
    bad.replace(0, 4, "RIFX");
    bad[20] = 0x55;  // and the format code
    write_file(dir.file("bad.wav"), bad);
    r = run_program(marrowit_path(), {"bad.wav"}, dir.path);
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.compare(0, 18, "marrowit: bad.wav:"), 0) << r.err;

    // A format that is no sound at all.
    write_file(dir.file("picture.png"), std::string("\x89PNG\r\n\x1a\n", 8) + std::string(100, 'x'));
    r = run_program(marrowit_path(), {"picture.png"}, dir.path);
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, "marrowit: picture.png: Format not recognised.\n");

    // A sample rate no recording of this signal can have.
    std::string slow = wav;
    slow[24] = 10;  // 10 Hz
    slow[25] = slow[26] = slow[27] = 0;
    slow[28] = 20;
    slow[29] = slow[30] = slow[31] = 0;
    write_file(dir.file("slow.wav"), slow);
    r = run_program(marrowit_path(), {"slow.wav"}, dir.path);
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, "marrowit: slow.wav: sample rate 10 Hz is out of range (1000 to 1000000)\n");
}

TEST_F(BadInput, StandardInputClosed)
{
    write_file(dir.file("solvane.ini"), "[rs232]\nRADIO=0\n");
    std::vector<std::string> args = {"-c", "exec \"$@\" - <&-", "sh"};
    for (const std::string& w : command_line(marrowit_path(), {}))
        args.push_back(w);
    run_result_t r = run_program("/bin/sh", args, dir.path);
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "marrowit: standard input: Bad file descriptor\n");

    args[1] = "exec \"$@\" --format s16le --rate 48000 - <&-";
    r = run_program("/bin/sh", args, dir.path);
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, "marrowit: standard input: Bad file descriptor\n");
}

}  // namespace
