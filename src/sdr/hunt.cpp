// Control channel hunting (see hunt.h).
//
// The survey: a polyphase analysis filter bank splits the band into M
// channels of rate/M (M the nearest whole number to rate / 12.5 kHz); the
// mean power of each over a fifth of a second is the carrier test.  An FM
// carrier keeps its whole power inside its channel, noise spreads over all
// of them, so a channel 10 dB above the median of the band holds a carrier.
// Each channel of the raster (BEGINOFBAND + k STEP, or every channel of
// CHANMAP when the system's section has one) inside the band takes
// the power of the filter-bank channel it lies in.  The carriers are then
// tried, strongest first: the control channel is cut there and the decoder
// runs as usual; two system codewords within a dwell make it the control
// channel.  Nothing here runs per sample but the filter bank during a survey.
#include "hunt.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>

#include <liquid/liquid.h>

#include "mpt1327/chanmap.h"
#include "mpt1327/event.h"
#include "mpt1327/mpt1327.h"

namespace {

const double survey_seconds = 0.2;
const double dwell_seconds = 0.7;   // six or more slots of 128 bits
const unsigned codewords_needed = 2;
const size_t most_tried = 8;
const size_t most_scanned = 16;     // --all: carriers looked at in one survey
const double start_seconds = 1.5;   // at the start: no system codeword yet

enum hunt_state_t { WATCHING, SURVEYING, DWELLING };

struct candidate_t {
    double mhz;
    double power;
};

struct hunter_t {
    double rate = 0;
    unsigned channels = 0;
    firpfbch_crcf bank = nullptr;
    std::vector<iq_sample_t> in, out;  // one frame of the bank
    unsigned filled = 0;
    std::vector<double> power;
    unsigned long long frames = 0;

    hunt_state_t state = WATCHING;
    unsigned long long samples = 0;        // IQ samples seen
    unsigned long long last_seen = 0;      // sample of the last system codeword
    unsigned long long seen_count = 0;     // system_codewords then
    unsigned long long until = 0;          // end of the survey or dwell
    unsigned long long dwell_count = 0;    // system_codewords at the dwell's start
    std::vector<candidate_t> candidates;
    size_t next = 0;
    double tried = -1;                     // the candidate being tried
    double found = -1;                     // the control channel found (MHz)
    double before = -1;                    // the one decoded when the hunt began
    double median = 0;                     // power of the band's median channel
};

hunter_t h;
hunter_t scan;  // --all's surveys (all.cpp), apart from the hunter's

// The survey's steps below take the hunter they work for as h: the
// hunter's own, or scan.

void start_survey(hunter_t& h)
{
    h.state = SURVEYING;
    h.before = h.found >= 0 ? h.found : control;
    std::fill(h.power.begin(), h.power.end(), 0.0);
    h.frames = 0;
    h.filled = 0;
    h.until = h.samples + (unsigned long long)(survey_seconds * h.rate);
}

// The raster channels inside the band with a carrier, strongest first.
void choose_candidates(hunter_t& h, size_t most_tried)
{
    std::vector<double> sorted(h.power);
    std::sort(sorted.begin(), sorted.end());
    double median = sorted[sorted.size() / 2];
    h.median = median;
    double threshold = std::max(10 * median, 1e-4 * sorted.back());
    double st = step > 0 ? step : 0.0125;
    double lo = (sdr_options.center - sdr_options.rate / 2) / 1e6;
    double hi = (sdr_options.center + sdr_options.rate / 2) / 1e6;
    std::vector<char> taken(h.channels, 0);
    std::vector<candidate_t> all;
    // The raster: the channels of CHANMAP in the band, or BEGINOFBAND + k STEP.
    std::vector<double> raster;
    if (chanmap.present) {
        raster = chanmap_raster(chanmap, lo, hi);
    } else {
        long long first = (long long)std::ceil((lo - baseFreq) / st);
        long long last = (long long)std::floor((hi - baseFreq) / st);
        for (long long k = first; k <= last; k++)
            raster.push_back(baseFreq + (double)k * st);
    }
    for (double mhz : raster) {
        if (!sdr_in_band(mhz))
            continue;
        double bin = sdr_offset_hz(mhz) * h.channels / h.rate;
        long long j = (long long)std::floor(bin + 0.5);
        if (std::fabs(bin - (double)j) > 0.35)  // between two channels of the bank
            continue;
        unsigned idx = (unsigned)((j % (long long)h.channels + h.channels) % h.channels);
        double p = h.power[idx];
        if (p < threshold || taken[idx])
            continue;
        taken[idx] = 1;
        all.push_back({mhz, p});
    }
    std::sort(all.begin(), all.end(),
              [](const candidate_t& a, const candidate_t& b) { return a.power > b.power; });
    if (all.size() > most_tried)
        all.resize(most_tried);
    h.candidates = all;
    h.next = 0;
}

void try_next()
{
    if (h.next >= h.candidates.size()) {
        // Nothing found: look again after another HUNT seconds.
        h.state = WATCHING;
        h.tried = -1;
        h.last_seen = h.samples;
        return;
    }
    h.state = DWELLING;
    h.tried = h.candidates[h.next].mhz;
    h.dwell_count = system_codewords;
    h.until = h.samples + (unsigned long long)(dwell_seconds * h.rate);
}

// A control channel found is said when it is not the one decoded before.
void report_found(const candidate_t& c, double before)
{
    h.found = c.mhz;
    if (c.mhz == before)
        return;
    double level = 10 * std::log10((c.power + 1e-30) / (h.median + 1e-30));
    std::fprintf(stderr, "marrowit: control channel at %.4f MHz, system 0x%4.4x, level %.1f dB above the band's noise\n",
                 c.mhz, currentsys, level);
    event_t e;
    e.type = "control_channel";
    e.fields.push_back({"frequency", EVENT_REAL, 0, c.mhz, 4, ""});
    e.fields.push_back({"level", EVENT_REAL, 0, level, 1, ""});
    event_publish(e);
}

void survey(hunter_t& h, const iq_sample_t* block, int n)
{
    for (int i = 0; i < n; i++) {
        h.in[h.filled++] = block[i];
        if (h.filled < h.channels)
            continue;
        h.filled = 0;
        firpfbch_crcf_analyzer_execute(h.bank, h.in.data(), h.out.data());
        for (unsigned k = 0; k < h.channels; k++)
            h.power[k] += std::norm(h.out[k]);
        h.frames++;
    }
}

int make_bank(hunter_t& h, double rate)
{
    h = hunter_t();
    h.rate = rate;
    h.channels = (unsigned)std::lround(rate / 12500);
    if (h.channels < 2)
        return 0;
    h.bank = firpfbch_crcf_create_kaiser(LIQUID_ANALYZER, h.channels, 4, 60);
    if (!h.bank) {
        std::fprintf(stderr, "marrowit: cannot make the channelizer for hunting\n");
        return -1;
    }
    h.in.assign(h.channels, iq_sample_t(0, 0));
    h.out.assign(h.channels, iq_sample_t(0, 0));
    h.power.assign(h.channels, 0.0);
    return 0;
}

}  // namespace

