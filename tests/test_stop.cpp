// Stopping the real program with SIGTERM or SIGINT while it reads an input
// that has not ended (a pipe or a FIFO kept open, as from a running SDR
// program): it exits 0 with its summary, ends the open call as "stopped",
// writes the last statistics, and leaves every recording a WAV whose header
// agrees with the file's size.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>


#include "harness.h"
#include "sdr/sdr.h"

namespace {

// A call that goes on past the end of what is sent: no CLEAR.
const char open_call[] =
    "ccsc 0x1234\n"
    "gtc pfix=12 ident1=345 ident2=678 chan=42\n"
    "preamble 3600\n";

unsigned le32(const std::string& b, size_t at)
{
    return (unsigned)(unsigned char)b[at] | (unsigned)(unsigned char)b[at + 1] << 8 |
           (unsigned)(unsigned char)b[at + 2] << 16 | (unsigned)(unsigned char)b[at + 3] << 24;
}

// The RIFF and data chunk sizes of a WAV agree with its length; the number
// of data bytes, or -1.
long wav_data_bytes(const std::string& wav)
{
    if (wav.size() < 44 || wav.compare(0, 4, "RIFF") != 0 || wav.compare(8, 4, "WAVE") != 0)
        return -1;
    if (le32(wav, 4) != wav.size() - 8)
        return -1;
    for (size_t at = 12; at + 8 <= wav.size(); at += 8 + le32(wav, at + 4)) {
        if (wav.compare(at, 4, "data") == 0)
            return le32(wav, at + 4) == wav.size() - at - 8 ? (long)le32(wav, at + 4) : -1;
    }
    return -1;
}

off_t file_size(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

std::string only_file_in(const std::string& dir)
{
    std::string found;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d))
            if (e->d_name[0] != '.')
                found = dir + "/" + e->d_name;
        closedir(d);
    }
    return found;
}

TEST(Stop, EveryInputStopsCleanlyAtASignal)
{
    temp_dir_t dir;
    write_file(dir.file("solvane.ini"), "[general]\nTARGET_PREF=9999\nCALLTIMEOUT=0\n[rs232]\nRADIO=0\n");
    const std::string audio = render_u8(open_call);
    std::string iq;
    if (sdr_can_demodulate) {
        run_result_t g = run_program(mptgen_path(), {"-t", "cu8", "--center", "420250000", "-"}, "",
                                     open_call);
        ASSERT_EQ(g.status, 0) << g.err;
        iq = g.out;
    }
    struct {
        const char* input;  // read from the FIFO as standard input, or by name
        bool iq;
        int signal;
    } cases[] = {
        {"-", false, SIGTERM},
        {"-", false, SIGINT},
        {"iq:-", true, SIGTERM},
        {"iq:in.fifo", true, SIGINT},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.input << " signal " << c.signal);
        if (c.iq && !sdr_can_demodulate)
            continue;
        std::remove(dir.file("in.fifo").c_str());
        std::remove(dir.file("events.json").c_str());
        std::system(("rm -rf " + dir.file("calls")).c_str());
        ASSERT_EQ(mkfifo(dir.file("in.fifo").c_str(), 0600), 0);
        std::vector<std::string> args = {"--json", "events.json"};
        if (c.iq)
            args.insert(args.end(), {"--center", "420250000", "--record", "calls"});
        args.push_back(c.input);
        std::vector<std::string> sh = {"-c", std::string("exec \"$@\"") + (std::string(c.input) == "iq:in.fifo" ? " < /dev/null" : " < in.fifo"),
            "sh"};
        for (const std::string& w : command_line(marrowit_path(), args))
            sh.push_back(w);
        const std::string& bytes = c.iq ? iq : audio;
        run_result_t r = run_program_meanwhile("/bin/sh", sh, dir.path, [&](int pid) {
            int fd = open(dir.file("in.fifo").c_str(), O_WRONLY);
            for (size_t at = 0; fd >= 0 && at < bytes.size();) {
                ssize_t w = write(fd, bytes.data() + at, bytes.size() - at);
                if (w <= 0)
                    break;
                at += (size_t)w;
            }
            // Everything sent is decoded (the call and, recording, a second
            // of it) while the FIFO stays open: then the signal.
            for (int i = 0; i < 6000; i++) {
                std::string events = read_file(dir.file("events.json"));
                std::string wav = c.iq ? only_file_in(dir.file("calls")) : "";
                if (events.find("\"call_start\"") != std::string::npos &&
                    (!c.iq || file_size(wav) > 44 + 2 * 16000))
                    break;
                usleep(10000);
            }
            kill(pid, c.signal);
            if (fd >= 0) {
                // Reads stop at the signal, not at the end of the input.
                usleep(200000);
                close(fd);
            }
        });
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.err.find("marrowit: "), std::string::npos) << "the summary";
        EXPECT_NE(r.err.find("1 system (0x1234)"), std::string::npos) << r.err;
        std::string events = read_file(dir.file("events.json"));
        EXPECT_NE(events.find("\"type\":\"call_end\""), std::string::npos) << events;
        EXPECT_NE(events.find("\"ended\":\"stopped\""), std::string::npos) << events;
        EXPECT_EQ(events.find("\"ended\":\"input_end\""), std::string::npos) << events;
        size_t stats = events.rfind("\"type\":\"stats\"");
        EXPECT_NE(stats, std::string::npos);
        EXPECT_EQ(events.find('\n', stats), events.size() - 1) << "the statistics come last";
        if (c.iq) {
            std::string wav = only_file_in(dir.file("calls"));
            ASSERT_NE(wav, "");
            std::string bytes_written = read_file(wav);
            long data = wav_data_bytes(bytes_written);
            EXPECT_GT(data, 2 * 16000) << wav;
            EXPECT_EQ(data % 2, 0);
            EXPECT_NE(events.find(wav.substr(dir.path.size() + 1)), std::string::npos);
        }
    }
}

}  // namespace

