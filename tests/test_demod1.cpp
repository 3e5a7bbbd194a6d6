// The coherent front end of DEMOD=1 (src/demod/coherent.cpp): the real
// program decoding what DEMOD=0 decodes on clean signals through clock
// errors, DC, level changes and tone tilt; bit timing through clock errors
// and sample slips; the LLRs' scale against the error rate they promise;
// and the DEMOD setting.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "demod/coherent.h"
#include "harness.h"
#include "sdr/sdr.h"

namespace {

const double PI = 3.141592653589793;

std::vector<float> llrs;
void collect(float llr)
{
    llrs.push_back(llr);
}

// The LLRs of the front end for samples; its state after them in fe.
coherent_t fe;
std::vector<float> front_end(const std::vector<unsigned char>& u)
{
    coherent_init(&fe, collect);
    llrs.clear();
    coherent_process_u8(&fe, u.data(), (int)u.size());
    return llrs;
}

gen_bits_t random_bits(size_t n, unsigned seed)
{
    std::mt19937 rng(seed);
    gen_bits_t b(n);
    for (auto& x : b)
        x = (unsigned char)(rng() & 1);
    return b;
}

// Hard decisions against the bits sent, at the offset that fits best after
// the first 64 bits: the disagreements from there on.
struct errors_t {
    long long bits = 0, wrong = 0;
    int offset = 0;  // the LLR of sent bit i is llr[i + offset]
};
errors_t count_errors(const gen_bits_t& sent, const std::vector<float>& llr, size_t skip = 64)
{
    int best = -1, offset = 0;
    for (int off = 0; off <= 64; off++) {
        int agree = 0;
        for (size_t i = skip; i < skip + 300 && i < sent.size(); i++) {
            long long j = (long long)i + off;
            if (j >= 0 && j < (long long)llr.size())
                agree += (llr[(size_t)j] > 0) == (sent[i] == 1);
        }
        if (agree > best) {
            best = agree;
            offset = off;
        }
    }
    errors_t e;
    e.offset = offset;
    for (size_t i = skip; i < sent.size(); i++) {
        long long j = (long long)i + offset;
        if (j < 0 || j >= (long long)llr.size())
            break;
        e.bits++;
        e.wrong += (llr[(size_t)j] > 0) != (sent[i] == 1);
    }
    return e;
}

// Receiver faults on float samples: a first-order tilt of the audio, 6 dB
// per octave down (de-emphasis, corner 300 Hz) or up (pre-emphasis), the
// level kept about the same at 1500 Hz.
std::vector<float> tilt(const std::vector<float>& x, int direction)
{
    std::vector<float> y(x.size());
    double state = 0, last = 0;
    const double a = std::exp(-2 * PI * 300 / 10800);
    for (size_t i = 0; i < x.size(); i++) {
        double v;
        if (direction < 0) {
            state = a * state + (1 - a) * x[i];
            v = state * 5.1;  // 1500 Hz is about 14 dB down
        } else {
            v = (x[i] - 0.9 * last) * 1.2;
            last = x[i];
        }
        y[i] = (float)std::max(-1.0, std::min(0.999, v));
    }
    return y;
}

std::string bytes(const std::vector<float>& x)
{
    std::vector<unsigned char> u = gen_u8(x);
    return std::string(u.begin(), u.end());
}

std::vector<float> render(const std::string& script, const gen_audio_t& opt)
{
    gen_bits_t bits;
    std::string error;
    EXPECT_EQ(gen_script(script, &bits, nullptr, &error), 0) << error;
    return gen_render(bits, opt);
}

// ---- the real program --------------------------------------------------

// The count of codewords passed in the summary line, or -1.
int codewords_passed(const std::string& err)
{
    size_t at = err.find(" codewords passed");
    if (at == std::string::npos)
        return -1;
    return std::stoi(err.substr(err.rfind(' ', at - 1) + 1, at));
}

run_result_t decode(const std::string& audio, const std::string& demod, const std::string& more = "")
{
    temp_dir_t dir;
    write_file(dir.file("solvane.ini"), "[general]\nFILTER=5\nDEMOD=" + demod + "\n" + more + "[rs232]\nRADIO=0\n");
    return run_program(marrowit_path(), {"-"}, dir.path, audio);
}

const char* calls_script =
    "ccsc 0x1234\naloha pfix=12\nccsc 0x1234\ngtc pfix=12 ident1=345 ident2=678 chan=42\n"
    "random 40 seed=5\n"
    "ccsc 0x1234\nclear chan=42\nccsc 0x1234\nack pfix=12 ident1=345 ident2=678\n"
    "random 40 seed=6\n";

// 0.1 and 1.8 in turn for 2 s each, moving from one to the other in 20 ms
// (25 dB, as a fade or a volume control can).
float level_at(size_t i)
{
    const size_t half = 21600, ramp = 216;
    size_t seg = i / half, into = i % half;
    double now = seg % 2 ? 0.1 : 1.8, before = seg % 2 ? 1.8 : 0.1;
    if (seg == 0 || into >= ramp)
        return (float)now;
    return (float)(before + (now - before) * (double)into / ramp);
}

TEST(Demod1, CleanSignalsDecodeAsTheCorrelatorDoes)
{
    struct {
        const char* name;
        double ppm, dc, level;
        int tilt;         // -1 down, +1 up, 0 none
        bool level_steps; // the level moves between 0.05 and 0.9 every 2 s, within 20 ms
        int skip;         // samples cut from the start (no preamble then)
        std::string script = calls_script;
        double snr = 1e9;
        std::uint64_t seed = 1;
        const char* zero_says = "";  // in DEMOD=0's summary
    } cases[] = {
        {"plain", 0, 0, 0.5, 0, false, 0},
        {"+1000 ppm", 1000, 0, 0.5, 0, false, 0},
        {"-1000 ppm", -1000, 0, 0.5, 0, false, 0},
        {"DC", 0, 0.2, 0.5, 0, false, 0},
        {"quiet", 300, 0, 0.03, 0, false, 0},
        {"loud", -300, 0, 0.99, 0, false, 0},
        {"clipped to a square", 200, 0, 8, 0, false, 0},
        {"de-emphasis", 0, 0, 0.5, -1, false, 0},
        {"pre-emphasis", 500, 0, 0.5, 1, false, 0},
        {"level steps", -700, 0, 0.5, 0, true, 0},
        {"starts in a codeword", 0, 0, 0.5, 0, false, 1111},
        {"starts at a slot", -1000, 0, 0.5, 0, false, 1},
        // scripts/demo's recording: the same signal, the same options.
        {"the demo recording", 120, 0, 0.5, 0, false, 0, read_file(std::string(SOURCE_DIR) + "/demo/session.mpt"),
         18, 7, "38 codewords passed, 0 failed"},
    };
    for (const auto& c : cases) {
        gen_audio_t opt;
        opt.ppm = c.ppm;
        opt.dc = c.dc;
        opt.level = c.level;
        opt.snr_db = c.snr;
        opt.seed = c.seed;
        if (c.skip)
            opt.lead = 0;
        std::vector<float> x = render(c.script, opt);
        x.erase(x.begin(), x.begin() + c.skip);
        if (c.tilt)
            x = tilt(x, c.tilt);
        if (c.level_steps)
            for (size_t i = 0; i < x.size(); i++)
                x[i] *= level_at(i);
        std::string audio = bytes(x);
        run_result_t zero = decode(audio, "0"), one = decode(audio, "1");
        EXPECT_EQ(zero.status, 0) << c.name;
        EXPECT_EQ(one.status, 0) << c.name;
        EXPECT_NE(zero.out.find("GTC"), std::string::npos) << c.name << "\n" << zero.out;
        EXPECT_NE(zero.err.find(c.zero_says), std::string::npos) << c.name << "\n" << zero.err;
        EXPECT_EQ(mask_times(one.out), mask_times(zero.out)) << c.name;
        EXPECT_EQ(one.err, zero.err) << c.name;
    }
}

TEST(Demod1, CleanSignalsNextToNoiseAlone)
{
    // A clean signal (25 dB) next to loud noise alone (-6 dB against the
    // signal before it), in both orders.
    //
    // Noise after the last address codeword: the last bit's second symbol
    // lies half in the noise, read with the clean signal's certainty; with
    // no slot after it the window is also read with that bit unknown, and
    // the codeword is taken as DEMOD=0 takes it (without that reading, 6 of
    // these 64 lost it).
    //
    // Noise before: a signal, 1 to 5 s of noise alone, and the signal again
    // at another level (0.08 to 0.9 both, as in the soak; every fourth 15 dB
    // below the noise).  When the signal comes back the front end still
    // holds the noise's level and lines, and restarts both from the
    // signal's first symbols: without that, DEMOD=1 lost a slot that
    // DEMOD=0 decodes in 16 of these 64, and with the level's restart alone
    // in 4 (all of them 15 dB below the noise).
    for (bool before : {false, true}) {
        for (unsigned seed = 1; seed <= 64; seed++) {
            std::mt19937_64 rng(seed);
            gen_audio_t opt;
            opt.snr_db = 25;
            opt.seed = seed;
            double level = 0.08 + 0.82 * (double)(rng() % 1000) / 1000;
            std::vector<float> x;
            if (before) {
                opt.level = level;
                x = render("random 20 seed=9\n", opt);
            }
            std::normal_distribution<double> noise(0, (before ? level : 0.5) / std::sqrt(2 * std::pow(10, -6 / 10.0)));
            std::vector<float> quiet((size_t)(before ? 10800 * (1 + rng() % 5) : 10800));
            for (float& q : quiet)
                q = (float)noise(rng);
            opt.level = before ? 0.08 + 0.82 * (double)(rng() % 1000) / 1000 : 0.5;
            if (before && seed % 4 == 0)
                opt.level = std::max(0.08, level / 4);  // 15 dB below the noise
            opt.lead = before ? 0 : opt.lead;
            opt.tail = before ? opt.tail : 0;
            std::vector<float> signal = render(calls_script, opt);
            // Against DEMOD=0 on the same signals without the noise (joined,
            // or with silence after): every codeword sent, none more.
            auto join = [&](const std::vector<float>& gap) {
                std::vector<float> y = x;
                y.insert(y.end(), before ? gap.begin() : signal.begin(), before ? gap.end() : signal.end());
                y.insert(y.end(), before ? signal.begin() : gap.begin(), before ? signal.end() : gap.end());
                return bytes(y);
            };
            run_result_t zero = decode(join(std::vector<float>(before ? 0 : quiet.size())), "0");
            run_result_t one = decode(join(quiet), "1");
            std::string where = "seed " + std::to_string(seed) + (before ? ", noise before" : "");
            EXPECT_EQ(mask_times(one.out), mask_times(zero.out)) << where;
            EXPECT_EQ(codewords_passed(one.err), codewords_passed(zero.err)) << where;
        }
    }
}

TEST(Demod1, GainsWhereTheCorrelatorLoses)
{
    // At 1 dB the correlator decodes next to nothing; DEMOD=1 nearly all.
    gen_audio_t opt;
    opt.snr_db = 1;
    opt.seed = 4;
    std::string audio = render_u8("random 200 seed=8\n", opt);
    run_result_t zero = decode(audio, "0"), one = decode(audio, "1");
    EXPECT_LT(codewords_passed(zero.err), 40) << zero.err;
    EXPECT_GE(codewords_passed(one.err), 390) << one.err;
}

TEST(Demod1, OtherValuesAreSaidAndTheCorrelatorUsed)
{
    std::string audio = render_u8(calls_script);
    run_result_t zero = decode(audio, "0");
    const struct {
        const char* value;
        const char* said;  // empty: nothing said
        int used;
    } cases[] = {
        {"0", "", 0},
        {"1", "", 1},
        {"2", "marrowit: solvane.ini: [general] DEMOD=2 is not 0 or 1; using 0\n", 0},
        {"-1", "marrowit: solvane.ini: [general] DEMOD=-1 is not 0 or 1; using 0\n", 0},
        {"coherent", "marrowit: solvane.ini: [general] DEMOD=coherent is not 0 or 1; using 0\n", 0},
        {"1.5", "marrowit: solvane.ini: [general] DEMOD=1.5 is not 0 or 1; using 1\n", 1},
    };
    // A signal on which the two differ, to tell which one ran.
    gen_audio_t weak;
    weak.snr_db = 2;
    std::string hard = render_u8("random 100 seed=2\n", weak);
    run_result_t hard_zero = decode(hard, "0"), hard_one = decode(hard, "1");
    ASSERT_NE(hard_zero.err, hard_one.err);
    for (const auto& c : cases) {
        run_result_t r = decode(audio, c.value), h = decode(hard, c.value);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(mask_times(r.out), mask_times(zero.out)) << c.value;
        EXPECT_EQ(r.err, c.said + zero.err) << c.value;
        EXPECT_EQ(h.err, c.said + (c.used ? hard_one.err : hard_zero.err)) << c.value;
    }
}

// IQ input gives DEMOD=1 the FM discriminator's samples unquantised and
// limited against clicks: on a clean capture it decodes what DEMOD=0
// decodes; near the FM threshold far more.
TEST(Demod1, IqInput)
{
    if (!sdr_can_demodulate)
        GTEST_SKIP() << "no IQ input in this build";
    temp_dir_t dir;
    const std::vector<std::string> args = {"--center", "420250000", "--rate", "1024000", "iq:c.cu8"};
    auto run = [&](int demod) {
        write_file(dir.file("solvane.ini"), "[general]\nFILTER=5\nHUNT=0\nDEMOD=" +
                                                std::to_string(demod) + "\n[rs232]\nRADIO=0\n");
        return run_program(marrowit_path(), args, dir.path);
    };
    for (double snr : {1e9, -14.0}) {
        gen_iq_t opt;
        opt.rate = 1024000;
        opt.snr_db = snr;
        opt.seed = 3;
        gen_bits_t bits;
        std::vector<gen_mark_t> marks;
        std::string error;
        ASSERT_EQ(gen_script("random 40 seed=4\n", &bits, nullptr, &error, &marks), 0) << error;
        std::FILE* f = std::fopen(dir.file("c.cu8").c_str(), "wb");
        ASSERT_TRUE(f);
        ASSERT_EQ(gen_iq_write(bits, marks, opt, "cu8", f, &error), 0) << error;
        std::fclose(f);
        run_result_t zero = run(0), one = run(1);
        EXPECT_EQ(zero.status, 0);
        EXPECT_EQ(one.status, 0);
        if (snr > 100) {
            EXPECT_NE(zero.err.find("80 codewords passed"), std::string::npos) << zero.err;
            EXPECT_EQ(mask_times(one.out), mask_times(zero.out));
            EXPECT_EQ(one.err, zero.err);
        } else {
            // Measured: 79 of 80 codewords at this SNR; 0 with DEMOD=0.
            EXPECT_LT(codewords_passed(zero.err), 20) << zero.err;
            EXPECT_GE(codewords_passed(one.err), 68) << one.err;
        }
    }
}

// ---- the front end in-process ---------------------------------------------

// A sample lost or repeated moves the carrier phase by 50 degrees at once,
// which the averaged lines follow within a few tens of bits: a few bits may
// be wrong there, but none is lost or gained.
TEST(Demod1, TimingThroughClockErrorsAndSampleSlips)
{
    gen_bits_t bits = random_bits(12000, 3);  // 10 s
    for (double ppm : {0.0, 1000.0, -1000.0, 1500.0}) {
        for (int slip : {0, 1, -1}) {
            gen_audio_t opt;
            opt.ppm = ppm;
            opt.snr_db = 12;
            opt.seed = 9;
            std::vector<unsigned char> u = gen_u8(gen_render(bits, opt));
            // A sample lost (slip 1) or repeated (-1) every 0.3 s: 30 of them.
            std::vector<unsigned char> s;
            for (size_t i = 0; i < u.size(); i++) {
                bool at = i % 3240 == 1000;
                if (slip == 1 && at)
                    continue;
                s.push_back(u[i]);
                if (slip == -1 && at)
                    s.push_back(u[i]);
            }
            errors_t e = count_errors(bits, front_end(s));
            EXPECT_GT(e.bits, 11800) << ppm << " ppm, slip " << slip << ": a bit lost or gained";
            EXPECT_LE(e.wrong, slip ? 60 : 0) << ppm << " ppm, slip " << slip;
        }
    }
}

TEST(Demod1, BitErrorsAtTheCoherentLimit)
{
    // Each symbol errs with Q(sqrt(2 Eb/N0)), a bit when one of its two
    // symbols does; Eb/N0 = SNR + 6.5 dB over 0-5400 Hz.
    gen_bits_t bits = random_bits(60000, 5);
    for (double snr : {-2.0, 0.0, 2.0}) {
        for (double ppm : {0.0, -1000.0}) {
            gen_audio_t opt;
            opt.snr_db = snr;
            opt.ppm = ppm;
            opt.seed = 21;
            errors_t e = count_errors(bits, front_end(gen_u8(gen_render(bits, opt))));
            double ebn0 = std::pow(10, (snr + 10 * std::log10(4.5)) / 10);
            double q = 0.5 * std::erfc(std::sqrt(ebn0));
            double limit = 2 * q * (1 - q), ber = (double)e.wrong / (double)e.bits;
            EXPECT_GT(e.bits, 59000) << snr;
            EXPECT_LT(ber, 1.3 * limit + 1e-4) << snr << " dB, " << ppm << " ppm";
            EXPECT_GT(ber, 0.7 * limit - 1e-4) << snr << " dB: better than the limit cannot be";
            // A steady signal never looks like one coming out of noise: its
            // LLRs' scale is never restarted from a few symbols by chance.
            EXPECT_EQ(fe.restarts, 0u) << snr << " dB, " << ppm << " ppm";
        }
    }
}

TEST(Demod1, ToneTiltIsBalanced)
{
    // A receiver's de-emphasis or pre-emphasis tilts signal and noise alike
    // by 6 dB per octave; balanced again, the bits come out as untilted.
    gen_bits_t bits = random_bits(60000, 13);
    for (int direction : {-1, 0, 1}) {
        gen_audio_t opt;
        opt.snr_db = 0;
        opt.level = 0.3;
        opt.seed = 8;
        std::vector<float> x = gen_render(bits, opt);
        if (direction)
            x = tilt(x, direction);
        errors_t e = count_errors(bits, front_end(gen_u8(x)));
        double q = 0.5 * std::erfc(std::sqrt(std::pow(10, 10 * std::log10(4.5) / 10)));
        EXPECT_GT(e.bits, 59000);
        EXPECT_LT((double)e.wrong / (double)e.bits, 1.5 * 2 * q) << "tilt " << direction;
        // 1800 Hz is 3.5 dB below 1200 Hz after de-emphasis: a gain of 1.5.
        if (direction < 0) {
            EXPECT_NEAR(fe.tilt, 0.2, 0.07);
        } else if (direction > 0) {
            EXPECT_LT(fe.tilt, -0.1);
        } else {
            EXPECT_NEAR(fe.tilt, 0, 0.05);
        }
    }
}

TEST(Demod1, LlrsMeanWhatTheySay)
{
    // In each bin of |llr| the share of wrong signs is about 1 / (1 + e^|llr|),
    // whatever the level; and the same SNR gives the same LLRs at any level.
    gen_bits_t bits = random_bits(100000, 7);
    const double edges[] = {0, 1, 2, 3, 4.5, 6.5};
    double mean_abs[3];
    int k = 0;
    for (double level : {0.5, 0.08, 0.6}) {
        gen_audio_t opt;
        opt.snr_db = level == 0.5 ? -1 : 8;  // unclipped: noise clipped at full scale looks smaller
        opt.level = level;
        opt.seed = 3;
        std::vector<float> l = front_end(gen_u8(gen_render(bits, opt)));
        ASSERT_GT(l.size(), 99000u);
        double sum = 0;
        for (size_t i = 64; i < l.size(); i++)
            sum += std::fabs(l[i]);
        mean_abs[k++] = sum / (double)(l.size() - 64);
        if (level != 0.5)
            continue;
        errors_t all = count_errors(bits, l);
        ASSERT_GT(all.bits, 99000);
        // The bins, at the offset count_errors found.
        for (int b = 0; b + 1 < (int)(sizeof edges / sizeof edges[0]); b++) {
            long long n = 0, wrong = 0;
            double promised = 0;
            for (size_t i = 64; i < bits.size(); i++) {
                long long j = (long long)i + all.offset;
                if (j < 0 || j >= (long long)l.size())
                    break;
                double a = std::fabs(l[(size_t)j]);
                if (a < edges[b] || a >= edges[b + 1])
                    continue;
                n++;
                wrong += (l[(size_t)j] > 0) != (bits[i] == 1);
                promised += 1 / (1 + std::exp(a));
            }
            double said = promised / (double)n, seen = (double)wrong / (double)n;
            EXPECT_GT(n, 200) << edges[b];
            EXPECT_LT(seen, 2.0 * said) << "|llr| " << edges[b] << "-" << edges[b + 1];
            EXPECT_GT(seen, 0.6 * said) << "|llr| " << edges[b] << "-" << edges[b + 1];
        }
    }
    // A true LLR of a bit at -1 dB: two symbols of 2 Es/N0 = 4 Eb/N0 = 14.2
    // each on average; the bit's is about the smaller of the two.
    EXPECT_GT(mean_abs[0], 9);
    EXPECT_LT(mean_abs[0], 15);
    EXPECT_NEAR(mean_abs[1], mean_abs[2], 0.1 * mean_abs[1]) << "the level changes nothing";
}

TEST(Demod1, FollowsAFadeAndComesBack)
{
    // 3 s of signal, then 2 s faded to a twentieth (still 14 dB over the
    // noise) or gone altogether (the noise alone), then 5 s again.  Faded,
    // no bit is lost or wrong; gone, the bit count may have drifted while
    // there was nothing to follow, but the bits are right again within 50
    // bits of the signal's return, at 20 dB, at 4 dB and at +-1000 ppm.
    gen_bits_t bits = random_bits(12000, 11);
    for (bool gone : {false, true}) {
        for (double snr : {20.0, 4.0}) {
            for (double ppm : {0.0, 1000.0, -1000.0}) {
                gen_audio_t opt;
                opt.snr_db = snr;
                opt.ppm = ppm;
                opt.lead = 0;
                opt.seed = 2;
                std::vector<float> x = gen_render(bits, opt);
                std::mt19937_64 rng(3);
                std::normal_distribution<double> noise(0, 0.5 / std::sqrt(2 * std::pow(10, snr / 10)));
                for (size_t i = 32400; i < 54000; i++)
                    x[i] = gone ? (float)noise(rng) : x[i] * 0.05f;
                std::vector<float> l = front_end(gen_u8(x));
                // Aligned on the first and on the last second.
                auto align = [&](int from) {
                    int best = -1, offset = 0;
                    for (int off = -200; off <= 200; off++) {
                        int agree = 0;
                        for (int i = from; i < from + 1000; i++)
                            if (i + off >= 0 && i + off < (int)l.size())
                                agree += (l[(size_t)(i + off)] > 0) == (bits[(size_t)i] == 1);
                        if (agree > best) {
                            best = agree;
                            offset = off;
                        }
                    }
                    return offset;
                };
                int offset = align(10800);
                int first = gone ? 6050 : 100, wrong = 0;
                for (int i = first; i < 11800; i++)
                    wrong += (l[(size_t)(i + offset)] > 0) != (bits[(size_t)i] == 1);
                EXPECT_EQ(wrong, 0) << (gone ? "gone" : "faded") << ", " << snr << " dB, " << ppm << " ppm";
                if (!gone) {
                    EXPECT_EQ(offset, align(100)) << "a bit lost or gained, " << snr << " dB, " << ppm << " ppm";
                }
            }
        }
    }
}

TEST(Demod1, FloatsThatAreNotNumbersDoNoHarm)
{
    gen_bits_t bits = random_bits(6000, 4);
    gen_audio_t opt;
    opt.snr_db = 20;
    std::vector<float> x = gen_render(bits, opt);
    for (size_t i = 20000; i < 20100; i++)
        x[i] = i % 3 ? std::nanf("") : (i % 2 ? 1e30f : -INFINITY);
    coherent_t c;
    coherent_init(&c, collect);
    c.limit_tones = COHERENT_IQ_LIMIT;
    llrs.clear();
    coherent_process_float(&c, x.data(), (int)x.size());
    ASSERT_GT(llrs.size(), 5900u);
    for (float l : llrs)
        ASSERT_TRUE(std::isfinite(l));
    // The bits well after the damage are right again.
    errors_t e = count_errors(bits, llrs, 3000);
    EXPECT_EQ(e.wrong, 0);
}

TEST(Demod1, BufferBoundariesDoNotMatter)
{
    gen_audio_t opt;
    opt.snr_db = 3;
    opt.ppm = 700;
    std::vector<unsigned char> u = gen_u8(gen_render(random_bits(3000, 1), opt));
    std::vector<float> whole = front_end(u);
    coherent_t c;
    coherent_init(&c, collect);
    llrs.clear();
    std::mt19937 rng(2);
    for (size_t at = 0; at < u.size();) {
        size_t n = std::min(u.size() - at, (size_t)(1 + rng() % 700));
        coherent_process_u8(&c, u.data() + at, (int)n);
        at += n;
    }
    EXPECT_EQ(llrs, whole);
}

}  // namespace
