// marrowit-sensitivity: the fraction of address codewords and of system
// codewords decoded against the signal-to-noise ratio, for several decoder
// settings and several channels (sample clock errors, a receiver's faults).
//
//   marrowit-sensitivity [--slots N] [--seed S] [--marrowit PATH] [--set KEY=VALUE]...
//                        [--decoder [NAME:]KEY=VALUE[,KEY=VALUE]...]...
//                        [--channel NAME]... [--from DB] [--to DB] [--trace] > table.dat
//
// For every point (--from -6 to --to 20 dB in steps of 0.5 dB, so that the
// 50 % and 99 % points are read between close points) and every channel, N
// control-channel slots (a system codeword and a random reportable address
// codeword) are rendered at 10800 Hz with white noise at that SNR, measured
// over the whole band of the recording (0 to 5400 Hz) against the tone's
// sine power, and the same audio is decoded by the real program once with
// each decoder's settings.
//
// Address codewords (the GTCs, ALOHAs, CLEARs that carry calls) and system
// codewords are counted apart: CORRECT=1 recognises a system codeword among
// two possible words, which says little of how the calls come through.
// Every codeword the program reports is compared with those sent; one that
// was never sent is counted, per decoder and channel, for it is worse than
// one missed.
//
// The table has one row per SNR and two columns (address, system) per
// decoder and channel, named DECODER/CHANNEL/address and .../system on the
// header line; the 50 % and 99 % points of each and the codewords never
// sent follow as comment lines.
//
// The decoders are CORRECT=0 and CORRECT=1 unless --decoder names others:
// each is the [general] settings it runs with, named by themselves or by a
// name before them ("DEMOD=1", "soft:DEMOD=1,CORRECT=1").  A program that
// does not know a setting ignores it,
// so a decoder that reports exactly what another does at every point is
// said on standard error.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <unordered_set>
#include <vector>

#include "demod/coherent.h"
#include "demod/soft.h"
#include "mpt1327/mpt1327.h"
#include "mptgen.h"
#include "traffic.h"

