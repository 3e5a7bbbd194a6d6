// Live capture through ALSA, without a sound card: ALSA's file plugin serves
// a capture stream from a file (or a FIFO) over a null slave, so the real
// capture code opens, configures and reads a PCM.  The plugin delivers as
// fast as it is read, and past the end of its input it keeps returning full
// reads without touching the caller's buffer, so a live program never ends
// by itself: these tests know how much output to expect and stop it.
//
// alsa-lib finds its configuration through ALSA_CONFIG_PATH, so the program
// runs as a child with that variable set; the in-process test sets it before
// its first ALSA call.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>

#include "audio/audio.h"
#include "harness.h"

namespace {

const int PERIOD = 1080;  // samples per read at 10800 Hz

// A capture PCM named `name` that reads raw unsigned 8-bit samples from infile.
std::string file_pcm(const std::string& name, const std::string& infile)
{
    return "pcm." + name + " { type file; slave.pcm { type null }; file \"/dev/null\"; infile \"" +
           infile + "\"; format \"raw\" }\n";
}

const char* SETTINGS =
    "[general]\nFILTER=9\nLOG=1\n"
    "[rs232]\nRADIO=0\n";  // no receiver commands

struct live_result_t {
    int status = -1;  // exit status, or 128 + signal when stopped
    std::string out, err;
};

double seconds_since(std::chrono::steady_clock::time_point t)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
}

// Run build/marrowit with ALSA_CONFIG_PATH=config in dir.  When fifo is
// given, feed it `feed` in whole periods as the program reads.  The program
// is stopped once `expect` bytes of console output have arrived and nothing
// more came for `settle` seconds, or after `limit` seconds.
live_result_t run_live(const std::vector<std::string>& args, const std::string& dir,
                       const std::string& config, size_t expect, const std::string& fifo = "",
                       const std::string& feed = "", double settle = 0.3, double limit = 30)
{
    int out[2], err[2];
    if (pipe(out) || pipe(err))
        throw std::runtime_error("pipe failed");
    pid_t pid = fork();
    if (pid == 0) {
        int null = open("/dev/null", O_RDONLY);
        dup2(null, 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        for (int fd : {null, out[0], out[1], err[0], err[1]})
            close(fd);
        setenv("ALSA_CONFIG_PATH", config.c_str(), 1);
        exec_child(dir, command_line(marrowit_path(), args));
    }
    close(out[1]);
    close(err[1]);
    signal(SIGPIPE, SIG_IGN);

    live_result_t r;
    int fifo_fd = -1;
    size_t fed = 0;
    bool feeding = !fifo.empty();
    bool out_open = true, err_open = true, stopped = false;
    auto start = std::chrono::steady_clock::now();
    auto last_output = start;
    while (out_open || err_open) {
        if (feeding && fifo_fd < 0) {
            // Opens once the program's capture plugin has opened its end.
            fifo_fd = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
        }
        bool done = r.out.size() >= expect && seconds_since(last_output) > settle;
        if (!stopped && (done || seconds_since(start) > limit)) {
            kill(pid, SIGKILL);
            stopped = true;
        }
        struct pollfd p[3];
        int n = 0;
        if (out_open)
            p[n++] = {out[0], POLLIN, 0};
        if (err_open)
            p[n++] = {err[0], POLLIN, 0};
        if (fifo_fd >= 0)
            p[n++] = {fifo_fd, POLLOUT, 0};
        if (poll(p, (nfds_t)n, 20) < 0 && errno != EINTR)
            break;
        for (int i = 0; i < n; i++) {
            if (!p[i].revents)
                continue;
            if (p[i].fd == fifo_fd) {
                // One period per write: a FIFO write of at most PIPE_BUF
                // bytes is never split, so every read of the plugin finds
                // whole periods.
                size_t chunk = std::min<size_t>(PERIOD, feed.size() - fed);
                ssize_t w = write(fifo_fd, feed.data() + fed, chunk);
                if (w > 0)
                    fed += (size_t)w;
                if ((w < 0 && errno != EAGAIN) || fed == feed.size()) {
                    close(fifo_fd);
                    fifo_fd = -1;
                    feeding = false;
                }
                continue;
            }
            char buf[65536];
            ssize_t got = read(p[i].fd, buf, sizeof buf);
            if (got <= 0) {
                close(p[i].fd);
                (p[i].fd == out[0] ? out_open : err_open) = false;
            } else {
                (p[i].fd == out[0] ? r.out : r.err).append(buf, (size_t)got);
                last_output = std::chrono::steady_clock::now();
            }
        }
    }
    if (fifo_fd >= 0)
        close(fifo_fd);
    int status = 0;
    waitpid(pid, &status, 0);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return r;
}

// The same audio decoded as raw samples on standard input: console and log.
struct reference_t {
    std::string console, log;
};

reference_t decode_piped(const std::string& audio)
{
    temp_dir_t dir;
    write_file(dir.file("solvane.ini"), SETTINGS);
    run_result_t r = run_program(marrowit_path(), {"-"}, dir.path, audio);
    EXPECT_EQ(r.status, 0) << r.err;
    return {mask_times(r.out), mask_times(read_file(dir.file("logfile.txt")))};
}

// Twenty seconds of control-channel traffic: two hundred periods, so ALSA's
// ten-period ring wraps many times.
std::string traffic(int tail_bits)
{
    gen_audio_t opt;
    opt.tail = tail_bits;
    return render_u8("ccsc 0x1234\n"
                     "random 180 seed=11 sys=0x1234\n"
                     "gtc pfix=12 ident1=345 ident2=678 chan=42\n",
                     opt);
}

}  // namespace

