// The generator's receiver faults, measured on what it renders: the tilt
// between the tones, the band-pass against the Butterworth it is meant to
// be, the noise's power and slope, clicks, hum and the level drift; and the
// real program decoding a signal that went through a receiver's chain.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cmath>
#include <complex>

#include "harness.h"

namespace {

const double two_pi = 6.283185307179586;

// The amplitude and phase of the component at hz in x[from, from + n).
std::complex<double> component(const std::vector<float>& x, size_t from, size_t n, double hz,
                               double rate)
{
    std::complex<double> s = 0;
    for (size_t i = 0; i < n; i++)
        s += (double)x[from + i] * std::polar(1.0, -two_pi * hz * (double)(from + i) / rate);
    return 2.0 * s / (double)n;
}

std::vector<float> render(const std::string& script, const gen_audio_t& opt)
{
    gen_bits_t bits;
    std::string error;
    EXPECT_EQ(gen_script(script, &bits, nullptr, &error), 0) << error;
    return gen_render(bits, opt);
}

// A steady tone (every bit 1: 1200 Hz, every bit 0: 1800 Hz) for a second and more.
std::string steady(char bit, double seconds)
{
    return "bits " + std::string((size_t)(1200 * seconds), bit) + "\n";
}

double db(double ratio) { return 20 * std::log10(ratio); }

// Averaged periodogram (Hann windows of 540 samples, bins 20 Hz apart at
// 10800 Hz) of x about hz: the mean power of five bins 40 Hz apart.
double power_at(const std::vector<float>& x, double hz, double rate)
{
    const size_t n = 540;
    double sum = 0;
    int count = 0;
    for (size_t from = 0; from + n <= x.size(); from += n) {
        for (int b = -2; b <= 2; b++, count++) {
            std::complex<double> s = 0, turn = std::polar(1.0, -two_pi * (hz + 40 * b) / rate), at = 1;
            for (size_t i = 0; i < n; i++, at *= turn) {
                double w = 0.5 - 0.5 * std::cos(two_pi * (double)i / (double)n);
                s += w * (double)x[from + i] * at;
            }
            sum += std::norm(s);
        }
    }
    return sum / count;
}

double mean_square(const std::vector<float>& x)
{
    double s = 0;
    for (float v : x)
        s += (double)v * v;
    return s / (double)x.size();
}

}  // namespace

// 1800 Hz lies tilt * log2(1.5) dB above 1200 Hz, measured on the rendered
// tones; the geometric centre of the tones keeps its level.
TEST(ReceiverFaults, TiltBetweenTheTones)
{
    struct {
        double tilt, rate;
    } cases[] = {{6, 10800}, {-6, 10800}, {3, 10800}, {-1.5, 10800},
                 {6, 8000},  {-6, 8000},  {6, 48000}, {-6, 44100}};
    for (auto c : cases) {
        SCOPED_TRACE(::testing::Message() << "tilt " << c.tilt << " rate " << c.rate);
        gen_audio_t opt;
        opt.tilt = c.tilt;
        opt.rate = c.rate;
        std::vector<float> low = render(steady('1', 1.5), opt), high = render(steady('0', 1.5), opt);
        // A second from the middle: whole periods of both tones.
        size_t from = (size_t)(c.rate / 4), n = (size_t)c.rate;
        double a1200 = std::abs(component(low, from, n, 1200, c.rate));
        double a1800 = std::abs(component(high, from, n, 1800, c.rate));
        EXPECT_NEAR(db(a1800 / a1200), c.tilt * std::log2(1.5), 0.02);
        EXPECT_NEAR(db(std::sqrt(a1200 * a1800) / opt.level), 0, 0.1);
        gen_rx_filter_t f;
        ASSERT_EQ(gen_rx_filter_init(&f, opt, nullptr), 0);
        double gain, delay;
        gen_rx_filter_response(f, c.rate, 1200, &gain, &delay);
        EXPECT_NEAR(gain, a1200 / opt.level, 1e-3);
    }
    // Beyond what a first-order section gives, refused.
    gen_audio_t opt;
    opt.tilt = 7;
    gen_rx_filter_t f;
    std::string error;
    EXPECT_EQ(gen_rx_filter_init(&f, opt, &error), -1);
    EXPECT_EQ(error, "a tilt of at most 6.85 dB per octave at 10800 Hz");
}

