// marrowit-soak: a day of control channel through the real program in one
// process, to show that it keeps decoding, invents nothing and does not grow.
//
//   marrowit-soak [--hours H] [--seed S] [--marrowit PATH] [--set KEY=VALUE]...
//
// The generated channel is slots of a system codeword and a random address
// codeword of a reportable kind, in segments of about a minute with their
// own signal level (0.08 to 0.9 of full scale), noise (12 to 30 dB) and
// clock error (a random walk within +-600 ppm), with bursts of noise alone
// (1 to 31 s) between segments.  marrowit runs with FILTER 5 and BINARY 1, so every
// codeword it decodes shows its 64 bits; they are matched against what was
// sent.  Exit status 0 when every check holds.
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "mptgen.h"
#include "traffic.h"

namespace {

long status_kb(pid_t pid, const char* field)
{
    std::ifstream f("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    size_t len = std::strlen(field);
    while (std::getline(f, line))
        if (line.compare(0, len, field) == 0 && line[len] == ':')
            return std::atol(line.c_str() + len + 1);
    return -1;
}

}  // namespace

int main(int argc, char** argv)
{
    tool_args_t args = parse_tool_args(argc, argv, "--hours", 24,
                                       "marrowit-soak [--hours H] [--seed S] [--marrowit PATH] "
                                       "[--set KEY=VALUE]...");
    double hours = args.count;
    std::uint64_t seed = args.seed;

    decoder_run_t run;
    if (run.start(args.marrowit, args.general) != 0) {
        std::perror("marrowit-soak: cannot start marrowit");
        return 2;
    }

    auto t0 = std::chrono::steady_clock::now();
    std::mt19937_64 rng(seed);
    unsigned short ccsc[4];
    gen_system_codeword(ccsc, 0x1234, 0xC4D7);
    std::vector<word64_t> sent;
    long long slots_sent = 0, noise_bits = 0;
    const long long total_bits = (long long)(hours * 3600 * 1200);
    long long bits_so_far = 0;
    long start_rss = -1, start_hwm = -1;

    gen_audio_t opt;
    opt.lead = 64;
    opt.tail = 64;
    gen_stream_t g;
    gen_stream_begin(&g, opt);
    std::vector<float> audio;
    double ppm = 0;
    auto emit = [&](const gen_bits_t& bits) {
        audio.clear();
        gen_stream_bits(&g, bits, &audio);
        run.write(gen_u8(audio));
    };

    while (bits_so_far < total_bits && !run.write_failed) {
        // A segment of about a minute with its own level, noise and clock.
        g.opt.level = 0.08 + 0.82 * (double)(rng() % 1000) / 1000;
        g.opt.snr_db = 12 + (double)(rng() % 19);
        ppm += (double)((int)(rng() % 201) - 100);
        if (ppm > 600 || ppm < -600)
            ppm = ppm > 0 ? 600 : -600;
        g.opt.ppm = ppm;
        gen_bits_t bits;
        int slots = 400 + (int)(rng() % 200);
        append_slots(rng, slots, ccsc, &bits, &sent);
        slots_sent += slots;
        emit(bits);
        bits_so_far += (long long)bits.size();

        // Then, one time in three, a burst of noise alone: no signal at all.
        if (rng() % 3 == 0) {
            gen_bits_t quiet((size_t)(1200 + rng() % 36000), GEN_SILENT);  // 1 to 31 s
            g.opt.snr_db = -6;
            emit(quiet);
            noise_bits += (long long)quiet.size();
            bits_so_far += (long long)quiet.size();
        }
        if (start_rss < 0 && bits_so_far >= 1200 * 600) {  // ten minutes in
            start_rss = status_kb(run.pid, "VmRSS");
            start_hwm = status_kb(run.pid, "VmHWM");
        }
    }
    audio.clear();
    gen_stream_end(&g, &audio);
    run.write(gen_u8(audio));
    long end_rss = status_kb(run.pid, "VmRSS"), end_hwm = status_kb(run.pid, "VmHWM");
    bool exited = run.finish();
    double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    match_t m = match_codewords(run.scanner.found, pack(ccsc), sent);

    bool grew = end_rss > start_rss + 64 || end_hwm > start_hwm + 64;
    std::printf("marrowit-soak: %.1f hours of control channel (seed %llu)\n", hours,
                (unsigned long long)seed);
    for (size_t at = 0, end; (end = args.general.find('\n', at)) != std::string::npos; at = end + 1)
        std::printf("  with %s\n", args.general.substr(at, end - at).c_str());
    std::printf("  system codewords sent %lld, decoded %lld (%.4f %%)\n", slots_sent, m.system_decoded,
                100.0 * (double)m.system_decoded / (double)slots_sent);
    std::printf("  address codewords sent %lld, decoded %lld (%.4f %%)\n", slots_sent,
                m.address_decoded, 100.0 * (double)m.address_decoded / (double)slots_sent);
    std::printf("  noise alone: %.1f minutes; false codewords: %lld\n", (double)noise_bits / 1200 / 60,
                m.false_codewords);
    std::printf("  memory at ten minutes: VmRSS %ld kB, VmHWM %ld kB\n", start_rss, start_hwm);
    std::printf("  memory at the end:     VmRSS %ld kB, VmHWM %ld kB%s\n", end_rss, end_hwm,
                grew ? "  (GREW)" : "");
    std::printf("  wall time %.1f s (generation and decoding), marrowit %s\n", wall,
                exited ? "exited normally" : "FAILED");
    return exited && !grew && m.false_codewords == 0 ? 0 : 1;
}
