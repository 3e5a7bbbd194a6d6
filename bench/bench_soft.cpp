// The soft framing and decoder of DEMOD=1 alone, on the reliabilities an
// ideal coherent front end gives (as marrowit-softsweep makes them).
//
//   build/bench/marrowit_soft_bench
//
// BM_SoftDecode/SNR: one address codeword decoded (ordered statistics, the
// rule's competitors); SNR in dB, +20 for a clean signal.
// BM_SoftFraming/SNR: a control channel's bits through soft_bit(), every
// codeword framed, decoded and routed (console silenced); the counter rt is
// how many times faster than real time (1200 bits a second) that runs.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "demod/soft.h"
#include "mpt1327/mpt1327.h"
#include "mptgen.h"

namespace {

std::vector<float> llrs(const gen_bits_t& bits, double snr, unsigned seed)
{
    double ebn0 = std::pow(10.0, (snr + 6.5) / 10), sigma = std::sqrt(1 / (2 * ebn0));
    std::mt19937_64 rng(seed);
    std::normal_distribution<double> gauss(0, sigma);
    std::vector<float> out;
    for (unsigned char b : bits)
        out.push_back((float)(2 * ((b ? 1.0 : -1.0) + gauss(rng)) / (sigma * sigma)));
    return out;
}

gen_bits_t traffic(int slots)
{
    gen_bits_t bits;
    std::vector<unsigned short> words;
    std::string error;
    gen_script("random " + std::to_string(slots) + " seed=5\n", &bits, &words, &error);
    return bits;
}

void BM_SoftDecode(benchmark::State& state)
{
    gen_bits_t bits = traffic(256);
    std::vector<float> l = llrs(bits, (double)state.range(0), 9);
    size_t k = 0;
    for (auto _ : state) {
        soft_word_t w;
        soft_decode(&l[(k % 256) * 128 + 64], &w);  // the address codeword of a slot
        benchmark::DoNotOptimize(w);
        k++;
    }
}
BENCHMARK(BM_SoftDecode)->Arg(-4)->Arg(-1)->Arg(2)->Arg(20);

void BM_SoftFraming(benchmark::State& state)
{
    static bool silenced = false;
    if (!silenced) {
        console_silence();
        silenced = true;
    }
    gen_bits_t bits = traffic(1000);
    std::vector<float> l = llrs(bits, (double)state.range(0), 3);
    for (auto _ : state) {
        mpt1327_state = mpt1327_t{};
        soft_reset();
        for (float x : l)
            soft_bit(x, &mpt1327_state);
        soft_end(&mpt1327_state);
    }
    state.counters["rt"] = benchmark::Counter((double)l.size() / 1200 * (double)state.iterations(),
                                              benchmark::Counter::kIsRate);
}
BENCHMARK(BM_SoftFraming)->Arg(-1)->Arg(20)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
