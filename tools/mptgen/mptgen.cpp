#include "mptgen.h"
#include "container.h"

#include <cerrno>
#include <cmath>
#include <complex>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <sstream>

#include "audio/samples.h"
#include "mpt1327/fields.h"

// ---- codewords -------------------------------------------------------------

unsigned short gen_check_field(const unsigned short cw[4])
{
    // Division by the generator x^15 + x^14 + x^13 + x^11 + x^4 + x^2 + 1:
    // the register ends holding the fifteen check bits.
    unsigned r = 0;
    for (int n = 1; n <= 48; n++) {
        unsigned feedback = ((r >> 14) & 1) ^ cw_bits(cw, n, n);
        r = (r << 1) & 0x7fff;
        if (feedback)
            r ^= 0x6815;
    }
    r ^= 1;  // the last check bit goes out inverted
    unsigned ones = 0;
    for (int n = 1; n <= 48; n++)
        ones += cw_bits(cw, n, n);
    for (int i = 0; i < 15; i++)
        ones += (r >> i) & 1;
    return (unsigned short)(r << 1 | (ones & 1));
}

void gen_encode(unsigned short cw[4])
{
    cw[3] = gen_check_field(cw);
}

int gen_system_codeword(unsigned short cw[4], unsigned sysid, unsigned short sync)
{
    // The check field is affine in bits 17-32: solve for the bits that make
    // it equal the sync word, by elimination over GF(2).
    cw[0] = (unsigned short)(sysid & 0x7fff);
    cw[1] = 0;
    cw[2] = 0xAAAA;
    unsigned short base = gen_check_field(cw);
    unsigned rows[16];  // column j of the map as bit j of 16 equations
    for (int i = 0; i < 16; i++)
        rows[i] = 0;
    for (int j = 0; j < 16; j++) {
        cw[1] = (unsigned short)(1u << j);
        unsigned short col = (unsigned short)(gen_check_field(cw) ^ base);
        for (int i = 0; i < 16; i++)
            if ((col >> i) & 1)
                rows[i] |= 1u << j;
    }
    unsigned short target = (unsigned short)(sync ^ base);
    unsigned rhs[16];
    for (int i = 0; i < 16; i++)
        rhs[i] = (target >> i) & 1;
    int pivot_of[16];
    int row = 0;
    for (int j = 0; j < 16; j++) {
        pivot_of[j] = -1;
        int p = row;
        while (p < 16 && !((rows[p] >> j) & 1))
            p++;
        if (p == 16)
            continue;
        std::swap(rows[p], rows[row]);
        std::swap(rhs[p], rhs[row]);
        for (int i = 0; i < 16; i++)
            if (i != row && ((rows[i] >> j) & 1)) {
                rows[i] ^= rows[row];
                rhs[i] ^= rhs[row];
            }
        pivot_of[j] = row++;
    }
    for (int i = row; i < 16; i++)
        if (rhs[i])
            return -1;
    unsigned x = 0;
    for (int j = 0; j < 16; j++)
        if (pivot_of[j] >= 0 && rhs[pivot_of[j]])
            x |= 1u << j;
    cw[1] = (unsigned short)x;
    cw[3] = gen_check_field(cw);
    return cw[3] == sync ? 0 : -1;
}

