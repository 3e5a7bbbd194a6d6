// Decoding speed: the whole program on an hour of control channel through
// standard input, the per-sample step alone on the same hour (each with DC
// removal on, the default, and off: argument 1 and 0), and a
// general-purpose AFSK1200 demodulator (multimon-ng, when installed) on the
// same hour at its own input rate, for scale.
//
//   build/bench/marrowit_bench
//
// Counters: rt = times faster than real time; maxrss_kB = the child's peak
// resident memory; child_cpu_s = the child's processor time per run (user
// and system), steadier than the wall time on a busy machine.
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

void write_settings(bool dc_remove)
{
    std::FILE* f = std::fopen((work_dir() + "/solvane.ini").c_str(), "w");
    if (f) {
        std::fprintf(f, "[general]\nDCREMOVE=%d\n[rs232]\nRADIO=0\n", dc_remove ? 1 : 0);
        std::fclose(f);
    }
}

std::string temp_file(const char* name)
{
    return work_dir() + "/" + name;
}

long run(const std::vector<std::string>& argv, const std::string& input, const std::string& output);
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
// resident memory of the child in kB, or -1 if it failed.
long run(const std::vector<std::string>& argv, const std::string& input, const std::string& output)
{
    pid_t pid = fork();
    if (pid == 0) {
        int in = open(input.c_str(), O_RDONLY);
        int out = open(output.c_str(), O_WRONLY);
        dup2(in, 0);
        dup2(out, 1);
        dup2(out, 2);
        if (chdir(work_dir().c_str()) != 0)
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
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return -1;
    return ru.ru_maxrss;
}

void BM_WholeProgram(benchmark::State& state)
{
    const std::string& input = hour_u8_file();
    write_settings(state.range(0) != 0);
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
BENCHMARK(BM_WholeProgram)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2);

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
    write_settings(false);
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
BENCHMARK(BM_PerSampleStep)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2);

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

}  // namespace

BENCHMARK_MAIN();
