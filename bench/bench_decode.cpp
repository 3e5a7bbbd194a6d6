// Decoding speed: the whole program on an hour of control channel through
// standard input (with the arguments DCREMOVE, CORRECT, DEMOD: 1,0,0 the
// defaults, 0,0,0, 1,1,0, and the coherent demodulator 1,0,1 and 1,1,1),
// the per-sample step alone on the same hour (DCREMOVE, CORRECT: 1,0, 0,0
// and 1,1), a general-purpose
// AFSK1200 demodulator (multimon-ng, when installed) on the same hour at its
// own input rate, for scale, a minute of calls followed to a receiver whose
// serial line is never read, and the control channel cut out of an SDR's IQ
// capture, alone and with four calls being recorded.
//
//   build/bench/marrowit_bench
//
// Counters: rt = times faster than real time; maxrss_kB = the child's peak
// resident memory; child_cpu_s = the child's processor time per run (user
// and system), steadier than the wall time on a busy machine.
//
// BM_Filter5, BM_Filter5Json and BM_Filter5Db: the whole program at report
// level 5 (a line for every codeword of the hour) without and with --json to
// a file or --db.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "audio/audio.h"
#include "corr.h"
#include "mpt1327/mpt1327.h"
#include "pty.h"
#include "sdr/hunt.h"

namespace {

const double hour_s = 3600;

// The benchmark's own directory: the audio files, and settings that tune
// no receiver (the defaults would command one on the first serial port).
const std::string& work_dir()
{
    static std::string dir = [] {
        const char* tmp = std::getenv("TMPDIR");
        std::string d = std::string(tmp ? tmp : "/tmp") + "/marrowit-bench";
        mkdir(d.c_str(), 0755);
        return d;
    }();
    return dir;
}

void write_settings(bool dc_remove, bool correct, int demod = 0)
{
    std::FILE* f = std::fopen((work_dir() + "/solvane.ini").c_str(), "w");
    if (f) {
        std::fprintf(f, "[general]\nDCREMOVE=%d\nCORRECT=%d\nDEMOD=%d\n[rs232]\nRADIO=0\n",
                     dc_remove ? 1 : 0, correct ? 1 : 0, demod);
        std::fclose(f);
    }
}

std::string temp_file(const char* name)
{
    return work_dir() + "/" + name;
}

long run(const std::vector<std::string>& argv, const std::string& input, const std::string& output,
         double* cpu = nullptr, const std::string& dir = "");
double child_cpu_s;  // of the last run

// One hour of control channel: slots of a system codeword and a random valid
// address codeword (1200 bit/s * 3600 s / 128 bits per slot), a little noise.
// Made by the generator program, so that this process never holds the audio
// while it measures the memory of a child.
std::string hour_file(const char* name, const char* rate, const char* kind)
{
    std::string path = temp_file(name);
    run({MPTGEN_BIN, "-e", "random 33750 seed=1", "--snr", "20", "--lead", "0", "--tail", "0",
         "--rate", rate, "-t", kind, "-o", path},
        "/dev/null", "/dev/null");
    return path;
}

const std::string& hour_u8_file()
{
    static std::string path = hour_file("marrowit-bench-hour.u8", "10800", "u8");
    return path;
}

const std::string& hour_s16_22050_file()
{
    static std::string path = hour_file("marrowit-bench-hour-22050.s16", "22050", "s16");
    return path;
}

// Run a program with stdin from a file and stdout to another; the peak
// resident memory of the child in kB, or -1 if it failed.  With cpu, the
// child's processor time (user and system) in seconds is added to *cpu.
// The child runs in dir, by default the benchmark's directory.
long run(const std::vector<std::string>& argv, const std::string& input, const std::string& output,
         double* cpu, const std::string& dir)
{
    pid_t pid = fork();
    if (pid == 0) {
        int in = open(input.c_str(), O_RDONLY);
        int out = open(output.c_str(), O_WRONLY);
        dup2(in, 0);
        dup2(out, 1);
        dup2(out, 2);
        if (chdir(dir.empty() ? work_dir().c_str() : dir.c_str()) != 0)
            _exit(126);
        std::vector<char*> args;
        for (const std::string& a : argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    int status = 0;
    struct rusage ru;
    wait4(pid, &status, 0, &ru);
    child_cpu_s = (double)(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
                  (double)(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) * 1e-6;
    if (cpu)
        *cpu += child_cpu_s;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return -1;
    return ru.ru_maxrss;
}

void BM_WholeProgram(benchmark::State& state)
{
    const std::string& input = hour_u8_file();
    write_settings(state.range(0) != 0, state.range(1) != 0, state.range(2));
    long rss = 0;
    double cpu = 0;
    for (auto _ : state) {
        rss = run({MARROWIT_BIN, "-"}, input, "/dev/null");
        if (rss < 0)
            state.SkipWithError("marrowit failed");
        cpu += child_cpu_s;
    }
    state.counters["child_cpu_s"] = cpu / (double)state.iterations();
    state.counters["rt"] = benchmark::Counter(hour_s * (double)state.iterations(),
                                              benchmark::Counter::kIsRate);
    state.counters["maxrss_kB"] = (double)rss;
}
// The third argument is DEMOD: 1 the coherent demodulator (src/demod/).
BENCHMARK(BM_WholeProgram)->Args({1, 0, 0})->Args({0, 0, 0})->Args({1, 1, 0})->Args({1, 0, 1})->Args({1, 1, 1})->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2);

// FILTER 5 in a directory of its own, with or without JSON lines to a file
// or the call database.
void filter5(benchmark::State& state, const char* output)
{
    std::string dir = work_dir() + "/filter5";
    mkdir(dir.c_str(), 0755);
    std::FILE* f = std::fopen((dir + "/solvane.ini").c_str(), "w");
    if (f) {
        std::fputs("[general]\nFILTER=5\n[rs232]\nRADIO=0\n", f);
        std::fclose(f);
    }
    const std::string& input = hour_u8_file();
    std::string out = dir + "/events.jsonl";
    bool json = std::strstr(output, "--json") != nullptr;
    long lines = 0, rss = 0;
    double cpu = 0;
    for (auto _ : state) {
        for (const char* file : {"/events.jsonl", "/events.db", "/events.db-wal", "/events.db-shm"})
            std::remove((dir + file).c_str());
        std::vector<std::string> argv = {"sh", "-c", std::string("cd '") + dir + "' && exec " +
                                                         MARROWIT_BIN + output + " -"};
        rss = run(argv, input, "/dev/null");
        if (rss < 0)
            state.SkipWithError("marrowit failed");
        cpu += child_cpu_s;
    }
    if (json) {
        std::FILE* j = std::fopen(out.c_str(), "r");
        for (int c; j && (c = std::fgetc(j)) != EOF;)
            lines += c == '\n';
        if (j)
            std::fclose(j);
        state.counters["json_lines"] = (double)lines;
    }
    state.counters["child_cpu_s"] = cpu / (double)state.iterations();
    state.counters["maxrss_kB"] = (double)rss;
    state.counters["rt"] = benchmark::Counter(hour_s * (double)state.iterations(),
                                              benchmark::Counter::kIsRate);
}
void BM_Filter5(benchmark::State& state)
{
    filter5(state, "");
}
void BM_Filter5Json(benchmark::State& state)
{
    filter5(state, " --json events.jsonl");
}
// Every record of the hour into SQLite (--db), committed by its own thread.
void BM_Filter5Db(benchmark::State& state)
{
    filter5(state, " --db events.db");
}
BENCHMARK(BM_Filter5)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3);
BENCHMARK(BM_Filter5Json)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3);
BENCHMARK(BM_Filter5Db)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3);