namespace {

struct field_t {
    int first, last;
};

struct kind_t {
    const char* name;
    std::vector<std::pair<const char*, unsigned>> fixed;  // field name, value
    std::map<std::string, field_t> fields;
};

const std::map<std::string, field_t> common_fields = {
    {"flag", {1, 1}}, {"b22", {22, 22}}, {"cat", {23, 25}}, {"type", {26, 27}}, {"func", {28, 30}},
};

const std::vector<kind_t>& kinds()
{
    static const std::vector<kind_t> k = {
        {"aloha", {{"b22", 1}, {"cat", 0}, {"type", 0}},
         {{"pfix", {2, 8}}, {"ident1", {9, 21}}, {"wt", {35, 37}}, {"rsvd", {38, 39}},
          {"m", {40, 44}}, {"n", {45, 48}}}},
        {"ack", {{"b22", 1}, {"cat", 0}, {"type", 1}},
         {{"pfix", {2, 8}}, {"ident1", {9, 21}}, {"ident2", {31, 43}}}},
        {"req", {{"b22", 1}, {"cat", 0}, {"type", 2}},
         {{"pfix", {2, 8}}, {"ident1", {9, 21}}, {"ident2", {31, 43}}, {"voice", {44, 44}},
          {"addr", {45, 45}}, {"cancel", {46, 46}}, {"emerg", {47, 47}}, {"slots", {44, 45}}}},
        {"bcast", {{"b22", 1}, {"cat", 0}, {"type", 3}, {"func", 4}},
         {{"sysdef", {2, 6}}, {"sys", {7, 21}}, {"chan", {31, 40}}, {"idred", {45, 48}}}},
        {"maint", {{"b22", 1}, {"cat", 0}, {"type", 3}, {"func", 1}},
         {{"pfix", {2, 8}}, {"ident1", {9, 21}}, {"chan", {31, 40}}}},
        {"move", {{"b22", 1}, {"cat", 0}, {"type", 3}, {"func", 3}},
         {{"pfix", {2, 8}}, {"ident1", {9, 21}}, {"chan", {31, 40}}}},
        {"sam", {{"b22", 1}, {"cat", 1}, {"type", 0}},
         {{"pfix", {2, 8}}, {"ident1", {9, 21}}}},
        {"head", {{"b22", 1}, {"cat", 1}, {"type", 1}},
         {{"pfix", {2, 8}}, {"ident1", {9, 21}}, {"cwords", {27, 28}}, {"tarpfx", {29, 35}},
          {"org", {36, 48}}}},
        {"gtc", {{"b22", 0}},
         {{"pfix", {2, 8}}, {"ident1", {9, 21}}, {"data", {23, 23}}, {"chan", {24, 33}},
          {"ident2", {34, 46}}}},
        {"clear", {{"b22", 1}},
         {{"chan", {2, 11}}, {"cont", {12, 21}}}},
    };
    return k;
}

bool parse_number(const std::string& text, unsigned long long* value)
{
    if (text.empty())
        return false;
    char* end = nullptr;
    *value = std::strtoull(text.c_str(), &end, 0);
    return *end == 0;
}

void set_field(unsigned short cw[4], field_t f, unsigned value)
{
    cw_set_bits(cw, f.first, f.last, value);
}

}  // namespace