// The band-pass is a Butterworth of order 4 at either edge: its gain at a
// frequency is that of the analog filter at the prewarped frequency, and
// its group delay is what sine waves passing through it show.
TEST(ReceiverFaults, BandPassResponse)
{
    struct {
        double lo, hi, rate, hz, gain_db;  // gain_db: rounded, for the reader
    } cases[] = {{300, 3000, 10800, 300, -3.0},   {300, 3000, 10800, 3000, -3.0},
                 {300, 3000, 10800, 1000, 0},     {300, 3000, 10800, 1500, 0},
                 {300, 3000, 10800, 150, -24.17}, {300, 3000, 10800, 50, -62.34},
                 {300, 3000, 10800, 4500, -39.7}, {300, 3000, 48000, 6000, -25.5},
                 {500, 2500, 8000, 1200, 0}};
    for (auto c : cases) {
        SCOPED_TRACE(::testing::Message() << c.lo << "-" << c.hi << " Hz at " << c.rate << ", "
                                          << c.hz << " Hz");
        gen_audio_t opt;
        opt.rate = c.rate;
        opt.bp_lo = c.lo;
        opt.bp_hi = c.hi;
        gen_rx_filter_t f;
        ASSERT_EQ(gen_rx_filter_init(&f, opt, nullptr), 0);
        auto warped = [&](double hz) { return std::tan(gen_pi * hz / c.rate); };
        double r_lo = warped(c.lo) / warped(c.hz), r_hi = warped(c.hz) / warped(c.hi);
        double expect = -10 * std::log10((1 + std::pow(r_lo, 8)) * (1 + std::pow(r_hi, 8)));
        EXPECT_NEAR(expect, c.gain_db, 0.05);
        // Two sines just either side of hz, through the filter sample by
        // sample, after the filter has settled.
        std::complex<double> seen[2];
        double gain, delay;
        for (int side = 0; side < 2; side++) {
            double hz = c.hz + (side ? 2 : -2);
            gen_rx_filter_t g = f;
            std::vector<float> y;
            for (int i = 0; i < (int)c.rate * 3; i++)
                y.push_back((float)gen_rx_filter_step(&g, std::sin(two_pi * hz * i / c.rate)));
            seen[side] = component(y, (size_t)c.rate, (size_t)c.rate * 2, hz, c.rate) /
                         std::complex<double>(0, -1);  // against the sine itself
        }
        gen_rx_filter_response(f, c.rate, c.hz, &gain, &delay);
        EXPECT_NEAR(db(gain), expect, 0.01);
        EXPECT_NEAR(db(std::abs(seen[0]) * std::abs(seen[1])) / 2, expect, expect < -30 ? 0.5 : 0.05);
        double measured = -std::arg(seen[1] / seen[0]) / (two_pi * 4 / c.rate);
        EXPECT_NEAR(measured, delay, 0.01 * delay + 0.05);
        EXPECT_GT(delay, 0);
    }
    // The group delay differs between the tones: what a demodulator meets.
    gen_audio_t opt;
    opt.bp_lo = 300;
    opt.bp_hi = 3000;
    gen_rx_filter_t f;
    ASSERT_EQ(gen_rx_filter_init(&f, opt, nullptr), 0);
    double g1, d1200, g2, d1800;
    gen_rx_filter_response(f, 10800, 1200, &g1, &d1200);
    gen_rx_filter_response(f, 10800, 1800, &g2, &d1800);
    EXPECT_NEAR(d1200, 2.30, 0.01);
    EXPECT_NEAR(d1800, 2.11, 0.01);
    for (auto bad : {std::make_pair(3000.0, 300.0), {0.0, 3000.0}, {300.0, 5400.0}}) {
        opt.bp_lo = bad.first;
        opt.bp_hi = bad.second;
        EXPECT_EQ(gen_rx_filter_init(&f, opt, nullptr), -1) << bad.first << ":" << bad.second;
    }
}

