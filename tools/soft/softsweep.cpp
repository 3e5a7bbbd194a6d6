// marrowit-softsweep: the soft framing and decoder of DEMOD=1 alone, on the
// reliabilities an ideal coherent front end would give.
//
//   marrowit-softsweep [--from DB] [--to DB] [--step DB] [--slots N] [--seed S]
//                      [--slip P] [--noise SECONDS | --blank 1] [--garbage L] [--threshold T]
//                      [--order K] [--noise-bits B] [--raw N]
//
// For every SNR (white noise over 0-5400 Hz against the tone's sine power,
// as the sensitivity sweep measures it) N control-channel slots of random
// traffic (mptgen's "random") are sent as BPSK-equivalent bits: y = +-1 +
// N(0, sigma^2) with Eb/N0 = SNR + 6.5 dB, whose bit error rate is that of
// FFSK detected coherently, and llr = 2 y / sigma^2.  With --slip P each bit
// is dropped, or read twice, with probability P/2 each (the bit timing of a
// front end slipping).  Two clean slots come first, so the identity is known
// (a real channel gives one now and then).  Every codeword the framing
// routes is compared with those sent: address codewords decoded (of N), and
// codewords reported that were never sent (address, and system codewords
// other than the two of the system).
//
// With --noise S, S seconds (1200 bits a second) of pure noise follow the two
// clean slots at each SNR's sigma instead: every codeword reported there
// was never sent.  With --garbage L as well, the noise is random bits each
// as sure as an llr of L (a front end sure of what it made up).
//
// With --blank 1, every address codeword is left out and noise (or with
// --garbage L, sure-looking random bits) comes in its place between system
// codewords that frame and confirm it: every address codeword reported is
// one that was never sent.
//
// With --raw N, N address codewords alone at each SNR (no framing): how
// often the hard decisions are the codeword, how often Chase decoding (the
// hard two-error decoder on the patterns of the 6 least reliable bits) and
// the ordered statistics decoder choose it, how many the rule takes, and,
// from the margins, how many the rule's posterior probabilities expect to
// be wrong per million at thresholds 6 to 12.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <unordered_set>

#include "demod/soft.h"
#include "mpt1327/correct.h"
#include "mpt1327/fields.h"
#include "mpt1327/mpt1327.h"
#include "mptgen.h"