void BM_PerSampleStep(benchmark::State& state)
{
    std::FILE* f = std::fopen(hour_u8_file().c_str(), "rb");
    std::vector<unsigned char> audio(10800 * 3600 + 10800);
    audio.resize(std::fread(audio.data(), 1, audio.size(), f));
    std::fclose(f);
    FILE* null = std::fopen("/dev/null", "w");
    console = null;
    char cwd[4096];
    if (!getcwd(cwd, sizeof cwd) || chdir(work_dir().c_str()) != 0) {
        state.SkipWithError("no work directory");
        return;
    }
    const comm_info_t info = {1200, 1800, 1200, 2};
    write_settings(false, state.range(1) != 0);
    mpt1327_setup();  // CORRECT from the settings, as at the program's start
    // The run loop's buffers of a tenth of a second, through DC removal as
    // audio_read applies it.
    const bool dc = state.range(0) != 0;
    const int numpts = 1080;
    std::vector<unsigned char> buffer(numpts);
    for (auto _ : state) {
        corr_t c;
        corr_init(&c, 10800, &info);
        dc_reset();
        for (size_t at = 0; at < audio.size(); at += numpts) {
            int n = (int)std::min(audio.size() - at, (size_t)numpts);
            std::memcpy(buffer.data(), audio.data() + at, (size_t)n);
            if (dc)
                dc_remove(buffer.data(), n);
            corr_process(&c, nullptr, buffer.data(), n);
        }
        benchmark::DoNotOptimize(mpt1327_state);
    }
    console = stdout;
    std::fclose(null);
    if (chdir(cwd) != 0)
        state.SkipWithError("cannot return to the directory");
    state.counters["rt"] = benchmark::Counter(hour_s * (double)state.iterations(),
                                              benchmark::Counter::kIsRate);
    state.SetItemsProcessed((int64_t)(state.iterations() * audio.size()));
}
BENCHMARK(BM_PerSampleStep)->Args({1, 0})->Args({0, 0})->Args({1, 1})->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2);

