// marrowit-soak: a day of control channel through the real program in one
// process, to show that it keeps decoding, invents nothing and does not grow.
//
//   marrowit-soak [--hours H] [--seed S] [--marrowit PATH] [--set KEY=VALUE]...
//
// The generated channel is slots of a system codeword and a random address
// codeword of a reportable kind, in segments of about a minute with their
// own signal level (0.08 to 0.9 of full scale), noise (12 to 30 dB) and
// clock error (a random walk within +-600 ppm), with bursts of noise alone
// (1 to 31 s) between segments.  Two marrowit processes decode the same
// audio, one with CORRECT=0 and one with CORRECT=1, both with FILTER 5 and
// BINARY 1, so every codeword they decode shows its 64 bits; these are
// matched against what was sent.  Address codewords sent in segments of
// 20 dB SNR or more and not decoded are counted apart: there bit errors are
// all but absent, and a slot is lost to the framing (a false sync word), or,
// in the first or last slot of a segment, to the change of level or the
// noise next to it.
// With SOAK_LIST set in the environment, every address codeword lost on
// the segments of 20 dB and more is listed on stderr: its segment, its slot
// in the segment (from 0), and whether noise alone came before or after
// the segment.
// Exit status 0 when every check holds: no false codeword, no growth, and
// with CORRECT=1 no slot lost on the clean segments.
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

    const int modes = 2;  // CORRECT 0 and 1
    decoder_run_t run[modes];
    for (int mode = 0; mode < modes; mode++)
        if (run[mode].start(args.marrowit, args.general + "CORRECT=" + std::to_string(mode) + "\n") != 0) {
            std::perror("marrowit-soak: cannot start marrowit");
            return 2;
        }

    auto t0 = std::chrono::steady_clock::now();
    std::mt19937_64 rng(seed);
    unsigned short ccsc[4];
    gen_system_codeword(ccsc, 0x1234, 0xC4D7);
    std::vector<word64_t> sent;
    std::vector<char> clean;   // per address codeword sent: in a segment of 20 dB or more
    std::vector<char> edge;    // and the first or the last slot of its segment
    std::vector<int> seg_of;   // per address codeword sent: its segment
    std::vector<char> after_noise;  // per segment: it follows a burst of noise alone
    bool noise_before = false;
    long long slots_sent = 0, noise_bits = 0;
    const long long total_bits = (long long)(hours * 3600 * 1200);
    long long bits_so_far = 0;
    long start_rss[modes] = {-1, -1}, start_hwm[modes] = {-1, -1};

    gen_audio_t opt;
    opt.lead = 64;
    opt.tail = 64;
    gen_stream_t g;
    gen_stream_begin(&g, opt);
    std::vector<float> audio;
    double ppm = 0;
    auto write_all = [&]() {
        std::vector<unsigned char> samples = gen_u8(audio);
        for (decoder_run_t& r : run)
            r.write(samples);
    };
    auto emit = [&](const gen_bits_t& bits) {
        audio.clear();
        gen_stream_bits(&g, bits, &audio);
        write_all();
    };

    while (bits_so_far < total_bits && !run[0].write_failed && !run[1].write_failed) {
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
        edge.resize(sent.size(), 0);
        edge[clean.size()] = edge.back() = 1;
        clean.resize(sent.size(), g.opt.snr_db >= 20);
        seg_of.resize(sent.size(), (int)after_noise.size());
        after_noise.push_back(noise_before);
        noise_before = false;
        slots_sent += slots;
        emit(bits);
        bits_so_far += (long long)bits.size();

        // Then, one time in three, a burst of noise alone: no signal at all.
        if (rng() % 3 == 0) {
            gen_bits_t quiet((size_t)(1200 + rng() % 36000), GEN_SILENT);  // 1 to 31 s
            g.opt.snr_db = -6;
            emit(quiet);
            noise_bits += (long long)quiet.size();
            noise_before = true;
            bits_so_far += (long long)quiet.size();
        }
        if (start_rss[0] < 0 && bits_so_far >= 1200 * 600) {  // ten minutes in
            for (int mode = 0; mode < modes; mode++) {
                start_rss[mode] = status_kb(run[mode].pid, "VmRSS");
                start_hwm[mode] = status_kb(run[mode].pid, "VmHWM");
            }
        }
    }
    audio.clear();
    gen_stream_end(&g, &audio);
    write_all();

    long long clean_sent = 0;
    for (char c : clean)
        clean_sent += c;
    std::printf("marrowit-soak: %.1f hours of control channel (seed %llu), %.1f minutes of noise alone\n",
                hours, (unsigned long long)seed, (double)noise_bits / 1200 / 60);
    for (size_t at = 0, end; (end = args.general.find('\n', at)) != std::string::npos; at = end + 1)
        std::printf("  with %s\n", args.general.substr(at, end - at).c_str());
    std::printf("  slots sent %lld, of them %lld in segments of 20 dB and more\n", slots_sent, clean_sent);
    bool ok = true;
    for (int mode = 0; mode < modes; mode++) {
        long end_rss = status_kb(run[mode].pid, "VmRSS"), end_hwm = status_kb(run[mode].pid, "VmHWM");
        bool exited = run[mode].finish();
        match_t m = match_codewords(run[mode].scanner.found, pack(ccsc), sent);
        long long clean_lost = 0, edge_lost = 0;
        for (size_t k = 0; k < sent.size(); k++) {
            clean_lost += clean[k] && !m.decoded[k] && !edge[k];
            edge_lost += clean[k] && !m.decoded[k] && edge[k];
        }
        if (std::getenv("SOAK_LIST"))
            for (size_t k = 0; k < sent.size(); k++)
                if (clean[k] && !m.decoded[k]) {
                    size_t first = k;
                    while (first > 0 && seg_of[first - 1] == seg_of[k])
                        first--;
                    int seg = seg_of[k];
                    std::fprintf(stderr, "lost CORRECT=%d segment %d slot %zu%s%s\n", mode, seg, k - first,
                                 after_noise[(size_t)seg] ? " after-noise" : "",
                                 (size_t)seg + 1 < after_noise.size() && after_noise[(size_t)seg + 1] ? " before-noise" : "");
                }
        bool grew = end_rss > start_rss[mode] + 64 || end_hwm > start_hwm[mode] + 64;
        std::printf("CORRECT=%d:\n", mode);
        std::printf("  system codewords decoded %lld (%.4f %%)\n", m.system_decoded,
                    100.0 * (double)m.system_decoded / (double)slots_sent);
        std::printf("  address codewords decoded %lld (%.4f %%)\n", m.address_decoded,
                    100.0 * (double)m.address_decoded / (double)slots_sent);
        std::printf("  address codewords lost at 20 dB and more: %lld", clean_lost);
        if (clean_lost)
            std::printf(" (one slot in %.0f)", (double)clean_sent / (double)clean_lost);
        std::printf(", and %lld in the first or last slot of a segment\n", edge_lost);
        std::printf("  false codewords: %lld, of them decoded from another codeword sent: %lld\n",
                    m.false_codewords, m.differing);
        std::printf("  memory at ten minutes: VmRSS %ld kB, VmHWM %ld kB\n", start_rss[mode], start_hwm[mode]);
        std::printf("  memory at the end:     VmRSS %ld kB, VmHWM %ld kB%s\n", end_rss, end_hwm,
                    grew ? "  (GREW)" : "");
        std::printf("  marrowit %s\n", exited ? "exited normally" : "FAILED");
        ok = ok && exited && !grew && m.false_codewords == 0 && (mode == 0 || clean_lost == 0);
    }
    double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    std::printf("wall time %.1f s (generation and both decoders)\n", wall);
    return ok ? 0 : 1;
}