int gen_message(const std::string& line, unsigned short cw[4], std::string* error)
{
    std::istringstream in(line);
    std::string name;
    in >> name;
    const kind_t* kind = nullptr;
    for (const kind_t& k : kinds())
        if (name == k.name)
            kind = &k;
    if (!kind) {
        *error = "unknown message '" + name + "'";
        return -1;
    }
    cw[0] = cw[1] = cw[2] = cw[3] = 0;
    set_field(cw, common_fields.at("flag"), 1);
    for (const auto& f : kind->fixed)
        set_field(cw, common_fields.at(f.first), f.second);
    if (name == "clear")
        for (int n = 37; n <= 47; n += 2)
            cw_set_bits(cw, n, n, 1);
    if (name == "head")
        cw_set_bits(cw, 27, 28, 2);  // TYPE 1 means bit 27 set: Cwords is 2 or 3

    std::vector<int> flips;
    std::string token;
    while (in >> token) {
        size_t eq = token.find('=');
        if (eq == std::string::npos) {
            *error = "expected field=value, got '" + token + "'";
            return -1;
        }
        std::string key = token.substr(0, eq), value = token.substr(eq + 1);
        unsigned long long v = 0;
        if (key == "set") {
            unsigned long long first, last;
            size_t dash = value.find('-'), colon = value.find(':');
            if (dash == std::string::npos || colon == std::string::npos || colon < dash ||
                !parse_number(value.substr(0, dash), &first) ||
                !parse_number(value.substr(dash + 1, colon - dash - 1), &last) ||
                !parse_number(value.substr(colon + 1), &v) || first < 1 || last > 64 ||
                first > last || last - first >= 32) {
                *error = "bad set=FIRST-LAST:VALUE '" + value + "'";
                return -1;
            }
            cw_set_bits(cw, (int)first, (int)last, (unsigned)v);
            continue;
        }
        if (!parse_number(value, &v)) {
            *error = "bad number '" + value + "'";
            return -1;
        }
        if (key == "flip") {
            if (v < 1 || v > 64) {
                *error = "flip takes a bit number 1-64";
                return -1;
            }
            flips.push_back((int)v);
            continue;
        }
        auto f = kind->fields.find(key);
        field_t field;
        if (f != kind->fields.end())
            field = f->second;
        else if (common_fields.count(key))
            field = common_fields.at(key);
        else {
            *error = "'" + name + "' has no field '" + key + "'";
            return -1;
        }
        if (v >> (field.last - field.first + 1)) {
            *error = "value of '" + key + "' does not fit its " +
                     std::to_string(field.last - field.first + 1) + " bits";
            return -1;
        }
        set_field(cw, field, (unsigned)v);
    }
    gen_encode(cw);
    for (int n : flips)
        cw_set_bits(cw, n, n, cw_bits(cw, n, n) ^ 1);
    return 0;
}

// ---- bit streams -----------------------------------------------------------

void gen_append_codeword(gen_bits_t* bits, const unsigned short cw[4])
{
    for (int n = 1; n <= 64; n++)
        bits->push_back((unsigned char)cw_bits(cw, n, n));
}

void gen_append_preamble(gen_bits_t* bits, int n)
{
    for (int i = 0; i < n; i++)
        bits->push_back((unsigned char)(i % 2 == 0));
}

unsigned short gen_sync = 0xC4D7;

static std::vector<gen_mark_t>* marks_out;  // where gen_script notes codewords, or 0

static void push_words(std::vector<unsigned short>* words, const unsigned short cw[4],
                       const gen_bits_t* bits)
{
    if (marks_out) {
        gen_mark_t m;
        m.end_bit = (long long)bits->size();
        for (int i = 0; i < 4; i++)
            m.cw[i] = cw[i];
        marks_out->push_back(m);
    }
    if (words)
        words->insert(words->end(), cw, cw + 4);
}

