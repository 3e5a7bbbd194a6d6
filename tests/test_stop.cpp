// Stopping the real program with SIGTERM or SIGINT while it reads an input
// that has not ended (a pipe or a FIFO kept open, as from a running SDR
// program), and a --record folder that cannot take the recordings.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "harness.h"
#include "sdr/sdr.h"

namespace {

// A call that goes on past the end of what is sent: no CLEAR.
const char open_call[] =
    "ccsc 0x1234\n"
    "gtc pfix=12 ident1=345 ident2=678 chan=42\n"
    "preamble 3600\n";

// The data bytes of a recording whose RIFF and data sizes agree with its
// length (the recorder writes a 44-byte header), or -1.
long wav_data_bytes(const std::string& wav)
{
    auto le32 = [&](size_t at) {
        uint32_t v;
        std::memcpy(&v, &wav[at], 4);
        return (size_t)v;
    };
    return wav.size() >= 44 && le32(4) == wav.size() - 8 && le32(40) == wav.size() - 44
               ? (long)wav.size() - 44
               : -1;
}

// The one recording in a folder, or "".
std::string recording_in(const std::string& dir)
{
    std::vector<std::string> names = files_in(dir);
    return names.size() == 1 ? dir + "/" + names[0] : "";
}

// Open calls end as "stopped", the statistics come last, the summary is
// said, the status is 0 and the recording's header agrees with its length.
TEST(Stop, EveryInputStopsCleanlyAtASignal)
{
    temp_dir_t dir;
    write_file(dir.file("solvane.ini"), "[general]\nTARGET_PREF=9999\nCALLTIMEOUT=0\n[rs232]\nRADIO=0\n");
    const std::string audio = render_u8(open_call);
    std::string iq;
    if (sdr_can_demodulate)
        iq = run_program(mptgen_path(), {"-t", "cu8", "--center", "420250000", "-"}, "", open_call).out;
    const struct {
        std::string input;  // read from the FIFO as standard input, or by name
        int signal;
    } cases[] = {{"-", SIGTERM}, {"-", SIGINT}, {"iq:-", SIGTERM}, {"iq:in.fifo", SIGINT}};
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.input << " signal " << c.signal);
        const bool is_iq = c.input != "-";
        if (is_iq && !sdr_can_demodulate)
            continue;
        ASSERT_EQ(std::system(("cd '" + dir.path + "' && rm -rf in.fifo events.json calls").c_str()), 0);
        ASSERT_EQ(mkfifo(dir.file("in.fifo").c_str(), 0600), 0);
        std::vector<std::string> args = {"--json", "events.json"};
        if (is_iq)
            args.insert(args.end(), {"--center", "420250000", "--record", "calls"});
        args.push_back(c.input);
        // Through the build's emulator in a cross build.
        std::vector<std::string> sh = {"-c", c.input == "iq:in.fifo" ? "exec \"$@\" </dev/null" : "exec \"$@\" <in.fifo", "sh"};
        for (const std::string& word : command_line(marrowit_path(), args))
            sh.push_back(word);
        const std::string& bytes = is_iq ? iq : audio;
        run_result_t r = run_program_meanwhile("/bin/sh", sh, dir.path, [&](int pid) {
            int fd = open(dir.file("in.fifo").c_str(), O_WRONLY);
            for (size_t at = 0, w; fd >= 0 && at < bytes.size(); at += w)
                if ((ssize_t)(w = write(fd, bytes.data() + at, bytes.size() - at)) <= 0)
                    break;
            // Everything sent is decoded (the call and, recording, a second
            // of it) while the FIFO stays open: then the signal.
            for (int i = 0; i < 6000; i++) {
                if (read_file(dir.file("events.json")).find("\"call_start\"") != std::string::npos &&
                    (!is_iq || read_file(recording_in(dir.file("calls"))).size() > 44 + 2 * 16000))
                    break;
                usleep(10000);
            }
            kill(pid, c.signal);
            usleep(200000);  // reads stop at the signal, not at the end of the input
            close(fd);
        });
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.err.find("1 system (0x1234)"), std::string::npos) << "the summary: " << r.err;
        std::string events = read_file(dir.file("events.json"));
        EXPECT_NE(events.find("\"type\":\"call_end\""), std::string::npos) << events;
        EXPECT_NE(events.find("\"ended\":\"stopped\""), std::string::npos) << events;
        EXPECT_EQ(events.find("\"ended\":\"input_end\""), std::string::npos) << events;
        size_t stats = events.rfind("\"type\":\"stats\"");
        ASSERT_NE(stats, std::string::npos);
        EXPECT_EQ(events.find('\n', stats), events.size() - 1) << "the statistics come last";
        if (is_iq) {
            std::string wav = recording_in(dir.file("calls"));
            EXPECT_GT(wav_data_bytes(read_file(wav)), 2 * 16000) << wav;
            EXPECT_NE(events.find(wav.substr(dir.path.size() + 1)), std::string::npos);
        }
    }
}

// --record is checked at the start: missing parents are made; a folder that
// cannot be one ends the program with status 255 and a message.  A disk
// that fills up cuts a recording short, said once with the file's name, and
// leaves its header matching what reached the disk.
TEST(Stop, RecordFolderCheckedAndFullDiskSaid)
{
    if (!sdr_can_demodulate)
        GTEST_SKIP() << "no IQ input in this build";
    temp_dir_t dir;
    write_file(dir.file("solvane.ini"), "[general]\nTARGET_PREF=9999\n[rs232]\nRADIO=0\n");
    write_file(dir.file("a file"), "");
    run_result_t g = run_program(mptgen_path(), {"-t", "cu8", "--center", "420250000", "-o",
                                                 dir.file("site.cu8"), "-"}, "", open_call);
    ASSERT_EQ(g.status, 0) << g.err;
    auto record = [&](const std::string& folder) {
        return run_program(marrowit_path(), {"-q", "--center", "420250000", "--record", folder, "iq:site.cu8"},
                           dir.path);
    };
    for (const char* folder : {"a file", "a file/calls"}) {
        run_result_t r = record(folder);
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(r.err, "marrowit: cannot record calls into " + std::string(folder) + ": " + std::strerror(ENOTDIR) + "\n");
        EXPECT_EQ(r.out, "");
    }
    run_result_t made = record("new/and/deeper");
    EXPECT_EQ(made.status, 0);
    EXPECT_EQ(made.err, "");
    EXPECT_GT(wav_data_bytes(read_file(recording_in(dir.file("new/and/deeper")))), 2 * 16000);

    // A disk of 64 kB: two seconds of the call do not fit.
    ASSERT_EQ(mkdir(dir.file("small").c_str(), 0700), 0);
    if (geteuid() != 0 || std::system(("mount -t tmpfs -o size=64k tmpfs '" + dir.file("small") + "' 2>/dev/null").c_str()) != 0)
        GTEST_SKIP() << "a small disk needs a tmpfs mount (root)";
    run_result_t r = record("small");
    std::string wav = recording_in(dir.file("small"));
    std::string bytes = read_file(wav);
    std::system(("umount '" + dir.file("small") + "'").c_str());
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "marrowit: cannot write " + wav.substr(dir.path.size() + 1) + ": " + std::strerror(ENOSPC) +
                         "; the recording is cut short\n");
    EXPECT_GT(wav_data_bytes(bytes), 16000) << "what fitted, and a header saying so";
}

}  // namespace