namespace {

struct decoder_t {
    std::string name, settings;  // settings: "KEY=VALUE\n" lines
};

// The channels the signal reaches the decoder through.
struct channel_t {
    const char* name;
    const char* what;
    double ppm, tilt, bp_lo, bp_hi;
};
const channel_t all_channels[] = {
    {"exact", "clock exact", 0, 0, 0, 0},
    {"+1000ppm", "sample clock 1000 ppm fast", 1000, 0, 0, 0},
    {"-1000ppm", "sample clock 1000 ppm slow", -1000, 0, 0, 0},
    {"tilt+6", "pre-emphasis +6 dB/octave, band-pass 300-3000 Hz", 0, 6, 300, 3000},
    {"tilt-6", "de-emphasis -6 dB/octave, band-pass 300-3000 Hz", 0, -6, 300, 3000},
};

// The SNR from which a column stays at or above a fraction, interpolated
// where it last crossed it; -1e9 when it starts there, 1e9 when it never gets there.
double crossing(const std::vector<double>& snr, const std::vector<double>& f, double level)
{
    if (f.empty() || f.back() < level)
        return 1e9;
    for (size_t i = f.size() - 1; i > 0; i--)
        if (f[i - 1] < level)
            return snr[i - 1] + (level - f[i - 1]) / (f[i] - f[i - 1]) * (snr[i] - snr[i - 1]);
    return -1e9;
}

std::string point(double db, const std::vector<double>& snr)
{
    char s[40];
    if (db >= 1e9)
        std::snprintf(s, sizeof s, "above %.1f dB", snr.back());
    else if (db <= -1e9)
        std::snprintf(s, sizeof s, "below %.1f dB", snr.front());
    else
        std::snprintf(s, sizeof s, "%.1f dB", db);
    return s;
}

// --trace: the audio of a point that gave a codeword never sent decoded
// again here, by the coherent front end and the soft framing themselves,
// and every address codeword routed that was never sent printed with the
// bit it was routed at, its margin, the system codewords around it, and
// the reliabilities from 130 bits before to 130 after.
std::vector<float> trace_llrs;
struct routed_t {
    word64_t word;
    double margin;
    unsigned long long bit;
};
std::vector<routed_t> trace_routed;
unsigned long long trace_llrs_fed;

void trace(const std::vector<unsigned char>& audio, const std::vector<word64_t>& sent, word64_t system_word,
           const char* channel, double snr)
{
    static coherent_t co;
    trace_llrs.clear();
    trace_routed.clear();
    coherent_init(&co, [](float l) { trace_llrs.push_back(l); });
    coherent_process_u8(&co, audio.data(), (int)audio.size());
    FILE* was = console;
    console = std::fopen("/dev/null", "w");
    mpt1327_state = mpt1327_t{};
    currentsys = 0xffff;
    soft_reset();
    soft_watch = [](const unsigned short cw[4], double margin) {
        trace_routed.push_back(routed_t{pack(cw), margin, trace_llrs_fed});
    };
    trace_llrs_fed = 0;
    for (float l : trace_llrs) {
        trace_llrs_fed++;
        soft_bit(l, &mpt1327_state);
    }
    soft_end(&mpt1327_state);
    soft_watch = nullptr;
    std::fclose(console);
    console = was;
    std::unordered_set<word64_t> sent_set(sent.begin(), sent.end());
    for (size_t i = 0; i < trace_routed.size(); i++) {
        const routed_t& r = trace_routed[i];
        if (r.word == system_word || sent_set.count(r.word))
            continue;
        std::fprintf(stderr, "trace %s %.1f dB: %016llx routed at bit %llu, margin %.2f; system codewords at",
                     channel, snr, (unsigned long long)r.word, r.bit, r.margin);
        for (size_t j = i > 4 ? i - 4 : 0; j < trace_routed.size() && j < i + 4; j++)
            if (trace_routed[j].word == system_word)
                std::fprintf(stderr, " %llu", trace_routed[j].bit);
        // The window it was read from: where it explains the bits best.
        unsigned long long at = 0;
        double best = -INFINITY;
        for (unsigned long long e = r.bit > 300 ? r.bit - 300 : 64; e <= r.bit && e <= trace_llrs.size(); e++) {
            double l = soft_lambda(&trace_llrs[e - 64], r.word);
            if (l > best) {
                best = l;
                at = e;
            }
        }
        word64_t was_sent = 0;
        for (word64_t v : sent)
            if (__builtin_popcountll(v ^ r.word) <= 8)
                was_sent = v;
        soft_word_t d;
        soft_decode(&trace_llrs[at - 64], &d);
        std::fprintf(stderr,
                     "\n  window ends at bit %llu: lambda %.2f, of the one sent there %.2f; the decoder "
                     "there: %016llx lambda %.2f others %.2f found %.2f flips %d\n  llrs of the bits that differ:",
                     at, best, soft_lambda(&trace_llrs[at - 64], was_sent), (unsigned long long)d.word, d.lambda,
                     d.others, d.found, d.flips);
        for (int k = 0; k < 64; k++)
            if ((r.word ^ was_sent) >> (63 - k) & 1)
                std::fprintf(stderr, " %d:%.3g", k + 1, trace_llrs[at - 64 + (unsigned long long)k]);
        std::fprintf(stderr, "\nllrs from bit %llu:", r.bit > 260 ? r.bit - 260 : 1);
        for (unsigned long long b = r.bit > 260 ? r.bit - 260 : 1; b <= r.bit + 130 && b <= trace_llrs.size(); b++)
            std::fprintf(stderr, " %.3g", trace_llrs[b - 1]);
        std::fprintf(stderr, "\n");
    }
}

[[noreturn]] void usage(FILE* out = stderr)
{
    std::fprintf(out,
                 "usage: marrowit-sensitivity [--slots N] [--seed S] [--marrowit PATH] "
                 "[--set KEY=VALUE]... [--decoder [NAME:]KEY=VALUE[,KEY=VALUE]]... "
                 "[--channel exact|+1000ppm|-1000ppm|tilt+6|tilt-6]... [--from DB] [--to DB] [--trace]\n");
    std::exit(out == stderr ? 2 : 0);
}

}  // namespace

