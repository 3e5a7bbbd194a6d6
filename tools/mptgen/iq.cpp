// IQ captures: the control channel and the traffic channels of a site as
// frequency-modulated carriers in one complex baseband band.
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <random>

#include "mpt1327/fields.h"
#include "mptgen.h"

namespace {

const double two_pi = 6.283185307179586;

struct call_event_t {
    long long sample;  // the tone starts (or stops) before this sample
    unsigned chan;
    bool start;
};

struct carrier_t {
    unsigned chan;
    double offset;     // Hz from the centre, as the receiver sees it
    double tone;
    double phase = 0, tone_phase = 0;
};

// Where the receiver sees a carrier of f Hz: its clock, ppm fast, makes
// every frequency look lower by that much.
double seen_offset(const gen_iq_t& opt, double f)
{
    return f / (1 + opt.ppm * 1e-6) - opt.center;
}

// Whether a carrier at that offset lies inside the captured band.  A real
// receiver's anti-alias filter takes away what lies outside; sampled as it
// is here, such a carrier would fold back into the band at an arbitrary
// place, perhaps onto the control channel.
bool in_band(const gen_iq_t& opt, double offset)
{
    return std::fabs(offset) < opt.rate / 2;
}

std::vector<call_event_t> call_events(const std::vector<gen_mark_t>& marks, const gen_iq_t& opt)
{
    std::vector<call_event_t> ev;
    for (const gen_mark_t& m : marks) {
        const unsigned short* cw = m.cw;
        if (cw_bits(cw, 1, 1) != 1)
            continue;  // a system codeword
        long long sample =
            (long long)std::ceil((double)(opt.lead + m.end_bit) * opt.rate / 1200.0);
        if (cw_bits(cw, 22, 22) == 0) {
            if (cw_bits(cw, 23, 23) == 0)  // voice
                ev.push_back({sample, cw_bits(cw, 24, 33), true});
        } else if (cw_bits(cw, 37, 37) && cw_bits(cw, 39, 39) && cw_bits(cw, 41, 41) &&
                   cw_bits(cw, 43, 43) && cw_bits(cw, 45, 45) && cw_bits(cw, 47, 47)) {
            ev.push_back({sample, cw_bits(cw, 2, 11), false});
        }
    }
    return ev;
}

bool put(std::FILE* f, const std::string& kind, const std::vector<float>& iq, std::string* error)
{
    size_t n = iq.size();
    bool ok;
    if (kind == "cf32") {
        ok = std::fwrite(iq.data(), sizeof(float), n, f) == n;
    } else if (kind == "cs16") {
        std::vector<unsigned char> b(n * 2);
        for (size_t i = 0; i < n; i++) {
            double v = std::floor(iq[i] * 32767.0 + 0.5);
            v = v > 32767 ? 32767 : v < -32768 ? -32768 : v;
            unsigned short s = (unsigned short)(short)v;
            b[2 * i] = (unsigned char)(s & 0xff);
            b[2 * i + 1] = (unsigned char)(s >> 8);
        }
        ok = std::fwrite(b.data(), 1, b.size(), f) == b.size();
    } else {
        std::vector<unsigned char> b(n);
        for (size_t i = 0; i < n; i++) {
            double v = std::floor(127.5 + iq[i] * 127.5 + 0.5);
            b[i] = (unsigned char)(v > 255 ? 255 : v < 0 ? 0 : v);
        }
        ok = std::fwrite(b.data(), 1, b.size(), f) == b.size();
    }
    if (!ok)
        *error = std::strerror(errno);
    return ok;
}

}  // namespace

double gen_iq_channel_hz(const gen_iq_t& opt, unsigned chan)
{
    for (const auto& c : opt.chan_at)
        if (c.first == chan)
            return c.second;
    return opt.base + chan * opt.step;
}