static int run_line(const std::string& line, gen_bits_t* bits, std::vector<unsigned short>* words,
                    std::string* error)
{
    std::istringstream in(line);
    std::string cmd;
    if (!(in >> cmd))
        return 0;
    unsigned short cw[4];
    if (cmd == "ccsc" || cmd == "dcsc") {
        std::string arg;
        unsigned long long sysid;
        if (!(in >> arg) || !parse_number(arg, &sysid) || sysid > 0x7fff) {
            *error = cmd + " takes a 15-bit system identity";
            return -1;
        }
        unsigned short sync = cmd == "ccsc" ? gen_sync : (unsigned short)~gen_sync;
        if (gen_system_codeword(cw, (unsigned)sysid, sync) != 0) {
            *error = "no system codeword for this identity";
            return -1;
        }
        std::string extra;
        while (in >> extra) {
            if (extra.compare(0, 5, "flip=") != 0) {
                *error = cmd + " takes only flip=N after the identity";
                return -1;
            }
            unsigned long long n;
            if (!parse_number(extra.substr(5), &n) || n < 1 || n > 64) {
                *error = "flip takes a bit number 1-64";
                return -1;
            }
            cw_set_bits(cw, (int)n, (int)n, cw_bits(cw, (int)n, (int)n) ^ 1);
        }
    } else if (cmd == "sync") {
        std::string arg, extra;
        if (!(in >> arg) || (arg != "standard" && arg != "french") || in >> extra) {
            *error = "sync takes standard or french";
            return -1;
        }
        gen_sync = arg == "french" ? 0xB433 : 0xC4D7;
        return 0;
    } else if (cmd == "words") {
        std::vector<unsigned long long> w;
        std::string arg;
        while (in >> arg) {
            unsigned long long v;
            if (!parse_number(arg, &v) || v > 0xffff) {
                *error = "bad word '" + arg + "'";
                return -1;
            }
            w.push_back(v);
        }
        if (w.size() != 3 && w.size() != 4) {
            *error = "words takes three or four 16-bit words";
            return -1;
        }
        for (int i = 0; i < 4; i++)
            cw[i] = i < (int)w.size() ? (unsigned short)w[(size_t)i] : 0;
        if (w.size() == 3)
            gen_encode(cw);
    } else if (cmd == "bits") {
        std::string arg;
        while (in >> arg)
            for (char c : arg) {
                if (c != '0' && c != '1') {
                    *error = "bits takes 0 and 1";
                    return -1;
                }
                bits->push_back((unsigned char)(c - '0'));
            }
        return 0;
    } else if (cmd == "preamble" || cmd == "silence") {
        std::string arg;
        unsigned long long n;
        if (!(in >> arg) || !parse_number(arg, &n) || n > 100000000) {
            *error = cmd + " takes a number of bit periods";
            return -1;
        }
        if (cmd == "preamble")
            gen_append_preamble(bits, (int)n);
        else
            bits->insert(bits->end(), (size_t)n, GEN_SILENT);
        return 0;
    } else if (cmd == "random") {
        std::string arg;
        unsigned long long n, seed = 1, sysid = 0x1234;
        if (!(in >> arg) || !parse_number(arg, &n)) {
            *error = "random takes a number of slots";
            return -1;
        }
        while (in >> arg) {
            if (arg.compare(0, 5, "seed=") == 0 && parse_number(arg.substr(5), &seed))
                continue;
            if (arg.compare(0, 4, "sys=") == 0 && parse_number(arg.substr(4), &sysid) &&
                sysid <= 0x7fff)
                continue;
            *error = "random takes seed=S and sys=SYS";
            return -1;
        }
        unsigned short sc[4];
        gen_system_codeword(sc, (unsigned)sysid, gen_sync);
        std::mt19937_64 rng(seed);
        for (unsigned long long i = 0; i < n; i++) {
            gen_append_codeword(bits, sc);
            push_words(words, sc, bits);
            std::uint64_t r = rng();
            cw[0] = (unsigned short)(r >> 48 | 0x8000);
            cw[1] = (unsigned short)(r >> 32);
            cw[2] = (unsigned short)(r >> 16);
            gen_encode(cw);
            gen_append_codeword(bits, cw);
            push_words(words, cw, bits);
        }
        return 0;
    } else {
        if (gen_message(line, cw, error) != 0)
            return -1;
    }
    gen_append_codeword(bits, cw);
    push_words(words, cw, bits);
    return 0;
}

int gen_script(const std::string& text, gen_bits_t* bits, std::vector<unsigned short>* words,
               std::string* error, std::vector<gen_mark_t>* marks)
{
    marks_out = marks;
    std::istringstream in(text);
    std::string line;
    int number = 0;
    // A "sync" line holds for the rest of its script only.
    struct restore_t {
        unsigned short words = gen_sync;
        ~restore_t() { gen_sync = words; }
    } restore;
    while (std::getline(in, line)) {
        number++;
        size_t hash = line.find('#');
        if (hash != std::string::npos)
            line.resize(hash);
        std::string why;
        if (run_line(line, bits, words, &why) != 0) {
            *error = "line " + std::to_string(number) + ": " + why;
            return -1;
        }
    }
    return 0;
}

// ---- the receiver's faults --------------------------------------------------

