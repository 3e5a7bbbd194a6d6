// Bad input of every kind the program meets in the field: each has a clear
// outcome, loses nothing that could be kept, and neither crashes nor hangs.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "harness.h"
#include "sdr/sdr.h"
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
        return run_program(marrowit_path(), {"-q", "-"}, dir.path, audio, 30);
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

// A receiver whose line is never read: after one command has run out of
// time, commands are skipped without waiting, said once, and decoding a
// minute of calls goes on as if nothing were tuned.
TEST_F(BadInput, ReceiverThatNeverReads)
{
    std::string script;
    for (int i = 0; i < 110; i++)
        script += "random 3 seed=" + std::to_string(i) + " sys=0x1234\n" + call;
    std::string audio = render_u8(script);
    ASSERT_GT(audio.size(), 55u * 10800);
    const std::string general = "[general]\nTARGET_PREF=9999\n";
    run_result_t untuned = decode(general + "[rs232]\nRADIO=0\n", audio);
    ASSERT_EQ(untuned.status, 0);

    pty_t pty;
    pty.fill();
    run_result_t r = decode(general + "[rs232]\nRADIO=1\nDEVICE=" + pty.slave + "\n", audio);
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(mask_times(r.out) == mask_times(untuned.out)) << "every line decoded";
    EXPECT_EQ(r.err, "marrowit: tuning receiver model 1 on serial port " + pty.slave +
                         " at 9600 bit/s (RADIO=0 in [rs232] turns tuning off)\n"
                         "marrowit: serial port " + pty.slave +
                         ": it takes no data (a command ran out of time); the receiver is not being "
                         "tuned\n");
}