namespace {

std::unordered_set<std::uint64_t> sent, lead;
unsigned long long good, wrong_address, wrong_system;
std::uint64_t system_words[2];
bool counting;

std::uint64_t pack(const unsigned short cw[4])
{
    return (std::uint64_t)cw[0] << 48 | (std::uint64_t)cw[1] << 32 | (std::uint64_t)cw[2] << 16 | cw[3];
}

void watch(const unsigned short cw[4], double)
{
    if (!counting)
        return;
    std::uint64_t w = pack(cw);
    if (cw_bits(cw, 1, 1) == 0) {
        if (w != system_words[0] && w != system_words[1]) {
            wrong_system++;
            std::fprintf(stderr, "system codeword never sent: %016llx\n", (unsigned long long)w);
        }
    } else if (lead.count(w)) {
    } else if (sent.count(w)) {
        good++;
    } else {
        wrong_address++;
        std::fprintf(stderr, "address codeword never sent: %016llx\n", (unsigned long long)w);
    }
}

// Chase decoding, for comparison: the hard decoder of up to two errors
// (CORRECT=1's) on every pattern of the least reliable bits; the most
// likely codeword it finds.
std::uint64_t chase(const float llr[64], int bits)
{
    std::uint64_t hard = 0;
    int order[64];
    for (int i = 0; i < 64; i++) {
        hard = hard << 1 | (llr[i] > 0 ? 1u : 0u);
        order[i] = i;
    }
    std::sort(order, order + 64, [&](int a, int b) { return std::fabs(llr[a]) < std::fabs(llr[b]); });
    double best = INFINITY;
    std::uint64_t word = hard;
    for (unsigned p = 0; p < 1u << bits; p++) {
        std::uint64_t t = hard;
        for (int k = 0; k < bits; k++)
            if (p >> k & 1)
                t ^= 1ULL << (63 - order[k]);
        unsigned short cw[4] = {(unsigned short)(t >> 48), (unsigned short)(t >> 32), (unsigned short)(t >> 16),
                                (unsigned short)t};
        int e[2];
        int n = correct_pattern(cw, e);
        if (n < 0)
            continue;
        for (int k = 0; k < n; k++)
            t ^= 1ULL << (64 - e[k]);
        double cost = 0;
        for (std::uint64_t d = t ^ hard; d; d &= d - 1)
            cost += std::fabs(llr[63 - __builtin_ctzll(d)]);
        if (cost < best) {
            best = cost;
            word = t;
        }
    }
    return word;
}

// Codewords alone, no framing: how often each decoder's choice is the
// codeword sent, and what the rule takes.
void raw(double snr, unsigned long long n, unsigned long long seed)
{
    double ebn0 = std::pow(10.0, (snr + 6.5) / 10), sigma = std::sqrt(1 / (2 * ebn0));
    std::mt19937_64 rng(seed * 7919 + (unsigned long long)std::llround((snr + 100) * 10));
    std::normal_distribution<double> gauss(0, sigma);
    unsigned long long hard_ok = 0, osd_ok = 0, chase_ok = 0, taken = 0, wrong = 0, by_noise = 0, by_found = 0,
                       by_unseen = 0;
    double at_t[4] = {0, 0, 0, 0}, expected_t[4] = {0, 0, 0, 0};
    for (unsigned long long k = 0; k < n; k++) {
        std::uint64_t r = rng();
        unsigned short cw[4] = {(unsigned short)(r >> 48 | 0x8000), (unsigned short)(r >> 32), (unsigned short)(r >> 16),
                                0};
        gen_encode(cw);
        std::uint64_t sent_word = pack(cw);
        float llr[64];
        std::uint64_t hard = 0;
        for (int i = 0; i < 64; i++) {
            double y = ((sent_word >> (63 - i) & 1) ? 1.0 : -1.0) + gauss(rng);
            llr[i] = (float)(2 * y / (sigma * sigma));
            hard = hard << 1 | (llr[i] > 0 ? 1u : 0u);
        }
        hard_ok += hard == sent_word;
        soft_word_t w;
        soft_decode(llr, &w);
        osd_ok += w.word == sent_word;
        chase_ok += chase(llr, 6) == sent_word;
        double m = soft_margin(w.lambda, w.others, soft_address_noise);
        for (int t = 0; t < 4; t++)
            if (m >= 6 + 2 * t) {
                at_t[t]++;
                expected_t[t] += 1 / (1 + std::exp(m));
            }
        if (m >= soft_threshold) {
            taken++;
            wrong += w.word != sent_word;
        } else if (w.word == sent_word) {
            double unseen = std::log(std::exp(w.others - w.lambda) - std::exp(w.found - w.lambda)) + w.lambda;
            double top = std::max(std::max(w.found, unseen), soft_address_noise);
            by_noise += top == soft_address_noise;
            by_found += top == w.found;
            by_unseen += top == unseen;
        }
    }
    double f = 1.0 / (double)n;
    std::printf("%7.1f   %7.4f   %7.4f   %7.4f   %7.4f   %6llu   %7.4f %7.4f %7.4f\n", snr, hard_ok * f, chase_ok * f,
                osd_ok * f, (taken - wrong) * f, wrong, by_noise * f, by_found * f, by_unseen * f);
    for (int t = 0; t < 4; t++)
        std::printf("#   T=%d: taken %.4f, expected never sent per million %.3g\n", 6 + 2 * t, at_t[t] * f,
                    expected_t[t] * f * 1e6);
    std::fflush(stdout);
}

void reset()
{
    mpt1327_state = mpt1327_t{};
    currentsys = 0xffff;
    std::strcpy(sys, "0xffff");
    decode_counts = decode_counts_t{};
    soft_reset();
}

}  // namespace