// Noise alone (silent bits): its power is the white noise's at that SNR
// either way, flat, or rising 6 dB per octave as from a discriminator.
TEST(ReceiverFaults, NoisePowerAndSlope)
{
    struct {
        bool fm;
        double snr, slope_600_2400, slope_1200_1800;
    } cases[] = {{false, 0, 0, 0},
                 {false, 10, 0, 0},
                 // 2 sin(pi f / rate): 11.37 dB over two octaves, 3.30 dB between the tones
                 {true, 0, 11.37, 3.30},
                 {true, 6, 11.37, 3.30}};
    for (auto c : cases) {
        SCOPED_TRACE(::testing::Message() << (c.fm ? "fm" : "white") << " snr " << c.snr);
        gen_audio_t opt;
        opt.fm_noise = c.fm;
        opt.snr_db = c.snr;
        opt.seed = 5;
        opt.lead = opt.tail = 0;
        std::vector<float> x = render("silence 72000\n", opt);  // 60 s
        double sigma = opt.level / std::sqrt(2.0) / std::pow(10.0, c.snr / 20);
        EXPECT_NEAR(mean_square(x) / (sigma * sigma), 1, 0.01);
        EXPECT_NEAR(10 * std::log10(power_at(x, 2400, 10800) / power_at(x, 600, 10800)),
                    c.slope_600_2400, 0.3);
        EXPECT_NEAR(10 * std::log10(power_at(x, 1800, 10800) / power_at(x, 1200, 10800)),
                    c.slope_1200_1800, 0.3);
    }
}

// Clicks come at random at the rate asked for; each one is a step of twice
// the tone's amplitude that decays, so it is found in the output alone.
TEST(ReceiverFaults, ClicksAtTheirRate)
{
    for (double rate : {0.0, 2.0, 20.0, 100.0}) {
        SCOPED_TRACE(::testing::Message() << rate << " clicks per second");
        gen_audio_t opt;
        opt.clicks = rate;
        opt.lead = opt.tail = 0;
        gen_bits_t bits(72000, GEN_SILENT);  // 60 s
        gen_stream_t g;
        std::vector<float> x;
        ASSERT_EQ(gen_stream_begin(&g, opt), 0);
        gen_stream_bits(&g, bits, &x);
        gen_stream_end(&g, &x);
        const double decay = std::exp(-1 / (0.0003 * 10800));
        long long onsets = 0;
        for (size_t i = 1; i < x.size(); i++)
            if (std::fabs((double)x[i] - decay * (double)x[i - 1]) > opt.level)
                onsets++;
        EXPECT_EQ(onsets, g.clicks);
        double expected = rate * (double)x.size() / 10800;
        EXPECT_NEAR((double)onsets, expected, 4 * std::sqrt(expected));
    }
}

// Hum of the power asked for, against the tone's, mostly at 50 Hz; a level
// that sinks by the drift's depth half way through its period and is back
// at its end.
TEST(ReceiverFaults, HumAndDrift)
{
    for (double hum_db : {-30.0, -10.0, 0.0}) {
        gen_audio_t opt;
        opt.hum = true;
        opt.hum_db = hum_db;
        opt.lead = opt.tail = 0;
        std::vector<float> x = render("silence 2400\n", opt);
        EXPECT_NEAR(10 * std::log10(mean_square(x) / (opt.level * opt.level / 2)), hum_db, 0.05);
        double a50 = std::abs(component(x, 0, 10800, 50, 10800));
        double a100 = std::abs(component(x, 0, 10800, 100, 10800));
        EXPECT_NEAR(a100 / a50, 0.5, 0.01);
    }
    struct {
        double depth, period, at, drop_db;
    } cases[] = {{6, 2, 0, 0}, {6, 2, 1, 6}, {6, 2, 2, 0}, {12, 4, 1, 6}, {20, 2, 0.5, 10}};
    for (auto c : cases) {
        SCOPED_TRACE(::testing::Message() << "drift " << c.depth << " dB over " << c.period
                                          << " s, at " << c.at << " s");
        gen_audio_t opt;
        opt.drift_db = c.depth;
        opt.drift_s = c.period;
        opt.lead = 0;
        std::vector<float> x = render(steady('1', 2.5), opt);
        // Five periods of the tone about that moment.
        size_t at = (size_t)(c.at * 10800), from = at >= 22 ? at - 22 : 0;
        double a = std::abs(component(x, from, 45, 1200, 10800));
        EXPECT_NEAR(db(a / opt.level), -c.drop_db, 0.1);
    }
}