// In-process: the skipped port comes back once it takes data again.
TEST(BadReceiver, NeverReadThenDrained)
{
    temp_dir_t dir;
    reset_decoder();
    pty_t pty;
    portdev = pty.slave;
    rx = 1;
    pty.fill();
    setfreq(421.25);  // runs out of time
    setfreq(421.25);  // skipped at once
    while (!pty.read_now().empty()) {
    }
    setfreq(425.0);
    EXPECT_EQ(pty.read_master(14), "RF0425000000\n\r");
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

size_t occurrences(const std::string& text, const std::string& what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        n++;
    return n;
}

// Rewrites a file in place until stopped, as a script that keeps it up to
// date does ("cat template > file"): truncated, empty for a moment, half
// written for another, whole for a few milliseconds, and again.
struct rewriter_t {
    std::atomic<bool> stop{false};
    std::atomic<long> rewrites{0};
    // Rewrites that left the file unfinished for longer than the program
    // waits for it (0.2 s): a loaded machine can hold the writer up that
    // long, and then the program rightly takes the file as it reads.
    std::atomic<long> stalls{0};
    std::thread worker;
    rewriter_t(const std::string& path, const std::string& text)
    {
        worker = std::thread([this, path, text] {
            auto pause = [] { std::this_thread::sleep_for(std::chrono::milliseconds(1)); };
            while (!stop) {
                auto begun = std::chrono::steady_clock::now();
                int fd = open(path.c_str(), O_WRONLY | O_TRUNC);
                if (fd < 0)
                    break;
                pause();
                size_t half = text.size() / 2;
                bool ok = write(fd, text.data(), half) == (ssize_t)half;
                pause();
                ok = ok && write(fd, text.data() + half, text.size() - half) ==
                               (ssize_t)(text.size() - half);
                close(fd);
                if (!ok)
                    break;
                if (std::chrono::steady_clock::now() - begun > std::chrono::milliseconds(150))
                    stalls++;
                rewrites++;
                pause();
                pause();
            }
        });
    }
    ~rewriter_t()
    {
        stop = true;
        worker.join();
    }
};

// The settings file rewritten in a loop while identities change: every read
// sees the whole file, never the defaults.  Comments first, so that a file
// caught half written lacks the system sections and the serial port.
TEST_F(BadInput, SettingsRewrittenWhileTheyAreRead)
{
#ifdef MARROWIT_EMULATOR
    GTEST_SKIP() << "the race with the writer needs the program at native speed, not emulated";
#endif
    std::string text = "[general]\nFILTER=0\n";
    for (int i = 0; i < 20; i++)
        text += "; a comment line that pads the file beyond one write of the C library\n";
    text += "[0x0001]\nNAME=First Site\nBEGINOFBAND=4300000\nCCHFREQUENCY=4300125\n"
            "[0x0002]\nNAME=Second Site\nBEGINOFBAND=4400000\nSTEP=250\n"
            "[rs232]\nRADIO=0\n";
    std::string script;
    const int pairs = 300;
    for (int i = 0; i < pairs; i++)
        script += "ccsc 0x0001\nmove chan=100\nccsc 0x0002\nmove chan=100\n";
    std::string audio = render_u8(script);
    write_file(dir.file("solvane.ini"), text);
    run_result_t r;
    long rewrites, stalls;
    {
        rewriter_t rewriter(dir.file("solvane.ini"), text);
        r = run_program(marrowit_path(), {"-q", "-"}, dir.path, audio);
        rewrites = rewriter.rewrites;
        stalls = rewriter.stalls;
    }
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_GT(rewrites, 10) << "the file changed again and again while it was read";
    // Each read the writer held up may have seen the defaults; no other.
    size_t defaults = occurrences(r.out, "Unregistered");
    EXPECT_LE(defaults, (size_t)stalls);
    size_t first = occurrences(r.out, "  SYS 0x0001  | First Site | CCh-Frequency: 430.0125 MHz\n");
    size_t second = occurrences(r.out, "  SYS 0x0002  | Second Site | CCh-Frequency: 420.0000 MHz\n");
    EXPECT_EQ(first + second + defaults, 2u * pairs);
    EXPECT_GE(first, pairs - defaults);
    EXPECT_GE(second, pairs - defaults);
    EXPECT_GE(occurrences(r.out, "Ch:100 Freq:431.2500 MHz\n"), pairs - defaults);
    EXPECT_GE(occurrences(r.out, "Ch:100 Freq:442.5000 MHz\n"), pairs - defaults);
}

// In-process, the same while the settings are read directly: every read
// names the configured receiver port, so no command could go elsewhere.
TEST(BadSettings, RewrittenFileNeverGivesTheDefaultPort)
{
#ifdef MARROWIT_EMULATOR
    GTEST_SKIP() << "the race with the writer needs the program at native speed, not emulated";
#endif
    temp_dir_t dir;
    in_dir_t here(dir.path);
    reset_decoder();
    std::string text = "[general]\nTARGET_PREF=9999\n";
    for (int i = 0; i < 20; i++)
        text += "; a comment line that pads the file beyond one write of the C library\n";
    text += "[0x0001]\nNAME=First Site\n[rs232]\nRADIO=2\nDEVICE=/dev/ttyUSB7\n";
    write_file(dir.file("solvane.ini"), text);
    rewriter_t rewriter(dir.file("solvane.ini"), text);
    // Read after read until the file has been rewritten forty times.
    for (int i = 0; rewriter.rewrites < 40; i++) {
        std::strcpy(sys, i % 2 ? "0x0001" : "0x0002");
        mpt1327_setup();
        ASSERT_EQ(portdev, "/dev/ttyUSB7") << "read " << i;
        ASSERT_EQ(rx, 2) << "read " << i;
        ASSERT_EQ(trg_pre, 9999) << "read " << i;
        ASSERT_STREQ(sysname, i % 2 ? "First Site" : "Unregistered") << "read " << i;
    }
    portdev.clear();
}

// Standard output, the console or --json -, that cannot be written: said
// once, status 1.  With
// SIGPIPE at its default a reader that goes away ends the program as it
// ends any filter.
TEST_F(BadInput, StandardOutputThatCannotBeWritten)
{
    write_file(dir.file("solvane.ini"), "[general]\nFILTER=5\n[rs232]\nRADIO=0\n");
    // Far more report lines than a pipe holds: the writer meets the reader's end.
    write_file(dir.file("in.raw"), render_u8("ccsc 0x1234\nrandom 3000 seed=5 sys=0x1234\n"));
    const std::string cannot = "marrowit: cannot write standard output: ";
    struct {
        const char* shell;
        int status;
        std::string err;
    } cases[] = {
        {"exec \"$0\" - <in.raw >/dev/full", 1, cannot + "No space left on device\n"},
        {"exec \"$0\" - <in.raw >&-", 1, cannot + "Bad file descriptor\n"},
        {"exec \"$0\" --help >&-", 1, cannot + "Bad file descriptor\n"},
        {"exec \"$0\" --json - - <in.raw >/dev/full", 1, cannot + "No space left on device\n"},
        {"trap '' PIPE; { \"$0\" --json - - <in.raw; echo $? >status; } | head -c 10 >/dev/null; "
         "exit $(cat status)",
         1, cannot + "Broken pipe\n"},
        {"trap '' PIPE; { \"$0\" - <in.raw; echo $? >status; } | head -c 10 >/dev/null; "
         "exit $(cat status)",
         1, cannot + "Broken pipe\n"},
        {"{ env --default-signal=PIPE \"$0\" - <in.raw; echo $? >status; } | head -c 10 >/dev/null; "
         "exit $(cat status)",
         128 + SIGPIPE, ""},
    };
    // The program as the shell runs it (through the emulator in a cross build).
    std::string program;
    for (const std::string& word : command_line(marrowit_path(), {}))
        program += (program.empty() ? "" : " ") + word;
    for (auto& c : cases) {
        SCOPED_TRACE(c.shell);
        std::string shell = c.shell;
        for (size_t at = shell.find("\"$0\""); at != std::string::npos; at = shell.find("\"$0\"", at))
            shell.replace(at, 4, program);
        run_result_t r = run_program("/bin/sh", {"-c", shell}, dir.path);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.err, c.err);
    }
}