// The tones reach a decoder through a receiver's audio chain, which the
// transmitter's ideal FFSK never meets in a test unless it is made here:
//
//   tones -> tilt -> band-pass -> + noise, hum, clicks -> level drift -> DC
//
// The tilt comes first, as the de-emphasis sits right after the
// discriminator; the band-pass (the receiver's audio filter against sub-
// audible tones and hiss) after it, as in a receiver's audio stages.  Noise,
// hum and clicks are added after both, at the decoder's input, so that --snr
// keeps its meaning whatever the chain does to the tones: white (or
// discriminator-shaped) noise of a fixed power over 0 to half the rate,
// against the power of the tone as it was sent.  A demodulator that copes
// with the chain must do so at the same noise as without it.  The level
// drift acts on everything, as a receiver's or sound card's gain that
// wanders: the SNR stays, the level the decoder sees does not.  The DC
// offset of the sound card comes last, as before.

static const double two_pi_rx = 6.283185307179586;

// The tilt: one first-order shelf, H(s) = g (s + zc) / (s + pc), turned
// digital by the bilinear transform (s = (1 - 1/z) / (1 + 1/z), an analog
// frequency of tan(pi f / rate)).  Its corners lie symmetric about the
// geometric centre of the tones, zc = w0 / k and pc = w0 * k for a boost of
// the high tone (the other way round for a cut), and g makes the gain at the
// centre 1, so that the mean tone power stays.  k is found by bisection so
// that 1800 Hz lies tilt * log2(1.5) dB above (or below) 1200 Hz.  A first-
// order section cannot tilt more than about 6 dB per octave (a little more
// at low rates, where the transform stretches the band).
static int design_tilt(gen_biquad_t* q, double tilt, double rate, std::string* error)
{
    if (rate <= 3700) {
        *error = "a tilt needs a sample rate above 3700 Hz";
        return -1;
    }
    const double w1 = std::tan(gen_pi * 1200 / rate), w2 = std::tan(gen_pi * 1800 / rate);
    const double w0 = std::sqrt(w1 * w2);
    const double target = std::fabs(tilt) * std::log2(1.5);
    auto ratio_db = [&](double k) {  // 1800 over 1200 Hz for a boost
        double zc = w0 / k, pc = w0 * k;
        return 10 * std::log10((w2 * w2 + zc * zc) / (w1 * w1 + zc * zc) *
                               (w1 * w1 + pc * pc) / (w2 * w2 + pc * pc));
    };
    const double most = 20 * std::log10(w2 / w1);
    if (target >= most - 1e-6) {
        char why[120];
        std::snprintf(why, sizeof why, "a tilt of at most %.2f dB per octave at %.0f Hz",
                      most / std::log2(1.5), rate);
        *error = why;
        return -1;
    }
    double lo = 0, hi = 40;  // ln k
    for (int i = 0; i < 200; i++) {
        double mid = (lo + hi) / 2;
        (ratio_db(std::exp(mid)) < target ? lo : hi) = mid;
    }
    double k = std::exp((lo + hi) / 2);
    double zc = w0 / k, pc = w0 * k, g = k;
    if (tilt < 0) {
        std::swap(zc, pc);
        g = 1 / k;
    }
    q->b0 = g * (1 + zc) / (1 + pc);
    q->b1 = g * (zc - 1) / (1 + pc);
    q->b2 = 0;
    q->a1 = (pc - 1) / (1 + pc);
    q->a2 = 0;
    return 0;
}

// One second-order Butterworth section, low-pass or high-pass at hz with
// quality q (the bilinear transform, its frequency prewarped so that hz is
// where it is meant to be).
static gen_biquad_t butterworth_section(bool high, double hz, double q, double rate)
{
    const double w = two_pi_rx * hz / rate, c = std::cos(w), alpha = std::sin(w) / (2 * q);
    const double a0 = 1 + alpha;
    gen_biquad_t s;
    s.b0 = (high ? (1 + c) / 2 : (1 - c) / 2) / a0;
    s.b1 = (high ? -(1 + c) : 1 - c) / a0;
    s.b2 = s.b0;
    s.a1 = -2 * c / a0;
    s.a2 = (1 - alpha) / a0;
    return s;
}

