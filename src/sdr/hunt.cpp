// Control channel hunting (see hunt.h).
//
// The survey: a polyphase analysis filter bank splits the band into M
// channels of rate/M (M the nearest whole number to rate / 12.5 kHz); the
// mean power of each over a fifth of a second is the carrier test.  An FM
// carrier keeps its whole power inside its channel, noise spreads over all
// of them, so a channel 10 dB above the median of the band holds a carrier.
// Each channel of the raster (BEGINOFBAND + k STEP, or every channel of
// CHANMAP when the system's section has one) inside the band takes
// the power of the filter-bank channel it lies in.
//
// The search is over IQ already seen.  When the control channel has been
// silent for HELD_SECONDS less than the wait (HUNT), the blocks are held
// back from it and kept, and the first fifth of a second of them surveyed.
// Once the wait is over, the channel decoded so far is tried on the held
// IQ (it may have come back meanwhile), then the carriers, strongest
// first, each by a silent decoder of its own (probe.h); the first giving
// two system codewords is the control channel.  The held blocks then go
// to the control channel where it is cut now, so that what was sent on it
// while the search waited is decoded all the same, at its own time: a
// control channel that moved is decoded again from half a second before
// the wait is over.  Nothing here runs per sample but the filter bank and
// the copy of the held blocks.
#include "hunt.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>

#include <liquid/liquid.h>

#include "mpt1327/chanmap.h"
#include "mpt1327/event.h"
#include "mpt1327/mpt1327.h"
#include "probe.h"

namespace {

const double survey_seconds = 0.2;
const double held_seconds = 0.5;    // four or five slots of 128 bits
const unsigned codewords_needed = 2;
const size_t most_tried = 8;
const size_t most_scanned = 16;     // --all: carriers looked at in one survey
const double start_seconds = 1.5;   // at the start: no system codeword yet

enum hunt_state_t { WATCHING, SURVEYING, HOLDING, REPLAYING };  // SURVEYING: --all's

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
    unsigned long long until = 0;          // end of the survey
    std::vector<candidate_t> candidates;
    channel_plan_t plan;                   // the hunter's: the control channel's cut
    kept_iq_t held;                        // the blocks held back
    size_t replayed = 0;                   // of them given back
    const iq_sample_t* cursor = nullptr;   // the next one to give back
    double found = -1;                     // the control channel found (MHz)
    double median = 0;                     // power of the band's median channel
};

hunter_t h;
hunter_t scan;  // --all's surveys (all.cpp), apart from the hunter's

// The survey's steps below take the hunter they work for as h: the
// hunter's own, or scan.

// A survey from IQ sample from on.
void start_survey(hunter_t& h, unsigned long long from)
{
    std::fill(h.power.begin(), h.power.end(), 0.0);
    h.frames = 0;
    h.filled = 0;
    h.until = from + (unsigned long long)(survey_seconds * h.rate);
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
}

// A control channel found, of system sys, is said when it is not the one
// decoded before.  Said before the held IQ is decoded from it, its record
// carries the system the trial decoded.
void report_found(const candidate_t& c, double before, unsigned short sys)
{
    h.found = c.mhz;
    if (c.mhz == before)
        return;
    double level = 10 * std::log10((c.power + 1e-30) / (h.median + 1e-30));
    std::fprintf(stderr, "marrowit: control channel at %.4f MHz, system 0x%4.4x, level %.1f dB above the band's noise\n",
                 c.mhz, sys, level);
    event_t e;
    e.type = "control_channel";
    e.fields.push_back({"frequency", EVENT_REAL, 0, c.mhz, 4, ""});
    e.fields.push_back({"level", EVENT_REAL, 0, level, 1, ""});
    e.offset = input_seconds();
    e.sys = sys == 0xffff ? -1 : sys;
    event_deliver(e);
}

// The wait is over: where the control channel is now, from the held IQ.
// The held blocks are then given back (REPLAYING) whatever was found.
void decide()
{
    h.state = REPLAYING;
    h.replayed = 0;
    h.cursor = h.held.iq.data() + h.held.history;
    h.last_seen = h.samples;  // nothing found: look again after another wait
    const double before = h.found >= 0 ? h.found : control;
    if (before > 0 && sdr_in_band(before) &&
        probe_carrier(h.plan, h.held, before).system_codewords > 0)
        return;  // it came back
    choose_candidates(h, most_tried);
    // With --all, a control channel a further decoder has is tried last:
    // taken over, it would be decoded twice until that decoder gives it up.
    std::stable_partition(h.candidates.begin(), h.candidates.end(),
                          [](const candidate_t& c) { return !all_decodes(c.mhz); });
    for (const candidate_t& c : h.candidates) {
        if (c.mhz == before)
            continue;
        probe_result_t p = probe_carrier(h.plan, h.held, c.mhz);
        if (p.system_codewords >= codewords_needed) {
            report_found(c, before, p.sys);
            return;
        }
    }
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
    if (h.bank)
        firpfbch_crcf_destroy(h.bank);
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

int hunt_init(const channel_plan_t& plan)
{
    if (make_bank(h, plan.rate) != 0)
        return -1;
    h.plan = plan;
    return 0;
}

int hunt_scan_init(double rate)
{
    return make_bank(scan, rate);
}

void hunt_scan_start()
{
    if (!scan.bank)
        return;
    start_survey(scan, scan.samples);
    scan.state = SURVEYING;
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

double hunt_process(const iq_sample_t* block, int n, bool* held)
{
    *held = false;
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
    const double wait = system_codewords == 0 ? std::min(hunt, start_seconds) : hunt;
    const double silent = (double)(h.samples - h.last_seen) / h.rate;
    if (h.state == WATCHING && silent >= wait - held_seconds) {
        // From this block on the control channel waits.  The room is
        // taken when the first search needs it.
        h.state = HOLDING;
        kept_reserve(&h.held, h.plan, held_seconds + 0.05);  // and a few blocks' slack
        kept_begin(&h.held, h.plan, block, input_sample);
        start_survey(h, h.samples - (unsigned long long)n);
    }
    if (h.state == HOLDING) {
        bool room = kept_add(&h.held, block, n);
        *held = room;
        if (h.samples - (unsigned long long)n < h.until)
            survey(h, block, n);
        if (!room || (silent >= wait && h.samples >= h.until))
            decide();
    }
    return h.found;
}

bool hunt_replay(const iq_sample_t** block, int* n)
{
    if (h.state != REPLAYING)
        return false;
    if (h.replayed == h.held.blocks.size()) {
        h.state = WATCHING;
        return false;
    }
    *block = h.cursor;
    *n = h.held.blocks[h.replayed++];
    h.cursor += *n;
    return true;
}
