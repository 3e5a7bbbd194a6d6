// marrowit-softsweep: the soft framing and decoder of DEMOD=1 alone, on the
// reliabilities an ideal coherent front end would give.
//
//   marrowit-softsweep [--from DB] [--to DB] [--step DB] [--slots N] [--seed S]
//                      [--slip P] [--noise SECONDS] [--threshold T] [--order K]
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
// was never sent.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <unordered_set>

#include "demod/soft.h"
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
        if (w != system_words[0] && w != system_words[1])
            wrong_system++;
    } else if (lead.count(w)) {
    } else if (sent.count(w)) {
        good++;
    } else {
        wrong_address++;
    }
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
    double from = -6, to = 3, step = 0.5, slip = 0, noise_s = 0;
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
        else if (a == "--noise-bits")
            soft_address_noise = v * M_LN2;
        else if (a == "--order")
            soft_order = (int)v;
        else {
            std::fprintf(stderr, "usage: marrowit-softsweep [--from DB] [--to DB] [--step DB] [--slots N] "
                                 "[--seed S] [--slip P] [--noise SECONDS] [--threshold T] [--order K]\n");
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
            double y = (b == GEN_SILENT ? 0.0 : b ? 1.0 : -1.0) + gauss(rng);
            soft_bit((float)(2 * y / (sigma * sigma)), &mpt1327_state);
            fed++;
        };
        for (unsigned char b : bits) {
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