int gen_rx_filter_init(gen_rx_filter_t* f, const gen_audio_t& opt, std::string* error)
{
    std::string why;
    if (!error)
        error = &why;
    *f = gen_rx_filter_t();
    if (opt.tilt != 0 && design_tilt(&f->stage[f->n++], opt.tilt, opt.rate, error) != 0) {
        f->n = 0;
        return -1;
    }
    if (opt.bp_lo > 0 || opt.bp_hi > 0) {
        if (!(opt.bp_lo > 0 && opt.bp_lo < opt.bp_hi && opt.bp_hi < opt.rate / 2)) {
            *error = "the band-pass needs 0 < LO < HI < half the sample rate";
            f->n = 0;
            return -1;
        }
        // Order 4 on either side: the two sections of a fourth-order
        // Butterworth have the qualities 1 / (2 cos(pi/8)) and 1 / (2 cos(3 pi/8)).
        const double q1 = 0.5411961001461970, q2 = 1.3065629648763766;
        f->stage[f->n++] = butterworth_section(true, opt.bp_lo, q1, opt.rate);
        f->stage[f->n++] = butterworth_section(true, opt.bp_lo, q2, opt.rate);
        f->stage[f->n++] = butterworth_section(false, opt.bp_hi, q1, opt.rate);
        f->stage[f->n++] = butterworth_section(false, opt.bp_hi, q2, opt.rate);
    }
    return 0;
}

double gen_rx_filter_step(gen_rx_filter_t* f, double x)
{
    for (int i = 0; i < f->n; i++) {
        gen_biquad_t& s = f->stage[i];
        double y = s.b0 * x + s.s1;
        s.s1 = s.b1 * x - s.a1 * y + s.s2;
        s.s2 = s.b2 * x - s.a2 * y;
        x = y;
    }
    return x;
}

static std::complex<double> rx_at(const gen_rx_filter_t& f, double w)
{
    std::complex<double> h = 1, z1 = std::polar(1.0, -w), z2 = std::polar(1.0, -2 * w);
    for (int i = 0; i < f.n; i++) {
        const gen_biquad_t& s = f.stage[i];
        h *= (s.b0 + s.b1 * z1 + s.b2 * z2) / (1.0 + s.a1 * z1 + s.a2 * z2);
    }
    return h;
}

void gen_rx_filter_response(const gen_rx_filter_t& f, double rate, double hz, double* gain,
                            double* delay)
{
    const double w = two_pi_rx * hz / rate, dw = 1e-5;
    *gain = std::abs(rx_at(f, w));
    *delay = -std::arg(rx_at(f, w + dw) / rx_at(f, w - dw)) / (2 * dw);
}

// ---- audio -----------------------------------------------------------------

int gen_stream_begin(gen_stream_t* g, const gen_audio_t& opt, std::string* error)
{
    g->opt = opt;
    int ok = gen_rx_filter_init(&g->rx, opt, error);
    g->last_noise = 0;
    g->click_rng.seed(opt.seed ^ 0x636c69636b73ULL);
    g->click = 0;
    g->clicks = 0;
    g->next_click = -1;
    g->phase = g->decoy = 0;
    g->sample = 0;
    g->bit_time = 0;
    g->exact_clock = opt.ppm == 0 && (double)(long long)opt.rate == opt.rate;
    g->bit_base = 0;
    g->pending.clear();
    g->rng.seed(opt.seed);
    g->gauss = std::normal_distribution<double>(0.0, 1.0);
    gen_append_preamble(&g->pending, opt.lead);
    return ok;
}

