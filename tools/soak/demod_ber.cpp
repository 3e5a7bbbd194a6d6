// marrowit-demod-ber: how close the coherent front end of DEMOD=1 comes to
// the physical limit, measured three ways.
//
//   marrowit-demod-ber [--slots N] [--seed S] [--marrowit PATH] [--set KEY=VALUE]...
//
// 1. Raw bit errors of its hard decisions (the sign of each LLR) against the
//    SNR (white noise over 0-5400 Hz against the tone's sine power, as mptgen
//    --snr makes it), beside the coherent limit: each symbol errs with
//    Q(sqrt(2 Eb/N0)), Eb/N0 = SNR + 6.5 dB, and a bit with either of its two
//    symbols, about twice that.
// 2. The LLRs' scale: in bins of |llr| the share of wrong signs, beside what
//    an LLR of that size promises, 1 / (1 + e^|llr|), and the mean |llr|.
// 3. The real program with DEMOD=1 on N slots (a system codeword and a random
//    reportable address codeword each) per point, CORRECT 0 and 1, clock
//    errors 0 and +-1000 ppm: the fraction of address codewords and of
//    system codewords decoded, their 50 % and 99 % points, and the codewords
//    reported that were never sent.
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "demod/coherent.h"
#include "mptgen.h"
#include "traffic.h"

namespace {

std::vector<float> got;
void collect(float llr)
{
    got.push_back(llr);
}

double q_function(double x)
{
    return 0.5 * std::erfc(x / std::sqrt(2.0));
}

// The detected bits against those sent: the offset that matches best over
// a stretch after acquisition, then the count of disagreements.
struct compare_t {
    long long bits = 0, errors = 0;
    int offset = 0;
};

compare_t compare(const gen_bits_t& sent, const std::vector<float>& llr, int skip)
{
    compare_t r;
    int best = -1;
    for (int off = -40; off <= 40; off++) {
        int agree = 0;
        for (int i = skip; i < skip + 400; i++) {
            long long j = i + off;
            if (j < 0 || j >= (long long)llr.size() || (size_t)i >= sent.size())
                continue;
            agree += (llr[(size_t)j] > 0) == (sent[(size_t)i] == 1);
        }
        if (agree > best) {
            best = agree;
            r.offset = off;
        }
    }
    for (size_t i = (size_t)skip; i < sent.size(); i++) {
        long long j = (long long)i + r.offset;
        if (j < 0 || j >= (long long)llr.size())
            break;
        r.bits++;
        r.errors += (llr[(size_t)j] > 0) != (sent[i] == 1);
    }
    return r;
}

double crossing(const std::vector<double>& snr, const std::vector<double>& f, double level)
{
    for (size_t i = 1; i < f.size(); i++)
        if (f[i - 1] < level && f[i] >= level)
            return snr[i - 1] + (level - f[i - 1]) / (f[i] - f[i - 1]) * (snr[i] - snr[i - 1]);
    return f.empty() || f[0] < level ? 1e9 : snr[0];
}

}  // namespace

