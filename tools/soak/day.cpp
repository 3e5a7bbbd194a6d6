// marrowit-day: a day of a busy control channel with voice calls, as raw
// unsigned 8-bit samples at 10800 Hz on standard output, for the chart of
// a day (scripts/chart --day).
//
//   marrowit-day [--hours H] [--seed S] | marrowit --json day.jsonl -
//
// Every slot is a system codeword (SYS 0x1234) and an address codeword: a
// GTC when a call starts, the CLEAR of its channel when it ends, otherwise
// an aloha.  Calls arrive at random with an hourly rate that is low at night
// and peaks in the morning and the late afternoon; each lasts 3 to 60 s,
// goes to the lowest-numbered of 20 traffic channels that is free, and is
// for one of 30 groups, a few of which are far busier than the rest.
#include <cmath>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "mptgen.h"
#include "traffic.h"

int main(int argc, char** argv)
{
    tool_args_t args = parse_tool_args(argc, argv, "--hours", 24, "marrowit-day [--hours H] [--seed S]");
    std::mt19937_64 rng(args.seed);
    std::uniform_real_distribution<double> unit(0, 1);

    // Calls per hour, from midnight.
    static const double per_hour[24] = {12,  8,   6,   5,   8,   25,  80,  190, 260, 230, 200, 190,
                                        170, 180, 200, 230, 270, 240, 160, 110, 80,  50,  30,  18};
    const int channels = 20, groups = 30;
    const double slot_s = 128.0 / 1200;
    std::vector<double> busy_until(channels + 1, -1);  // channel 1..20: end of its call, -1 free
    std::vector<double> group_weight(groups);
    double total_weight = 0;
    for (int k = 0; k < groups; k++)
        total_weight += group_weight[k] = 1.0 / (k + 1);

    unsigned short ccsc[4];
    gen_system_codeword(ccsc, 0x1234, 0xC4D7);
    gen_audio_t opt;
    opt.snr_db = 25;
    opt.seed = args.seed;
    gen_stream_t g;
    gen_stream_begin(&g, opt);
    std::vector<float> audio;
    gen_bits_t bits;
    std::string error;

    long long slots = (long long)(args.count * 3600 / slot_s);
    for (long long s = 0; s < slots; s++) {
        double t = (double)s * slot_s;
        std::string msg = "aloha pfix=0 ident1=0";
        // A call that has ended is cleared first.
        for (int c = 1; c <= channels && msg[0] == 'a'; c++) {
            if (busy_until[c] >= 0 && busy_until[c] <= t) {
                msg = "clear chan=" + std::to_string(c) + " cont=1";
                busy_until[c] = -1;
            }
        }
        double rate = per_hour[(int)(t / 3600) % 24] / 3600;
        if (msg[0] == 'a' && unit(rng) < rate * slot_s) {
            std::vector<int> free;
            for (int c = 1; c <= channels; c++)
                if (busy_until[c] < 0)
                    free.push_back(c);
            if (!free.empty()) {
                int c = free[0];  // the system allocates the lowest free channel
                double pick = unit(rng) * total_weight;
                int group = 0;
                while (group + 1 < groups && (pick -= group_weight[group]) > 0)
                    group++;
                busy_until[c] = t + 3 + 57 * std::pow(unit(rng), 2.0);
                msg = "gtc pfix=7 ident1=" + std::to_string(200 + group) +
                      " ident2=" + std::to_string(1000 + rng() % 500) + " chan=" + std::to_string(c);
            }
        }
        unsigned short cw[4];
        if (gen_message(msg, cw, &error) != 0) {
            std::fprintf(stderr, "marrowit-day: %s\n", error.c_str());
            return 2;
        }
        gen_append_codeword(&bits, ccsc);
        gen_append_codeword(&bits, cw);
        if (bits.size() >= 128 * 1000 || s + 1 == slots) {
            audio.clear();
            gen_stream_bits(&g, bits, &audio);
            if (s + 1 == slots)
                gen_stream_end(&g, &audio);
            bits.clear();
            if (!gen_write_raw(audio, "u8", stdout, &error)) {
                std::fprintf(stderr, "marrowit-day: %s\n", error.c_str());
                return 1;
            }
        }
    }
    return std::fflush(stdout) == 0 ? 0 : 1;
}
