// marrowit-sensitivity: the fraction of codewords decoded against the
// signal-to-noise ratio, for several sample clock errors, without and with
// error correction (CORRECT 0 and 1).
//
//   marrowit-sensitivity [--slots N] [--seed S] [--marrowit PATH] > table.dat
//
// For every point (0 to 20 dB in steps of 0.5 dB, so that the 50 % and
// 99 % points are read between close points), N control-channel slots (a system codeword and a random
// reportable address codeword) are rendered at 10800 Hz with white noise at
// that SNR, measured over the whole band of the recording (0 to 5400 Hz),
// and decoded by the real program once with each CORRECT setting.  The
// table has one row per SNR and one column per setting and clock error; the
// 50 % and 99 % points of each column, the same for the address codewords
// alone and for the system codewords alone, and the codewords reported that were never sent follow as comment
// lines.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "mptgen.h"
#include "traffic.h"

static const double ppms[] = {0, 1000, -1000};
static const int n_ppm = 3;
static const int n_modes = 2;  // CORRECT 0 and 1

// The SNR at which a column first reaches a fraction, interpolated.
static double crossing(const std::vector<double>& snr, const std::vector<double>& f, double level)
{
    for (size_t i = 1; i < f.size(); i++)
        if (f[i - 1] < level && f[i] >= level)
            return snr[i - 1] + (level - f[i - 1]) / (f[i] - f[i - 1]) * (snr[i] - snr[i - 1]);
    return f.empty() || f[0] < level ? 1e9 : snr[0];
}

int main(int argc, char** argv)
{
    tool_args_t args = parse_tool_args(argc, argv, "--slots", 1000,
                                       "marrowit-sensitivity [--slots N] [--seed S] [--marrowit PATH] "
                                       "[--set KEY=VALUE]...");
    int slots = (int)args.count;
    unsigned long long seed = args.seed;

    std::vector<double> snrs;
    for (double snr = 0; snr <= 20; snr += 0.5)
        snrs.push_back(snr);
    std::vector<std::vector<double>> fraction(n_modes * n_ppm), address(n_modes * n_ppm),
        system(n_modes * n_ppm);
    long long false_codewords[n_modes] = {0, 0}, differing[n_modes] = {0, 0};
    unsigned short ccsc[4];
    gen_system_codeword(ccsc, 0x1234, 0xC4D7);

    std::printf("# fraction of codewords decoded; SNR over 0-5400 Hz at 10800 samples/s\n");
    std::printf("# snr_db");
    for (int mode = 0; mode < n_modes; mode++)
        for (double ppm : ppms)
            std::printf("  c%d%+.0fppm", mode, ppm);
    std::printf("\n");
    for (double snr : snrs) {
        std::printf("%6.1f", snr);
        for (int mode = 0; mode < n_modes; mode++) {
            for (int p = 0; p < n_ppm; p++) {
                // The same audio for both settings.
                std::mt19937_64 rng(seed + (unsigned long long)(snr * 1000) + (unsigned long long)p);
                gen_bits_t bits;
                std::vector<word64_t> sent;
                append_slots(rng, slots, ccsc, &bits, &sent);
                gen_audio_t opt;
                opt.snr_db = snr;
                opt.ppm = ppms[p];
                opt.seed = rng();
                decoder_run_t run;
                if (run.start(args.marrowit, args.general + "CORRECT=" + std::to_string(mode) + "\n") != 0) {
                    std::perror("marrowit-sensitivity: cannot start marrowit");
                    return 2;
                }
                run.write(gen_u8(gen_render(bits, opt)));
                if (!run.finish()) {
                    std::fprintf(stderr, "marrowit-sensitivity: marrowit failed\n");
                    return 1;
                }
                match_t m = match_codewords(run.scanner.found, pack(ccsc), sent);
                double f = (double)(m.system_decoded + m.address_decoded) / (2.0 * slots);
                fraction[(size_t)(mode * n_ppm + p)].push_back(f);
                address[(size_t)(mode * n_ppm + p)].push_back((double)m.address_decoded / slots);
                system[(size_t)(mode * n_ppm + p)].push_back((double)m.system_decoded / slots);
                false_codewords[mode] += m.false_codewords;
                differing[mode] += m.differing;
                std::printf("  %7.4f", f);
            }
        }
        std::printf("\n");
        std::fflush(stdout);
    }
    for (int mode = 0; mode < n_modes; mode++)
        for (int p = 0; p < n_ppm; p++)
            std::printf("# CORRECT=%d %+.0f ppm: 50%% at %.1f dB, 99%% at %.1f dB\n", mode, ppms[p],
                        crossing(snrs, fraction[(size_t)(mode * n_ppm + p)], 0.5),
                        crossing(snrs, fraction[(size_t)(mode * n_ppm + p)], 0.99));
    for (int mode = 0; mode < n_modes; mode++)
        for (int p = 0; p < n_ppm; p++)
            std::printf("# address codewords alone, CORRECT=%d %+.0f ppm: 50%% at %.1f dB, 99%% at %.1f dB\n",
                        mode, ppms[p], crossing(snrs, address[(size_t)(mode * n_ppm + p)], 0.5),
                        crossing(snrs, address[(size_t)(mode * n_ppm + p)], 0.99));
    for (int mode = 0; mode < n_modes; mode++)
        for (int p = 0; p < n_ppm; p++)
            std::printf("# system codewords alone, CORRECT=%d %+.0f ppm: 50%% at %.1f dB, 99%% at %.1f dB\n",
                        mode, ppms[p], crossing(snrs, system[(size_t)(mode * n_ppm + p)], 0.5),
                        crossing(snrs, system[(size_t)(mode * n_ppm + p)], 0.99));
    for (int mode = 0; mode < n_modes; mode++)
        std::printf("# CORRECT=%d: codewords never sent %lld, of them decoded from another codeword %lld\n",
                    mode, false_codewords[mode], differing[mode]);
    return 0;
}