TEST(LiveAlsa, DecodesTheDefaultDeviceLikeARecording)
{
    // Ends 144 samples after the last codeword, inside a partly filled
    // period: the rest of that read is silence, not old samples.
    std::string audio = traffic(16);
    ASSERT_NE(audio.size() % PERIOD, 0u);
    ASSERT_GT(audio.size(), 100u * PERIOD);
    reference_t ref = decode_piped(audio);
    ASSERT_NE(ref.console.find("0x1234"), std::string::npos);
    ASSERT_GT(ref.log.size(), 1000u);

    temp_dir_t dir;
    write_file(dir.file("solvane.ini"), SETTINGS);
    write_file(dir.file("in.raw"), audio);
    write_file(dir.file("asound.conf"), file_pcm("default", dir.file("in.raw")));
    live_result_t r = run_live({}, dir.path, dir.file("asound.conf"), ref.console.size());
    EXPECT_EQ(r.status, 128 + SIGKILL);  // still listening when stopped
    EXPECT_EQ(mask_times(r.out), ref.console);
    EXPECT_EQ(mask_times(read_file(dir.file("logfile.txt"))), ref.log);
    EXPECT_EQ(r.err, "");
}

TEST(LiveAlsa, NamedDeviceFedThroughAFifoPeriodByPeriod)
{
    std::string audio = traffic(16);
    audio.resize((audio.size() + PERIOD - 1) / PERIOD * PERIOD, (char)128);
    reference_t ref = decode_piped(audio);

    temp_dir_t dir;
    write_file(dir.file("solvane.ini"), SETTINGS);
    ASSERT_EQ(mkfifo(dir.file("in.fifo").c_str(), 0600), 0);
    // No default device in this configuration: only the name given works.
    write_file(dir.file("asound.conf"), file_pcm("radio", dir.file("in.fifo")));
    live_result_t r = run_live({"--device", "radio"}, dir.path, dir.file("asound.conf"),
                               ref.console.size(), dir.file("in.fifo"), audio);
    EXPECT_EQ(r.status, 128 + SIGKILL);
    EXPECT_EQ(mask_times(r.out), ref.console);
    EXPECT_EQ(mask_times(read_file(dir.file("logfile.txt"))), ref.log);
    EXPECT_EQ(r.err, "");
}

TEST(LiveAlsa, FailuresEndTheProgramWithAMessage)
{
    temp_dir_t dir;
    write_file(dir.file("solvane.ini"), SETTINGS);
    write_file(dir.file("in.raw"), std::string(PERIOD, (char)128));

    // Each failure on standard error, a line of its own, naming the device.
    struct {
        std::vector<std::string> args;
        std::string conf, err;
    } cases[] = {
        // No default device, as on a machine without a sound card.  alsa-lib's
        // own complaints do not reach the screen.
        {{}, file_pcm("radio", dir.file("in.raw")),
         "marrowit: capture device 'default': No recording devices found\n"},
        {{"--device", "nosuch"}, file_pcm("radio", dir.file("in.raw")),
         std::string("marrowit: capture device 'nosuch': ") + std::strerror(ENOENT) + "\n"},
        // A device that records two channels only.
        {{"--device", "stereo"},
         file_pcm("inner", dir.file("in.raw")) +
             "pcm.stereo { type multi; slaves.a.pcm \"inner\"; slaves.a.channels 2; "
             "bindings.0 { slave a; channel 0 } bindings.1 { slave a; channel 1 } }\n",
         "marrowit: capture device 'stereo': cannot deliver unsigned 8-bit mono at 10800 Hz: "},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.err);
        write_file(dir.file("asound.conf"), c.conf);
        live_result_t r = run_live(c.args, dir.path, dir.file("asound.conf"), 0);
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err.compare(0, c.err.size(), c.err), 0) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        EXPECT_EQ(r.err.back(), '\n');
    }
    EXPECT_FALSE(std::ifstream(dir.file("logfile.txt")).good());  // settings never read
}

// In process: every read hands back the next period in capture order, the
// ring wraps, and a partly filled last period is completed with silence.
TEST(LiveAlsa, ReadsPeriodsInCaptureOrder)
{
    temp_dir_t dir;
    std::mt19937 rng(3);
    std::string input(25 * PERIOD + PERIOD / 2, '\0');
    for (char& c : input)
        c = (char)(rng() & 0xff);
    write_file(dir.file("in.raw"), input);
    write_file(dir.file("asound.conf"), file_pcm("ordered", dir.file("in.raw")));
    setenv("ALSA_CONFIG_PATH", dir.file("asound.conf").c_str(), 1);

    audio_setup_t setup = {0, 1, 10800, 0};
    ASSERT_EQ(live_init("ordered", &setup), 0);
    EXPECT_EQ(setup.buffer_bytes, PERIOD);
    ASSERT_EQ(live_read_begin(), 0);
    for (int k = 0; k < 27; k++) {
        unsigned char* data = nullptr;
        ASSERT_EQ(live_read(&data), PERIOD) << "read " << k;
        std::string want = input.substr(std::min(input.size(), (size_t)k * PERIOD), PERIOD);
        want.resize(PERIOD, (char)128);
        EXPECT_EQ(std::string((const char*)data, PERIOD), want) << "read " << k;
    }
    unsetenv("ALSA_CONFIG_PATH");
}