namespace {

// One site's control channel and the traffic channels its GTCs open.
struct site_state_t {
    gen_bits_t bits;                    // lead, script, tail
    std::vector<call_event_t> events;
    size_t next_event = 0;
    std::vector<carrier_t> traffic;
    double control_offset = 0;
    double ffsk = 0, control_phase = 0;
};

void site_begin(site_state_t* st, const gen_bits_t& script_bits,
                const std::vector<gen_mark_t>& marks, const gen_iq_t& opt, double control)
{
    gen_append_preamble(&st->bits, opt.lead);
    st->bits.insert(st->bits.end(), script_bits.begin(), script_bits.end());
    gen_bits_t tail;
    gen_append_preamble(&tail, opt.tail);
    st->bits.insert(st->bits.end(), tail.begin(), tail.end());
    st->events = call_events(marks, opt);
    st->control_offset = seen_offset(opt, control);
}

// Open and close the traffic carriers of a site up to sample s.
void site_calls(site_state_t* st, const gen_iq_t& opt, long long s)
{
    while (st->next_event < st->events.size() && st->events[st->next_event].sample <= s) {
        const call_event_t& e = st->events[st->next_event++];
        for (size_t k = 0; k < st->traffic.size(); k++)
            if (st->traffic[k].chan == e.chan) {
                st->traffic.erase(st->traffic.begin() + (std::ptrdiff_t)k);
                break;
            }
        bool dead = std::find(opt.dead.begin(), opt.dead.end(), e.chan) != opt.dead.end();
        double offset = seen_offset(opt, gen_iq_channel_hz(opt, e.chan));
        if (e.start && !dead && in_band(opt, offset)) {
            carrier_t c;
            c.chan = e.chan;
            c.offset = offset;
            c.tone = opt.tone;
            for (const auto& t : opt.tones)
                if (t.first == e.chan)
                    c.tone = t.second;
            st->traffic.push_back(c);
        }
    }
}

// Add sample s of a site's carriers to re, im.
void site_sample(site_state_t* st, const gen_iq_t& opt, long long s, double* re, double* im)
{
    long long k = (long long)std::floor((double)s * 1200.0 / opt.rate);
    const gen_bits_t& bits = st->bits;
    unsigned char b = bits[(size_t)(k < (long long)bits.size() ? k : (long long)bits.size() - 1)];
    // A shorter site ends with its bits.
    if (b != GEN_SILENT && k < (long long)bits.size() && in_band(opt, st->control_offset)) {
        double audio = std::sin(st->ffsk);
        *re += opt.level * std::cos(st->control_phase);
        *im += opt.level * std::sin(st->control_phase);
        st->control_phase += two_pi * (st->control_offset + opt.deviation * audio) / opt.rate;
        st->control_phase = std::remainder(st->control_phase, two_pi);
    }
    st->ffsk += two_pi * (b == 1 ? 1200.0 : 1800.0) / opt.rate;
    if (st->ffsk > two_pi)
        st->ffsk -= two_pi;
    for (carrier_t& c : st->traffic) {
        *re += opt.level * std::cos(c.phase);
        *im += opt.level * std::sin(c.phase);
        c.phase += two_pi * (c.offset + opt.traffic_deviation * std::sin(c.tone_phase)) / opt.rate;
        c.phase = std::remainder(c.phase, two_pi);
        c.tone_phase += two_pi * c.tone / opt.rate;
        if (c.tone_phase > two_pi)
            c.tone_phase -= two_pi;
    }
}

}  // namespace

int gen_iq_write(const gen_bits_t& script_bits, const std::vector<gen_mark_t>& marks,
                 const gen_iq_t& opt, const std::string& kind, std::FILE* f, std::string* error)
{
    if (kind != "cu8" && kind != "cs16" && kind != "cf32") {
        *error = "unknown IQ format '" + kind + "'";
        return -1;
    }
    // Site 0 is the one of the script and of --control and --move; the
    // others (--site) are added after it, sample by sample, so that a
    // capture of one site is what it always was.
    std::vector<site_state_t> sites(1 + opt.sites.size());
    site_begin(&sites[0], script_bits, marks, opt, opt.control);
    for (size_t k = 0; k < opt.sites.size(); k++)
        site_begin(&sites[k + 1], opt.sites[k].bits, opt.sites[k].marks, opt, opt.sites[k].control);
    size_t longest = 0;
    for (const site_state_t& st : sites)
        longest = std::max(longest, st.bits.size());

    const long long total = (long long)std::floor((double)longest * opt.rate / 1200.0);
    std::vector<std::pair<double, double>> moves(opt.moves);
    std::sort(moves.begin(), moves.end());
    size_t next_move = 0;
    const double sigma =
        opt.snr_db >= 1e8 ? 0 : opt.level / std::sqrt(2.0) / std::pow(10.0, opt.snr_db / 20);
    std::mt19937_64 rng(opt.seed);
    std::normal_distribution<double> gauss(0.0, 1.0);
    std::vector<float> chunk;
    const long long chunk_len = 1 << 16;

    for (long long s = 0; s < total; s++) {
        while (next_move < moves.size() && moves[next_move].first * opt.rate <= (double)s)
            sites[0].control_offset = seen_offset(opt, moves[next_move++].second);
        double re = 0, im = 0;
        for (site_state_t& st : sites) {
            site_calls(&st, opt, s);
            site_sample(&st, opt, s, &re, &im);
        }
        if (sigma > 0) {
            re += sigma * gauss(rng);
            im += sigma * gauss(rng);
        }
        chunk.push_back((float)re);
        chunk.push_back((float)im);
        if ((long long)chunk.size() >= 2 * chunk_len) {
            if (!put(f, kind, chunk, error))
                return -1;
            chunk.clear();
        }
    }
    if (!put(f, kind, chunk, error))
        return -1;
    return 0;
}