// A run that decodes nothing says so, with the likely causes for its kind
// of input; -q keeps standard error empty.
TEST_F(BadInput, NothingDecodedIsSaid)
{
    write_file(dir.file("solvane.ini"), "[rs232]\nRADIO=0\n");
    const std::string silence(10800, (char)128);
    std::string wav = dir.file("call.wav");
    ASSERT_EQ(run_program(mptgen_path(), {"-t", "wav16", "-o", wav, "-"}, "", call).status, 0);
    const std::string nothing =
        " 0 sync words, 0 codewords passed, 0 failed, no system identity; nothing decoded: "
        "not an MPT 1327 control channel?";
    const std::string level =
        " a network using other synchronisation words (SYNC in the settings)? the level too low "
        "or clipped?\n";
    const std::string raw = " a WAV file sent as raw samples? the wrong --format or --rate?";
    struct {
        std::vector<std::string> args;
        std::string input, err;
    } cases[] = {
        {{"-"}, silence, "marrowit: 1.0 s of audio:" + nothing + raw + level},
        {{"-"}, read_file(wav), "marrowit: 0.5 s of audio:" + nothing + raw + level},
        {{"-q", "-"}, silence, ""},
        {{"--quiet", "-"}, read_file(wav), ""},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.args[0] + " " + std::to_string(c.input.size()) + " bytes");
        run_result_t r = run_program(marrowit_path(), c.args, dir.path, c.input);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, c.err);
    }
    // A recording: the causes that belong to raw samples are left out.
    std::string quiet_wav = dir.file("quiet.wav");
    ASSERT_EQ(run_program(mptgen_path(), {"-o", quiet_wav, "-e", "silence 1200"}, "").status, 0);
    run_result_t r = run_program(marrowit_path(), {"quiet.wav"}, dir.path);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err.substr(r.err.find(':', 10)), ":" + nothing + level);
    // IQ with the centre 500 kHz off: the control channel at 420 MHz lies in
    // the band, but what is there is not it; the causes name the tuning.
    if (!sdr_can_demodulate)
        return;
    ASSERT_EQ(run_program(mptgen_path(), {"-t", "cu8", "--center", "420250000", "-o", dir.file("c.cu8"), "-"}, "",
                          call).status, 0);
    r = run_program(marrowit_path(), {"--center", "420.75M", "iq:c.cu8"}, dir.path);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err.substr(r.err.find(':', 10)), ":" + nothing + " the wrong --center, --ppm or --rate, or "
                                                 "CCHFREQUENCY in the settings not the control channel?" + level);
}

// A terminal on standard input: the first end-of-file ends the input, even
// after a line without its line end.
TEST_F(BadInput, TerminalOnStandardInput)
{
    write_file(dir.file("solvane.ini"), "[rs232]\nRADIO=0\n");
    pty_t pty;
    pid_t pid = fork();
    if (pid == 0) {
        int in = open(pty.slave.c_str(), O_RDONLY | O_NOCTTY);
        int out = open(dir.file("out").c_str(), O_WRONLY | O_CREAT, 0600);
        if (in < 0 || out < 0 || chdir(dir.path.c_str()) != 0)
            _exit(126);
        dup2(in, 0);
        dup2(out, 1);
        dup2(out, 2);
        std::vector<std::string> cmd = command_line(marrowit_path(), {"-q", "-"});
        std::vector<char*> argv;
        for (std::string& word : cmd)
            argv.push_back(&word[0]);
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    ASSERT_EQ(write(pty.master, "abc\x04\x04", 5), 5);
    int status = 0;
    // A guard against hanging, not a measurement: it ends at once.
    for (int i = 0; i < 1000 && waitpid(pid, &status, WNOHANG) == 0; i++)
        usleep(10000);
    if (waitpid(pid, &status, WNOHANG) == 0) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        FAIL() << "still reading after the end-of-file";
    }
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(read_file(dir.file("out")), "");
}

}  // namespace