// The real program reads the same codewords from a signal that went through
// a receiver's chain (tilted either way, band-passed, with discriminator
// noise, hum, a few clicks and a drifting level) as from a clean one: its
// console output is the same byte for byte.  mptgen refuses faults it
// cannot make, and faults on IQ captures.
TEST(ReceiverFaults, ProgramDecodesThroughAReceiversChain)
{
    temp_dir_t dir;
    write_file(dir.file("solvane.ini"), "[general]\nFILTER=5\nBINARY=1\n[rs232]\nRADIO=0\n");
    const std::string script = "random 40 seed=3\n";
    run_result_t clean = run_program(marrowit_path(), {"-"}, dir.path, render_u8(script));
    ASSERT_EQ(clean.status, 0) << clean.err;
    EXPECT_NE(clean.err.find("80 codewords passed, 0 failed"), std::string::npos) << clean.err;
    const std::vector<std::string> chains[] = {
        {"--tilt", "6", "--bandpass", "300:3000"},
        {"--tilt", "-6", "--bandpass", "300:3000"},
        {"--tilt", "-6", "--bandpass", "300:3000", "--snr", "20", "--noise", "fm", "--hum",
         "-20", "--drift", "6:3"},
        {"--tilt", "4", "--bandpass", "300:3000", "--snr", "25", "--clicks", "0.2", "--seed", "2"},
    };
    for (const auto& chain : chains) {
        std::string shown;
        for (const auto& a : chain)
            shown += a + " ";
        SCOPED_TRACE(shown);
        std::vector<std::string> args = chain;
        args.insert(args.end(), {"-o", dir.file("faults.u8"), "-e", script});
        run_result_t gen = run_program(mptgen_path(), args, "");
        ASSERT_EQ(gen.status, 0) << gen.err;
        run_result_t r = run_program(marrowit_path(), {"-"}, dir.path, read_file(dir.file("faults.u8")));
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(mask_times(r.out), mask_times(clean.out));
    }
    struct {
        std::vector<std::string> args;
        std::string err;
    } refused[] = {
        {{"--tilt", "8"}, "mptgen: a tilt of at most 6.85 dB per octave at 10800 Hz\n"},
        {{"--bandpass", "3000:300"}, "mptgen: the band-pass needs 0 < LO < HI < half the sample rate\n"},
        {{"--bandpass", "300"}, "mptgen: --bandpass takes LO:HI\n"},
        {{"--noise", "pink"}, "mptgen: --noise takes white or fm\n"},
        {{"--drift", "6:0"}, "mptgen: --drift takes DB >= 0 and SECONDS > 0\n"},
        {{"--clicks", "-1"}, "mptgen: --clicks takes a number of clicks per second\n"},
        {{"--tilt", "3", "-t", "cu8"},
         "mptgen: a receiver's faults (--tilt, --bandpass, --noise, --clicks, --hum, --drift) "
         "apply to audio only\n"},
    };
    for (const auto& c : refused) {
        std::vector<std::string> args = c.args;
        args.insert(args.end(), {"-o", dir.file("refused.out"), "-e", "random 1"});
        run_result_t r = run_program(mptgen_path(), args, "");
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.err, c.err);
    }
}

namespace {

// A codeword as the program dumps it with BINARY=1.
std::string dump(std::initializer_list<unsigned> words)
{
    std::string s;
    for (unsigned w : words) {
        s += "   ";
        for (int b = 15; b >= 0; b--)
            s += (b == 7 ? " " : "") + std::string(1, (char)('0' + ((w >> b) & 1)));
    }
    return s;
}

}  // namespace