int hunt_init(double rate)
{
    return make_bank(h, rate);
}

int hunt_scan_init(double rate)
{
    return make_bank(scan, rate);
}

void hunt_scan_start()
{
    if (scan.bank)
        start_survey(scan);
}

bool hunt_scan_process(const iq_sample_t* block, int n, std::vector<double>* found)
{
    if (!scan.bank || scan.state != SURVEYING)
        return false;
    scan.samples += (unsigned long long)n;
    survey(scan, block, n);
    if (scan.samples < scan.until)
        return false;
    choose_candidates(scan, most_scanned);
    scan.state = WATCHING;
    found->clear();
    for (const candidate_t& c : scan.candidates)
        found->push_back(c.mhz);
    return true;
}

void hunt_close()
{
    if (h.bank)
        firpfbch_crcf_destroy(h.bank);
    h.bank = nullptr;
    if (scan.bank)
        firpfbch_crcf_destroy(scan.bank);
    scan.bank = nullptr;
}

double hunt_process(const iq_sample_t* block, int n)
{
    if (!h.bank || hunt <= 0)
        return -1;
    h.samples += (unsigned long long)n;
    if (system_codewords != h.seen_count) {
        h.seen_count = system_codewords;
        h.last_seen = h.samples;
    }
    // The settings section of a system is read when its identity is first
    // decoded, so at the start nothing says where the control channel is:
    // the band is searched when none has shown up after a moment.
    double wait = system_codewords == 0 ? std::min(hunt, start_seconds) : hunt;
    switch (h.state) {
    case WATCHING:
        if ((double)(h.samples - h.last_seen) >= wait * h.rate)
            start_survey(h);
        break;
    case SURVEYING:
        survey(h, block, n);
        if (h.samples >= h.until) {
            choose_candidates(h, most_tried);
            try_next();
        }
        break;
    case DWELLING:
        if (system_codewords >= h.dwell_count + codewords_needed) {
            report_found(h.candidates[h.next], h.before);
            h.state = WATCHING;
            h.tried = -1;
            h.last_seen = h.samples;
        } else if (h.samples >= h.until) {
            h.next++;
            try_next();
        }
        break;
    }
    if (h.state == DWELLING)
        return h.tried;
    return h.found;
}