int main(int argc, char** argv)
{
    double from = -6, to = 3, step = 0.5, slip = 0, noise_s = 0, raw_n = 0, garbage = 0, blank = 0;
    unsigned long long slots = 2000, seed = 1;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        if (i + 1 >= argc) {
            std::fprintf(stderr, "%s needs a value\n", a.c_str());
            return 2;
        }
        double v = std::atof(argv[++i]);
        if (a == "--from")
            from = v;
        else if (a == "--to")
            to = v;
        else if (a == "--step")
            step = v;
        else if (a == "--slots")
            slots = (unsigned long long)v;
        else if (a == "--seed")
            seed = (unsigned long long)v;
        else if (a == "--slip")
            slip = v;
        else if (a == "--noise")
            noise_s = v;
        else if (a == "--threshold")
            soft_threshold = v;
        else if (a == "--blank")
            blank = v;
        else if (a == "--garbage")
            garbage = v;
        else if (a == "--raw")
            raw_n = v;
        else if (a == "--noise-bits")
            soft_address_noise = v * SOFT_LN2;
        else if (a == "--order")
            soft_order = (int)v;
        else {
            std::fprintf(stderr, "usage: marrowit-softsweep [--from DB] [--to DB] [--step DB] [--slots N] "
                                 "[--seed S] [--slip P] [--noise SECONDS | --blank 1] [--garbage L] [--threshold T] [--order K] [--noise-bits B] "
                                 "[--raw N]\n");
            return 2;
        }
    }
    console_silence();
    soft_watch = watch;
    unsigned short sc[4];
    gen_system_codeword(sc, 0x1234, SYNC_CONTROL);
    system_words[0] = pack(sc);
    gen_system_codeword(sc, 0x1234, SYNC_DATA);
    system_words[1] = pack(sc);

    if (raw_n > 0) {
        std::printf("# codewords alone on ideal reliabilities, %g a point, threshold %g, order %d\n"
                    "# SNR dB   error-free   Chase(6)   OSD   taken   never sent   refused by: noise, found, unseen\n",
                    raw_n, soft_threshold, soft_order);
        for (double snr = from; snr <= to + 1e-9; snr += step)
            raw(snr, (unsigned long long)raw_n, seed);
        return 0;
    }
    std::printf("# soft framing and decoder on ideal reliabilities: %llu slots a point, slip %g, threshold %g, "
                "order %d%s\n",
                slots, slip, soft_threshold, soft_order, noise_s > 0 ? ", pure noise" : "");
    std::printf("# SNR dB   address decoded   address never sent   system never sent   bits\n");
    unsigned long long total_wrong = 0, total_slots = 0;
    for (double snr = from; snr <= to + 1e-9; snr += step) {
        std::string error;
        gen_bits_t lead_bits, bits;
        std::vector<unsigned short> words;
        std::vector<unsigned short> lead_words;
        gen_script("random 2 seed=99 sys=0x1234\n", &lead_bits, &lead_words, &error);
        if (noise_s <= 0) {
            gen_script("random " + std::to_string(slots) + " seed=" + std::to_string(seed) + " sys=0x1234\n", &bits,
                       &words, &error);
        } else {
            bits.assign((size_t)(noise_s * 1200), GEN_SILENT);
        }
        sent.clear();
        lead.clear();
        for (size_t i = 0; i + 3 < lead_words.size(); i += 4)
            lead.insert(pack(&lead_words[i]));
        for (size_t i = 0; i + 3 < words.size(); i += 4)
            if (words[i] & 0x8000)
                sent.insert(pack(&words[i]));
        reset();
        good = wrong_address = wrong_system = 0;
        counting = false;
        for (unsigned char b : lead_bits)
            soft_bit(b ? 30.0f : -30.0f, &mpt1327_state);
        counting = true;
        double ebn0 = std::pow(10.0, (snr + 6.5) / 10), sigma = std::sqrt(1 / (2 * ebn0));
        std::mt19937_64 rng(seed * 1000003 + (unsigned long long)std::llround((snr + 100) * 10));
        std::normal_distribution<double> gauss(0, sigma);
        std::uniform_real_distribution<double> uni(0, 1);
        unsigned long long fed = 0;
        auto feed = [&](unsigned char b) {
            if (garbage > 0 && b == GEN_SILENT) {  // sure-looking random bits
                soft_bit(uni(rng) < 0.5 ? (float)garbage : (float)-garbage, &mpt1327_state);
                fed++;
                return;
            }
            double y = (b == GEN_SILENT ? 0.0 : b ? 1.0 : -1.0) + gauss(rng);
            soft_bit((float)(2 * y / (sigma * sigma)), &mpt1327_state);
            fed++;
        };
        unsigned long long index = 0;
        for (unsigned char b : bits) {
            if (blank > 0 && index++ % 128 >= 64)
                b = GEN_SILENT;  // the address codeword not sent: noise in its place
            double u = slip > 0 ? uni(rng) : 1;
            if (u < slip / 2)
                continue;  // dropped
            feed(b);
            if (u < slip)
                feed(b);  // read twice
        }
        soft_end(&mpt1327_state);
        total_wrong += wrong_address + wrong_system;
        total_slots += noise_s > 0 ? 0 : slots;
        std::printf("%7.1f   %15.4f   %18llu   %17llu   %llu\n", snr,
                    noise_s > 0 ? 0.0 : (double)good / (double)slots, wrong_address, wrong_system, fed);
        std::fflush(stdout);
    }
    std::printf("# codewords never sent: %llu in %llu slots\n", total_wrong, total_slots);
    return total_wrong == 0 ? 0 : 1;
}