int main(int argc, char** argv)
{
    // Our own options first; the rest are those every tool takes.
    std::vector<decoder_t> decoders;
    std::vector<const channel_t*> channels;
    double from = -6, to = 20;
    bool tracing = false;
    std::vector<char*> rest = {argv[0]};
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        if (a == "-h" || a == "--help")
            usage(stdout);
        if ((a == "--decoder" || a == "--channel" || a == "--from" || a == "--to") && i + 1 >= argc)
            usage();
        if (a == "--trace") {
            tracing = true;
        } else if (a == "--decoder") {
            // NAME:SETTINGS, or SETTINGS alone, named by themselves.
            std::string v = argv[++i];
            size_t colon = v.find(':');
            if (colon == std::string::npos) {
                colon = v.size();
                v += ":" + v;
            }
            if (colon == 0 || v.find('/') != std::string::npos ||
                v.find_first_of(" \t") != std::string::npos)
                usage();
            decoder_t d{v.substr(0, colon), ""};
            std::string list = v.substr(colon + 1) + ",";
            for (size_t p = 0, q; (q = list.find(',', p)) != std::string::npos; p = q + 1) {
                std::string kv = list.substr(p, q - p);
                if (kv.empty())
                    continue;
                if (kv.find('=') == std::string::npos)
                    usage();
                d.settings += kv + "\n";
            }
            decoders.push_back(d);
        } else if (a == "--channel") {
            const channel_t* found = nullptr;
            for (const channel_t& c : all_channels)
                if (std::strcmp(argv[i + 1], c.name) == 0)
                    found = &c;
            if (!found)
                usage();
            channels.push_back(found);
            i++;
        } else if (a == "--from" || a == "--to") {
            (a == "--from" ? from : to) = std::atof(argv[++i]);
        } else {
            rest.push_back(argv[i]);
        }
    }
    if (decoders.empty())
        decoders = {{"CORRECT=0", "CORRECT=0\n"}, {"CORRECT=1", "CORRECT=1\n"}};
    if (channels.empty())
        for (const channel_t& c : all_channels)
            channels.push_back(&c);
    tool_args_t args = parse_tool_args((int)rest.size(), rest.data(), "--slots", 1000,
                                       "marrowit-sensitivity [--slots N] [--seed S] [--marrowit PATH] "
                                       "[--set KEY=VALUE]... [--decoder [NAME:]SETTINGS]... "
                                       "[--channel NAME]... [--from DB] [--to DB] [--trace]");
    const int slots = (int)args.count;
    const unsigned long long seed = args.seed;
    if (slots < 1 || !(from <= to))
        usage();

    std::vector<double> snrs;
    for (int k = 0; from + 0.5 * k <= to + 1e-9; k++)
        snrs.push_back(from + 0.5 * k);
    const size_t n_dec = decoders.size(), n_ch = channels.size(), n_col = n_dec * n_ch;
    std::vector<std::vector<double>> address(n_col), system(n_col);
    std::vector<long long> never_sent(n_col, 0), differing(n_col, 0);
    // Per decoder: a digest of everything it reported at every point.
    std::vector<std::size_t> digest(n_dec, 0);
    unsigned short ccsc[4];
    gen_system_codeword(ccsc, 0x1234, 0xC4D7);

    std::printf("# fraction of codewords decoded, address and system codewords apart; SNR over "
                "0-5400 Hz at 10800 samples/s, 8-bit; %d slots a point\n",
                slots);
    for (const decoder_t& d : decoders) {
        std::string s = d.settings;
        for (char& c : s)
            if (c == '\n')
                c = ' ';
        std::printf("# decoder %s: %s\n", d.name.c_str(), s.c_str());
    }
    for (const channel_t* c : channels)
        std::printf("# channel %s: %s\n", c->name, c->what);
    std::printf("# snr_db");
    for (const decoder_t& d : decoders)
        for (const channel_t* c : channels)
            std::printf(" %s/%s/address %s/%s/system", d.name.c_str(), c->name, d.name.c_str(),
                        c->name);
    std::printf("\n");
    for (double snr : snrs) {
        std::printf("%6.1f", snr);
        std::vector<double> row(2 * n_col);
        for (size_t ch = 0; ch < n_ch; ch++) {
            const channel_t& c = *channels[ch];
            // The same audio for every decoder.  Seeded as before for the
            // first three channels, so that their columns repeat earlier sweeps.
            size_t p = (size_t)(&c - all_channels);
            std::mt19937_64 rng(seed + (unsigned long long)(long long)(snr * 1000) + p);
            gen_bits_t bits;
            std::vector<word64_t> sent;
            append_slots(rng, slots, ccsc, &bits, &sent);
            gen_audio_t opt;
            opt.snr_db = snr;
            opt.ppm = c.ppm;
            opt.tilt = c.tilt;
            opt.bp_lo = c.bp_lo;
            opt.bp_hi = c.bp_hi;
            opt.seed = rng();
            std::vector<unsigned char> audio = gen_u8(gen_render(bits, opt));
            for (size_t d = 0; d < n_dec; d++) {
                decoder_run_t run;
                if (run.start(args.marrowit, args.general + decoders[d].settings) != 0) {
                    std::perror("marrowit-sensitivity: cannot start marrowit");
                    return 2;
                }
                run.write(audio);
                if (!run.finish()) {
                    std::fprintf(stderr, "marrowit-sensitivity: marrowit failed\n");
                    return 1;
                }
                for (word64_t v : run.scanner.found)
                    digest[d] = digest[d] * 1000003u ^ std::hash<word64_t>()(v);
                digest[d] = digest[d] * 1000003u ^ 0x5eed;
                match_t m = match_codewords(run.scanner.found, pack(ccsc), sent);
                size_t col = d * n_ch + ch;
                address[col].push_back((double)m.address_decoded / slots);
                system[col].push_back((double)m.system_decoded / slots);
                never_sent[col] += m.false_codewords;
                for (const match_t::false_t& f : m.falses) {
                    // The bits that differ, and how far the word is from the
                    // one sent read a bit early (late): its bits 1-63 (2-64).
                    const word64_t low63 = ~0ull >> 1;
                    std::fprintf(stderr,
                                 "never sent: %s %s %.1f dB slot %lld: got %016llx sent %016llx "
                                 "differ %016llx (%d bits; read a bit early %d, late %d)\n",
                                 decoders[d].name.c_str(), c.name, snr, f.slot,
                                 (unsigned long long)f.word, (unsigned long long)f.sent,
                                 (unsigned long long)(f.word ^ f.sent), __builtin_popcountll(f.word ^ f.sent),
                                 __builtin_popcountll((f.word & low63) ^ (f.sent >> 1)),
                                 __builtin_popcountll((f.word >> 1) ^ (f.sent & low63)));
                }
                if (tracing && !m.falses.empty())
                    trace(audio, sent, pack(ccsc), c.name, snr);
                differing[col] += m.differing;
                row[2 * col] = address[col].back();
                row[2 * col + 1] = system[col].back();
            }
        }
        for (double f : row)
            std::printf(" %7.4f", f);
        std::printf("\n");
        std::fflush(stdout);
    }
    for (const char* kind : {"address", "system"})
        for (size_t d = 0; d < n_dec; d++)
            for (size_t ch = 0; ch < n_ch; ch++) {
                size_t col = d * n_ch + ch;
                const std::vector<double>& f = kind[0] == 'a' ? address[col] : system[col];
                std::printf("# %s codewords, %s %s: 50%% at %s, 99%% at %s\n", kind,
                            decoders[d].name.c_str(), channels[ch]->name,
                            point(crossing(snrs, f, 0.5), snrs).c_str(),
                            point(crossing(snrs, f, 0.99), snrs).c_str());
            }
    for (size_t d = 0; d < n_dec; d++) {
        long long total = 0, near = 0;
        for (size_t ch = 0; ch < n_ch; ch++) {
            size_t col = d * n_ch + ch;
            total += never_sent[col];
            near += differing[col];
            std::printf("# never sent, %s %s: %lld codewords (%lld of them within 8 bits of one sent)\n",
                        decoders[d].name.c_str(), channels[ch]->name, never_sent[col], differing[col]);
        }
        std::printf("# never sent, %s: %lld codewords over %lld slots (%lld within 8 bits of one sent)\n",
                    decoders[d].name.c_str(), total, (long long)slots * (long long)(snrs.size() * n_ch),
                    near);
    }
    for (size_t a = 0; a < n_dec; a++)
        for (size_t b = a + 1; b < n_dec; b++)
            if (digest[a] == digest[b] && decoders[a].settings != decoders[b].settings)
                std::fprintf(stderr,
                             "marrowit-sensitivity: %s reported exactly what %s did at every point: "
                             "does this program know its settings?\n",
                             decoders[b].name.c_str(), decoders[a].name.c_str());
    return 0;
}