int main(int argc, char** argv)
{
    tool_args_t args = parse_tool_args(argc, argv, "--slots", 500,
                                       "marrowit-demod-ber [--slots N] [--seed S] [--marrowit PATH] "
                                       "[--set KEY=VALUE]...");
    const int slots = (int)args.count;
    const double ppms[] = {0, 1000, -1000};

    // ---- 1 and 2: the front end alone ----
    std::printf("# raw bit errors of the hard decisions, %d random bits a point\n", slots * 128);
    std::printf("# snr_db  ebn0_db  ppm     ber       symbol_limit  bit_limit  mean_abs_llr\n");
    const int n_bins = 8;
    const double edges[n_bins + 1] = {0, 0.5, 1, 2, 3, 4, 6, 8, 1e9};
    std::vector<long long> bin_n(2 * n_bins), bin_err(2 * n_bins);  // level 0.5, then 0.2
    std::vector<double> bin_promise(2 * n_bins);
    for (double snr = -4; snr <= 6; snr += 1) {
        for (double ppm : ppms) {
            std::mt19937_64 rng(args.seed + (unsigned long long)(snr * 100 + 1000) + (unsigned long long)ppm);
            gen_bits_t bits((size_t)slots * 128);
            for (auto& b : bits)
                b = (unsigned char)(rng() & 1);
            gen_audio_t opt;
            opt.snr_db = snr;
            opt.ppm = ppm;
            opt.seed = rng();
            opt.lead = 0;
            opt.tail = 8;
            std::vector<unsigned char> audio = gen_u8(gen_render(bits, opt));
            coherent_t c;
            coherent_init(&c, collect);
            got.clear();
            coherent_process_u8(&c, audio.data(), (int)audio.size());
            compare_t r = compare(bits, got, 200);
            double abs_sum = 0;
            for (size_t i = 200; i < got.size(); i++)
                abs_sum += std::fabs(got[i]);
            double ebn0 = snr + 10 * std::log10(4.5);
            double sym = q_function(std::sqrt(2 * std::pow(10, ebn0 / 10)));
            std::printf("%6.1f  %6.2f  %+5.0f  %.3e  %.3e     %.3e  %.2f\n", snr, ebn0, ppm,
                        r.bits ? (double)r.errors / (double)r.bits : 1.0, sym, 2 * sym * (1 - sym),
                        got.size() > 200 ? abs_sum / (double)(got.size() - 200) : 0.0);
            if (ppm == 0 && snr >= -2 && snr <= 2) {
                // At the generator's level 0.5 the noise is clipped at full
                // scale below about 0 dB; at 0.2 it is not.
                for (int quiet = 0; quiet < 2; quiet++) {
                    if (quiet) {
                        opt.level = 0.2;
                        audio = gen_u8(gen_render(bits, opt));
                        coherent_init(&c, collect);
                        got.clear();
                        coherent_process_u8(&c, audio.data(), (int)audio.size());
                        r = compare(bits, got, 200);
                    }
                    for (size_t i = 200; i < bits.size(); i++) {
                        long long j = (long long)i + r.offset;
                        if (j < 0 || j >= (long long)got.size())
                            break;
                        double a = std::fabs(got[(size_t)j]);
                        int k = 0;
                        while (k + 1 < n_bins && a >= edges[k + 1])
                            k++;
                        size_t at = (size_t)(quiet * n_bins + k);
                        bin_n[at]++;
                        bin_err[at] += (got[(size_t)j] > 0) != (bits[i] == 1);
                        bin_promise[at] += 1 / (1 + std::exp(a));
                    }
                }
            }
            std::fflush(stdout);
        }
    }
    for (int quiet = 0; quiet < 2; quiet++) {
        std::printf("# the LLRs' scale, -2 to +2 dB, no clock error, level %.1f: |llr| bin, bits, wrong, "
                    "promised\n", quiet ? 0.2 : 0.5);
        for (int k = 0; k < n_bins; k++) {
            size_t at = (size_t)(quiet * n_bins + k);
            std::printf("# |llr| %4.1f-%-4.1f  %8lld  %.4f  %.4f\n", edges[k], k + 1 < n_bins ? edges[k + 1] : 99.0,
                        bin_n[at], bin_n[at] ? (double)bin_err[at] / (double)bin_n[at] : 0,
                        bin_n[at] ? bin_promise[at] / (double)bin_n[at] : 0);
        }
    }

    // ---- 3: the real program ----
    std::printf("# the real program with DEMOD=1, %d slots a point: address codewords decoded, "
                "system codewords decoded\n# snr_db", slots);
    for (int mode = 0; mode < 2; mode++)
        for (double ppm : ppms)
            std::printf("  a%d%+.0f s%d%+.0f", mode, ppm, mode, ppm);
    std::printf("\n");
    std::vector<double> snrs;
    std::vector<std::vector<double>> address(6), system(6);
    long long never_sent[2] = {0, 0};
    unsigned short ccsc[4];
    gen_system_codeword(ccsc, 0x1234, 0xC4D7);
    for (double snr = -4; snr <= 4.01; snr += 0.5) {
        snrs.push_back(snr);
        std::printf("%6.1f", snr);
        for (int mode = 0; mode < 2; mode++) {
            for (int p = 0; p < 3; p++) {
                std::mt19937_64 rng(args.seed + (unsigned long long)(snr * 1000 + 10000) + (unsigned long long)p);
                gen_bits_t bits;
                std::vector<word64_t> sent;
                append_slots(rng, slots, ccsc, &bits, &sent);
                gen_audio_t opt;
                opt.snr_db = snr;
                opt.ppm = ppms[p];
                opt.seed = rng();
                decoder_run_t run;
                if (run.start(args.marrowit, args.general + "DEMOD=1\nCORRECT=" + std::to_string(mode) + "\n") != 0) {
                    std::perror("marrowit-demod-ber: cannot start marrowit");
                    return 2;
                }
                run.write(gen_u8(gen_render(bits, opt)));
                if (!run.finish()) {
                    std::fprintf(stderr, "marrowit-demod-ber: marrowit failed\n");
                    return 1;
                }
                match_t m = match_codewords(run.scanner.found, pack(ccsc), sent);
                address[(size_t)(mode * 3 + p)].push_back((double)m.address_decoded / slots);
                system[(size_t)(mode * 3 + p)].push_back((double)m.system_decoded / slots);
                never_sent[mode] += m.false_codewords;
                std::printf("  %.4f %.4f", (double)m.address_decoded / slots, (double)m.system_decoded / slots);
            }
        }
        std::printf("\n");
        std::fflush(stdout);
    }
    for (int mode = 0; mode < 2; mode++)
        for (int p = 0; p < 3; p++)
            std::printf("# CORRECT=%d %+.0f ppm: address codewords 50%% at %.1f dB, 99%% at %.1f dB; "
                        "system codewords 50%% at %.1f dB, 99%% at %.1f dB\n",
                        mode, ppms[p], crossing(snrs, address[(size_t)(mode * 3 + p)], 0.5),
                        crossing(snrs, address[(size_t)(mode * 3 + p)], 0.99),
                        crossing(snrs, system[(size_t)(mode * 3 + p)], 0.5),
                        crossing(snrs, system[(size_t)(mode * 3 + p)], 0.99));
    for (int mode = 0; mode < 2; mode++)
        std::printf("# CORRECT=%d: codewords reported that were never sent: %lld\n", mode, never_sent[mode]);
    return 0;
}