void BM_MultimonAfsk1200(benchmark::State& state)
{
    if (system("command -v multimon-ng >/dev/null 2>&1") != 0) {
        state.SkipWithError("multimon-ng not installed");
        return;
    }
    const std::string& input = hour_s16_22050_file();
    for (auto _ : state) {
        if (run({"multimon-ng", "-q", "-n", "-t", "raw", "-a", "AFSK1200", "-"}, input, "/dev/null") < 0)
            state.SkipWithError("multimon-ng failed");
    }
    state.counters["rt"] = benchmark::Counter(hour_s * (double)state.iterations(),
                                              benchmark::Counter::kIsRate);
}
BENCHMARK(BM_MultimonAfsk1200)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2);

// An SDR's capture, 2048000 IQ samples per second as unsigned 8-bit pairs:
// the control channel (aloha after aloha) alone, or with four calls
// going on all the time on traffic channels inside the band, each recorded.
// rt is real time over wall time; rt_cpu over the program's processor time
// (the figure that counts on a machine shared with other work).
const double iq_s = 20;

const std::string& iq_file(bool calls)
{
    static std::string files[2];
    std::string& path = files[calls];
    if (path.empty()) {
        path = temp_file(calls ? "marrowit-bench-calls.cu8" : "marrowit-bench-control.cu8");
        std::string script = "ccsc 0x1234\n";
        if (calls)
            for (int chan : {16, 40, 56, 72})
                script += "gtc pfix=1 ident1=" + std::to_string(chan) +
                          " ident2=9 chan=" + std::to_string(chan) + "\nccsc 0x1234\n";
        // Aloha after aloha: no allocation or clear-down to start or end a call.
        for (int slot = 0; slot < (int)(iq_s * 1200 / 128) - 8; slot++)
            script += "aloha pfix=1 ident1=2 wt=3 m=5 n=6\nccsc 0x1234\n";
        std::string script_path = temp_file("marrowit-bench-iq.txt");
        std::FILE* f = std::fopen(script_path.c_str(), "w");
        if (f) {
            std::fputs(script.c_str(), f);
            std::fclose(f);
        }
        run({MPTGEN_BIN, "-t", "cu8", "--snr", "30", "--center", "420250000", "-o", path,
             script_path},
            "/dev/null", "/dev/null");
    }
    return path;
}

// --all: three systems' control channels in the band, the first with the
// four calls above, the others at 420.1000 and 420.6000 MHz with ALOHAs.
const std::string& iq_all_file()
{
    static std::string path;
    if (path.empty()) {
        path = temp_file("marrowit-bench-all.cu8");
        const char* sites[2][2] = {{"0x2345", "420100000"}, {"0x3456", "420600000"}};
        std::vector<std::string> args = {MPTGEN_BIN, "-t", "cu8", "--snr", "30", "--center",
                                         "420250000", "-o", path};
        for (const auto& site : sites) {
            std::string sys = site[0];
            std::string script = "ccsc " + sys + "\n";
            for (int slot = 0; slot < (int)(iq_s * 1200 / 128) - 4; slot++)
                script += "aloha pfix=1 ident1=2 wt=3 m=5 n=6\nccsc " + sys + "\n";
            std::string script_path = temp_file(("marrowit-bench-site-" + sys + ".txt").c_str());
            std::FILE* f = std::fopen(script_path.c_str(), "w");
            if (f) {
                std::fputs(script.c_str(), f);
                std::fclose(f);
            }
            args.push_back("--site");
            args.push_back(std::string(site[1]) + ":" + script_path);
        }
        iq_file(true);  // writes the first site's script
        args.push_back(temp_file("marrowit-bench-iq.txt"));
        run(args, "/dev/null", "/dev/null");
    }
    return path;
}

void iq_benchmark(benchmark::State& state, bool calls, bool all = false)
{
    const std::string& input = all ? iq_all_file() : iq_file(calls);
    // Its own directory: settings that follow every call and tune no receiver.
    std::string dir = temp_file("iq");
    mkdir(dir.c_str(), 0755);
    std::FILE* f = std::fopen((dir + "/solvane.ini").c_str(), "w");
    if (f) {
        std::fputs("[general]\nTARGET_PREF=9999\n[rs232]\nRADIO=0\n", f);
        std::fclose(f);
    }
    double cpu = 0;
    long rss = 0;
    for (auto _ : state) {
        std::vector<std::string> argv = {MARROWIT_BIN, "--center", "420250000", "--record",
                                         "calls", "iq:" + input};
        if (all)
            argv.insert(argv.begin() + 1, "--all");
        rss = run(argv, "/dev/null", "/dev/null", &cpu, dir);
        if (rss < 0)
            state.SkipWithError("marrowit failed");
    }
    state.counters["rt"] = benchmark::Counter(iq_s * (double)state.iterations(),
                                              benchmark::Counter::kIsRate);
    state.counters["rt_cpu"] = iq_s * (double)state.iterations() / cpu;
    state.counters["maxrss_kB"] = (double)rss;
}

