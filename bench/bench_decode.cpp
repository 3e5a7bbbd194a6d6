// Decoding speed: the whole program on an hour of control channel through
// standard input, the per-sample step alone on the same hour, and a
// general-purpose AFSK1200 demodulator (multimon-ng, when installed) on the
// same hour at its own input rate, for scale.
//
//   build/bench/marrowit_bench
//
// The whole program and the per-sample step run twice, with CORRECT=0 and
// CORRECT=1 (the benchmark's argument).
//
// Counters: rt = times faster than real time; maxrss_kB = the child's peak
// resident memory; child_cpu_ms = the child's processor time per run.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "corr.h"
#include "mpt1327/mpt1327.h"

namespace {

const double hour_s = 3600;

// The benchmark's own directory: the audio files, and settings that tune
// no receiver (the defaults would command one on the first serial port);
// a directory inside it has the same settings with CORRECT=1.
const std::string& settings_dir(const std::string& d, const char* settings)
{
    mkdir(d.c_str(), 0755);
    std::FILE* f = std::fopen((d + "/solvane.ini").c_str(), "w");
    if (f) {
        std::fputs(settings, f);
        std::fclose(f);
    }
    return d;
}

const std::string& work_dir()
{
    static std::string dir = [] {
        const char* tmp = std::getenv("TMPDIR");
        return settings_dir(std::string(tmp ? tmp : "/tmp") + "/marrowit-bench", "[rs232]\nRADIO=0\n");
    }();
    return dir;
}

const std::string& decode_dir(int correct)
{
    static std::string dir = settings_dir(work_dir() + "/correct", "[general]\nCORRECT=1\n[rs232]\nRADIO=0\n");
    return correct ? dir : work_dir();
}

std::string temp_file(const char* name)
{
    return work_dir() + "/" + name;
}

long run(const std::vector<std::string>& argv, const std::string& input, const std::string& output,
         const std::string& dir = work_dir(), double* cpu_s = nullptr);

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
// resident memory of the child in kB, or -1 if it failed; *cpu_s gets the
// child's processor time (user and system), which other load on the
// machine does not stretch as it does the real time.
long run(const std::vector<std::string>& argv, const std::string& input, const std::string& output,
         const std::string& dir, double* cpu_s)
{
    pid_t pid = fork();
    if (pid == 0) {
        int in = open(input.c_str(), O_RDONLY);
        int out = open(output.c_str(), O_WRONLY);
        dup2(in, 0);
        dup2(out, 1);
        dup2(out, 2);
        if (chdir(dir.c_str()) != 0)
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
    if (cpu_s)
        *cpu_s = (double)(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
                 (double)(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return -1;
    return ru.ru_maxrss;
}

void BM_WholeProgram(benchmark::State& state)
{
    const std::string& input = hour_u8_file();
    long rss = 0;
    double cpu = 0;
    for (auto _ : state) {
        double cpu_s = 0;
        rss = run({MARROWIT_BIN, "-"}, input, "/dev/null", decode_dir((int)state.range(0)), &cpu_s);
        if (rss < 0)
            state.SkipWithError("marrowit failed");
        cpu += cpu_s;
    }
    state.counters["child_cpu_ms"] = 1000 * cpu / (double)state.iterations();
    state.counters["rt"] = benchmark::Counter(hour_s * (double)state.iterations(),
                                              benchmark::Counter::kIsRate);
    state.counters["maxrss_kB"] = (double)rss;
}
BENCHMARK(BM_WholeProgram)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2);

void BM_PerSampleStep(benchmark::State& state)
{
    std::FILE* f = std::fopen(hour_u8_file().c_str(), "rb");
    std::vector<unsigned char> audio(10800 * 3600 + 10800);
    audio.resize(std::fread(audio.data(), 1, audio.size(), f));
    std::fclose(f);
    FILE* null = std::fopen("/dev/null", "w");
    console = null;
    char cwd[4096];
    if (!getcwd(cwd, sizeof cwd) || chdir(decode_dir((int)state.range(0)).c_str()) != 0) {
        state.SkipWithError("no work directory");
        return;
    }
    const comm_info_t info = {1200, 1800, 1200, 2};
    mpt1327_setup();  // CORRECT from the settings, as at the program's start
    for (auto _ : state) {
        corr_t c;
        corr_init(&c, 10800, &info);
        corr_process(&c, nullptr, audio.data(), (int)audio.size());
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
BENCHMARK(BM_PerSampleStep)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2);

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