// The sweep counts address and system codewords apart and every codeword
// reported that was never sent: against a stand-in for the program that
// reports two system codewords and one never sent, whatever it hears, and
// says the settings it was given; then the real program at high SNR, where
// everything is decoded, and a second decoder whose settings change nothing.
TEST(ReceiverFaults, SensitivitySweepCountsApart)
{
    const std::string sweep = SENSITIVITY_BIN;
    if (sweep.empty())
        GTEST_SKIP() << "the sweep is not run in a cross build";
    temp_dir_t dir;
    const std::string system = dump({0x1234, 0x4221, 0xAAAA, 0xC4D7});
    write_file(dir.file("stand-in"), "#!/bin/sh\ncat solvane.ini >&2\ncat > /dev/null\necho '" +
                                         system + "- CCSC'\necho '" + system + "'\necho '" +
                                         dump({0xFFFF, 0x0000, 0xFFFF, 0x0001}) + "'\n");
    chmod(dir.file("stand-in").c_str(), 0755);
    run_result_t r = run_program(sweep,
                                 {"--slots", "4", "--from", "10", "--to", "10.5", "--channel",
                                  "tilt-6", "--decoder", "a:CORRECT=1,X=2", "--marrowit",
                                  dir.file("stand-in")},
                                 "");
    EXPECT_EQ(r.status, 0);
    const std::string ini = "[general]\nFILTER=5\nBINARY=1\nLOG=0\nCORRECT=1\nX=2\n[rs232]\nRADIO=0\n";
    // Each codeword never sent is said with what was sent in its slot.
    EXPECT_EQ(r.err, ini +
                         "never sent: a tilt-6 10.0 dB slot 1: got ffff0000ffff0001 sent "
                         "a5a154809c350dbb differ 5a5e548063ca0dba (29 bits; read a bit early "
                         "31, late 33)\n" +
                         ini +
                         "never sent: a tilt-6 10.5 dB slot 0: got ffff0000ffff0001 sent "
                         "8dfb246db7001ad9 differ 7204246d48ff1ad8 (29 bits; read a bit early "
                         "29, late 33)\n");
    EXPECT_EQ(r.out,
              "# fraction of codewords decoded, address and system codewords apart; SNR over "
              "0-5400 Hz at 10800 samples/s, 8-bit; 4 slots a point\n"
              "# decoder a: CORRECT=1 X=2 \n"
              "# channel tilt-6: de-emphasis -6 dB/octave, band-pass 300-3000 Hz\n"
              "# snr_db a/tilt-6/address a/tilt-6/system\n"
              "  10.0  0.0000  0.5000\n"
              "  10.5  0.0000  0.5000\n"
              "# address codewords, a tilt-6: 50% at above 10.5 dB, 99% at above 10.5 dB\n"
              "# system codewords, a tilt-6: 50% at below 10.0 dB, 99% at above 10.5 dB\n"
              "# never sent, a tilt-6: 2 codewords (0 of them within 8 bits of one sent)\n"
              "# never sent, a: 2 codewords over 8 slots (0 within 8 bits of one sent)\n");

    r = run_program(sweep, {"--slots", "20", "--from", "19.5", "--to", "20", "--channel", "exact",
                            "--channel", "tilt+6", "--decoder", "a:CORRECT=0", "--decoder",
                            "b:CORRECT=0,FILTER=5"},
                    "");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "marrowit-sensitivity: b reported exactly what a did at every point: does "
                     "this program know its settings?\n");
    std::string table;
    for (const std::string& line : lines_of(r.out))
        if (line.compare(0, 9, "# decoder") != 0 && line.compare(0, 9, "# channel") != 0 &&
            line.compare(0, 10, "# fraction") != 0)
            table += line + "\n";
    EXPECT_EQ(table,
              "# snr_db a/exact/address a/exact/system a/tilt+6/address a/tilt+6/system "
              "b/exact/address b/exact/system b/tilt+6/address b/tilt+6/system\n"
              "  19.5  1.0000  1.0000  1.0000  1.0000  1.0000  1.0000  1.0000  1.0000\n"
              "  20.0  1.0000  1.0000  1.0000  1.0000  1.0000  1.0000  1.0000  1.0000\n"
              "# address codewords, a exact: 50% at below 19.5 dB, 99% at below 19.5 dB\n"
              "# address codewords, a tilt+6: 50% at below 19.5 dB, 99% at below 19.5 dB\n"
              "# address codewords, b exact: 50% at below 19.5 dB, 99% at below 19.5 dB\n"
              "# address codewords, b tilt+6: 50% at below 19.5 dB, 99% at below 19.5 dB\n"
              "# system codewords, a exact: 50% at below 19.5 dB, 99% at below 19.5 dB\n"
              "# system codewords, a tilt+6: 50% at below 19.5 dB, 99% at below 19.5 dB\n"
              "# system codewords, b exact: 50% at below 19.5 dB, 99% at below 19.5 dB\n"
              "# system codewords, b tilt+6: 50% at below 19.5 dB, 99% at below 19.5 dB\n"
              "# never sent, a exact: 0 codewords (0 of them within 8 bits of one sent)\n"
              "# never sent, a tilt+6: 0 codewords (0 of them within 8 bits of one sent)\n"
              "# never sent, a: 0 codewords over 80 slots (0 within 8 bits of one sent)\n"
              "# never sent, b exact: 0 codewords (0 of them within 8 bits of one sent)\n"
              "# never sent, b tilt+6: 0 codewords (0 of them within 8 bits of one sent)\n"
              "# never sent, b: 0 codewords over 80 slots (0 within 8 bits of one sent)\n");
}