// The bit a sample falls in: exact integer arithmetic for an exact clock;
// otherwise signal time is accumulated sample by sample, so that the clock
// error may change along the stream (floor with a little slack, so that a
// sample on a bit boundary belongs to the new bit despite rounding).
static long long bit_of(const gen_stream_t* g, long long sample)
{
    if (g->exact_clock)
        return sample * 1200 / (long long)g->opt.rate;
    return (long long)std::floor(g->bit_time + 1e-9);
}

// Hum, clicks and the level drift for the sample g->sample.
static double add_faults(gen_stream_t* g, double x)
{
    const gen_audio_t& opt = g->opt;
    const double t = (double)g->sample / opt.rate;
    if (opt.hum) {
        // Mains hum: 50 Hz and its harmonics to the sixth, each k-th at 1/k
        // of the fundamental's amplitude (sum of 1/k^2: 1.4914), together
        // hum_db of the power of the tone (level^2 / 2).
        const double a = opt.level * std::sqrt(std::pow(10.0, opt.hum_db / 10) / 1.4913888888888889);
        for (int k = 1; k <= 6; k++)
            x += a / k * std::sin(two_pi_rx * 50 * k * t + 0.7 * k);
    }
    if (opt.clicks > 0) {
        // Clicks: at times of a Poisson process, a step of twice the tone's
        // amplitude, either sign, decaying in 0.3 ms, as the spikes of a
        // discriminator near its threshold or of a squelch that chatters.
        // Two never fall on one sample: the second waits for the next.
        if (g->next_click < 0)
            g->next_click = -std::log(1 - std::generate_canonical<double, 53>(g->click_rng)) *
                            opt.rate / opt.clicks;
        g->click *= std::exp(-1 / (0.0003 * opt.rate));
        if (g->next_click < 1) {
            g->click += (g->click_rng() & 1 ? 2 : -2) * opt.level;
            g->clicks++;
            g->next_click += -std::log(1 - std::generate_canonical<double, 53>(g->click_rng)) *
                             opt.rate / opt.clicks;
        }
        g->next_click -= 1;
        x += g->click;
    }
    if (opt.drift_db > 0 && opt.drift_s > 0)
        // The level sinks by up to drift_db and comes back, over drift_s.
        x *= std::pow(10.0, -opt.drift_db * (1 - std::cos(two_pi_rx * t / opt.drift_s)) / 40);
    return x;
}

// Render every sample whose bit is known.
static void stream_render(gen_stream_t* g, std::vector<float>* out, bool last)
{
    const gen_audio_t& opt = g->opt;
    const double two_pi = 6.283185307179586;
    const double scale = 1 + opt.ppm * 1e-6;
    const double bits_per_sample = 1200.0 * scale / opt.rate;  // signal time per sample
    const int channels = opt.channels < 1 ? 1 : opt.channels;
    const double sigma =
        opt.snr_db >= 1e8 ? 0 : opt.level / std::sqrt(2.0) / std::pow(10.0, opt.snr_db / 20);
    const long long known = g->bit_base + (long long)g->pending.size();
    if (g->exact_clock && opt.ppm != 0) {  // the clock error was changed on the way
        g->exact_clock = false;
        g->bit_time = (double)g->sample * 1200.0 / opt.rate;
    }
    for (;;) {
        long long k = bit_of(g, g->sample);
        if (k >= known)
            break;
        unsigned char b = g->pending[(size_t)(k - g->bit_base)];
        double x = b == GEN_SILENT ? 0.0 : opt.level * std::sin(g->phase);
        g->phase += two_pi * (b == 1 ? 1200.0 : 1800.0) * scale / opt.rate;
        if (g->phase > two_pi)
            g->phase -= two_pi;
        if (g->rx.n)
            x = gen_rx_filter_step(&g->rx, x);
        if (sigma > 0 && opt.fm_noise) {
            // An FM discriminator's noise: its amplitude density rises in
            // proportion to frequency.  The difference of white samples
            // rises so (2 sin(pi f / rate)) to within 1 dB up to a quarter
            // of the rate; halved in power, it has the white noise's power.
            double w = g->gauss(g->rng);
            x += sigma * gen_sqrt_half * (w - g->last_noise);
            g->last_noise = w;
        } else if (sigma > 0) {
            x += sigma * g->gauss(g->rng);
        }
        if (opt.hum || opt.clicks > 0 || opt.drift_db > 0)
            x = add_faults(g, x);
        if (opt.dc_hz > 0)
            x += opt.dc * std::sin(two_pi * opt.dc_hz * (double)g->sample / opt.rate);
        else
            x += opt.dc;
        out->push_back((float)x);
        for (int c = 1; c < channels; c++)
            out->push_back((float)(0.5 * std::sin(g->decoy)));
        g->decoy += two_pi * 1800.0 / opt.rate;
        if (g->decoy > two_pi)
            g->decoy -= two_pi;
        g->sample++;
        g->bit_time += bits_per_sample;
    }
    // Keep only the bits still ahead of the next sample.
    long long k = bit_of(g, g->sample);
    long long drop = (last ? known : k) - g->bit_base;
    if (drop > 0) {
        if (drop > (long long)g->pending.size())
            drop = (long long)g->pending.size();
        g->pending.erase(g->pending.begin(), g->pending.begin() + drop);
        g->bit_base += drop;
    }
}