void BM_IqControlChannel(benchmark::State& state)
{
    iq_benchmark(state, false);
}
BENCHMARK(BM_IqControlChannel)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2);

void BM_IqControlAndFourCalls(benchmark::State& state)
{
    iq_benchmark(state, true);
}
BENCHMARK(BM_IqControlAndFourCalls)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2);

// --all on three control channels, four calls recorded: the goal is ten
// times real time on one core (rt_cpu).
void BM_IqAllThreeControlChannelsFourCalls(benchmark::State& state)
{
    iq_benchmark(state, true, true);
}
BENCHMARK(BM_IqAllThreeControlChannelsFourCalls)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2);

// Hunting: the band searcher alone on a 2.4 Msps band of noise, with HUNT
// so short that the channelizer surveys the band all the time: the cost of
// searching a band against real time, on one core.
void BM_IqHuntBand(benchmark::State& state)
{
    const double rate = 2400000;
    sdr_options.rate = rate;
    sdr_options.center = 420250000;
    std::vector<iq_sample_t> band((size_t)rate);
    unsigned seed = 1;
    for (iq_sample_t& v : band) {
        seed = seed * 1103515245u + 12345u;
        float re = (float)((seed >> 8) & 0xffff) / 65536.0f - 0.5f;
        seed = seed * 1103515245u + 12345u;
        v = iq_sample_t(re, (float)((seed >> 8) & 0xffff) / 65536.0f - 0.5f);
    }
    hunt = 1e-6;
    channel_plan_t plan;
    if (channel_plan(&plan, rate) != 0 || hunt_init(plan) != 0)
        state.SkipWithError("no channelizer");
    const int block = 24000;  // 10 ms, after the channel filters' history
    for (auto _ : state)
        for (size_t at = (size_t)plan.taps1; at + block <= band.size(); at += block) {
            bool held;
            benchmark::DoNotOptimize(hunt_process(band.data() + at, block, &held));
            const iq_sample_t* replayed;
            int n;
            while (hunt_replay(&replayed, &n))
                benchmark::DoNotOptimize(replayed);
        }
    hunt_close();
    hunt = 5;
    state.counters["rt"] = benchmark::Counter((double)state.iterations(), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_IqHuntBand)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2);

}  // namespace

// A minute of control channel with 110 followed calls (220 receiver
// commands) while the receiver's line is full and never read: one command
// runs out of time, the others are skipped.  The time is the whole run.
void BM_ReceiverThatNeverReads(benchmark::State& state)
{
    std::string dir = work_dir() + "/stuck";
    mkdir(dir.c_str(), 0755);
    std::string script;
    for (int i = 0; i < 110; i++)
        script += "random 3 seed=" + std::to_string(i) + " sys=0x1234\n"
                  "ccsc 0x1234\ngtc pfix=12 ident1=345 ident2=678 chan=42\n"
                  "ccsc 0x1234\nclear chan=42 cont=5\n";
    std::string script_path = dir + "/minute.txt", audio = dir + "/minute.u8";
    std::FILE* f = std::fopen(script_path.c_str(), "w");
    std::fputs(script.c_str(), f);
    std::fclose(f);
    run({MPTGEN_BIN, "-o", audio, script_path}, "/dev/null", "/dev/null");
    struct stat st;
    double seconds = stat(audio.c_str(), &st) == 0 ? (double)st.st_size / 10800 : 0;
    for (auto _ : state) {
        state.PauseTiming();
        pty_t pty;
        pty.fill();
        f = std::fopen((dir + "/solvane.ini").c_str(), "w");
        std::fprintf(f, "[general]\nTARGET_PREF=9999\n[rs232]\nRADIO=1\nDEVICE=%s\n",
                     pty.slave.c_str());
        std::fclose(f);
        state.ResumeTiming();
        if (run({MARROWIT_BIN, "-q", "-"}, audio, "/dev/null", nullptr, dir) < 0)
            state.SkipWithError("marrowit failed");
    }
    state.counters["rt"] = benchmark::Counter(seconds * (double)state.iterations(),
                                              benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ReceiverThatNeverReads)->Unit(benchmark::kSecond)->UseRealTime()->Iterations(3);

BENCHMARK_MAIN();