namespace {

// The real program on a recording of one call with standard output going
// where it cannot be written: /dev/full, or a pipe whose reader is gone
// while SIGPIPE is ignored (as under some service managers).
run_result_t run_with_stdout(const std::string& dir, const std::vector<std::string>& args,
                             bool closed_pipe)
{
    int p[2] = {-1, -1};
    if (closed_pipe) {
        EXPECT_EQ(pipe(p), 0);
        close(p[0]);
    }
    pid_t pid = fork();
    if (pid == 0) {
        int in = open((dir + "/in.u8").c_str(), O_RDONLY);
        int out = closed_pipe ? p[1] : open("/dev/full", O_WRONLY);
        int err = open((dir + "/err.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        signal(SIGPIPE, SIG_IGN);
        exec_child(dir, command_line(marrowit_path(), args));
    }
    if (closed_pipe)
        close(p[1]);
    int status = 0;
    waitpid(pid, &status, 0);
    run_result_t r;
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    r.err = read_file(dir + "/err.txt");
    return r;
}

TEST(Stop, StandardOutputThatCannotBeWrittenEndsTheProgram)
{
    temp_dir_t dir;
    write_file(dir.file("solvane.ini"), "[rs232]\nRADIO=0\n");
    write_file(dir.file("in.u8"), render_u8(open_call));
    struct {
        std::vector<std::string> args;
        bool closed_pipe;
        int err;
    } cases[] = {
        {{"-q", "-"}, false, ENOSPC},  // the console, as before
        {{"-q", "--json", "-", "-"}, false, ENOSPC},
        {{"-q", "-"}, true, EPIPE},
        {{"-q", "--json", "-", "-"}, true, EPIPE},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.args[1] << (c.closed_pipe ? " to a closed pipe" : " to /dev/full"));
        run_result_t r = run_with_stdout(dir.path, c.args, c.closed_pipe);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, std::string("marrowit: cannot write standard output: ") + std::strerror(c.err) + "\n");
    }
}

}  // namespace

namespace {

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
    struct {
        std::string folder;
        int status;
        std::string err;
    } cases[] = {
        {"new/and/deeper", 0, ""},
        {"a file", 255, "marrowit: cannot record calls into a file: " + std::string(std::strerror(ENOTDIR)) + "\n"},
        {"a file/calls", 255,
         "marrowit: cannot record calls into a file/calls: " + std::string(std::strerror(ENOTDIR)) + "\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.folder);
        run_result_t r = run_program(marrowit_path(), {"-q", "--center", "420250000", "--record", c.folder, "iq:site.cu8"},
                                     dir.path);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.err, c.err);
        if (c.status == 0) {
            std::string wav = only_file_in(dir.file(c.folder));
            EXPECT_GT(wav_data_bytes(read_file(wav)), 2 * 16000) << wav;
        } else {
            EXPECT_EQ(r.out, "");
        }
    }

    // A disk of 64 kB: two seconds of the call do not fit.
    ASSERT_EQ(mkdir(dir.file("small").c_str(), 0700), 0);
    if (geteuid() != 0 || std::system(("mount -t tmpfs -o size=64k tmpfs '" + dir.file("small") + "' 2>/dev/null").c_str()) != 0)
        GTEST_SKIP() << "a small disk needs a tmpfs mount (root)";
    run_result_t r = run_program(marrowit_path(), {"-q", "--center", "420250000", "--record", "small", "iq:site.cu8"},
                                 dir.path);
    std::string wav = only_file_in(dir.file("small"));
    std::string bytes = read_file(wav);
    std::system(("umount '" + dir.file("small") + "'").c_str());
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "marrowit: cannot write " + wav.substr(dir.path.size() + 1) + ": " + std::strerror(ENOSPC) +
                         "; the recording is cut short\n");
    EXPECT_GT(wav_data_bytes(bytes), 16000) << "what fitted, and a header saying so";
}

}  // namespace