void gen_stream_bits(gen_stream_t* g, const gen_bits_t& bits, std::vector<float>* out)
{
    g->pending.insert(g->pending.end(), bits.begin(), bits.end());
    stream_render(g, out, false);
}

void gen_stream_end(gen_stream_t* g, std::vector<float>* out)
{
    gen_append_preamble(&g->pending, g->opt.tail);
    stream_render(g, out, true);
}

std::vector<float> gen_render(const gen_bits_t& bits, const gen_audio_t& opt)
{
    gen_stream_t g;
    std::vector<float> out;
    gen_stream_begin(&g, opt);
    gen_stream_bits(&g, bits, &out);
    gen_stream_end(&g, &out);
    return out;
}

std::vector<unsigned char> gen_u8(const std::vector<float>& samples)
{
    std::vector<unsigned char> u(samples.size());
    for (size_t i = 0; i < samples.size(); i++)
        u[i] = sample_to_u8(samples[i]);
    return u;
}

short gen_to_s16(float x)
{
    double v = std::floor((double)x * 32768.0 + 0.5);
    if (!(v > -32768))
        return -32768;
    if (v > 32767)
        return 32767;
    return (short)v;
}

bool gen_write_raw(const std::vector<float>& samples, const std::string& kind, FILE* f,
                   std::string* error)
{
    bool ok;
    if (kind == "u8") {
        std::vector<unsigned char> u = gen_u8(samples);
        ok = std::fwrite(u.data(), 1, u.size(), f) == u.size();
    } else {
        std::vector<unsigned char> b(samples.size() * 2);
        for (size_t i = 0; i < samples.size(); i++) {
            unsigned short s = (unsigned short)gen_to_s16(samples[i]);
            b[2 * i] = (unsigned char)(s & 0xff);
            b[2 * i + 1] = (unsigned char)(s >> 8);
        }
        ok = std::fwrite(b.data(), 1, b.size(), f) == b.size();
    }
    if (!ok)
        *error = std::strerror(errno);
    return ok;
}

int gen_write(const std::vector<float>& samples, const gen_audio_t& opt, const std::string& kind,
              const std::string& path, std::string* error)
{
    if (kind == "u8" || kind == "s16") {
        FILE* f = path == "-" ? stdout : std::fopen(path.c_str(), "wb");
        if (!f) {
            *error = path + ": " + std::strerror(errno);
            return -1;
        }
        bool ok = gen_write_raw(samples, kind, f, error);
        ok = (f == stdout ? std::fflush(f) : std::fclose(f)) == 0 && ok;
        if (!ok) {
            *error = path + ": write failed";
            return -1;
        }
        return 0;
    }

    return gen_write_container(samples, opt, kind, path, error);
}
