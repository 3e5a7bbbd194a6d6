// --all: every control channel of the band decoded at once.
//
// The first decoder is the program's own: the settings' control channel, or
// the one the hunter finds, shown on the console and the log, tuning the
// receiver.  Beside it, the band is surveyed (hunt.cpp's carrier test, on the
// raster of the first decoder's system) at the start and every
// RESURVEY_SECONDS; every carrier found that no decoder is cut at gets a
// further decoder: a decoder context of its own (mpt1327/decoder.h: framing,
// system identity and settings section, call tracker, statistics,
// recordings), a control channel cut at the carrier and a demodulator.
//
// A further decoder must decode its channel as the first would decode it
// alone, from the first sample: so the IQ of the survey is kept (0.2 s,
// 3.3 MB at 2048000 samples per second) and replayed, block by block as the
// first decoder had it, into each decoder the survey opens.  The
// first survey starts with the first sample, so a control channel present
// from the start gives the same records as when it is decoded alone (the
// wall clock aside).
//
// A carrier that gives no two system codewords within PROBE_SECONDS (a
// traffic channel, say) loses its decoder again, having said nothing.  A
// control channel that carries no system codeword for HUNT seconds (5 when
// HUNT=0) is taken to have moved or gone: its calls end ("timeout"), its
// last statistics are published, its decoder is closed and the band is
// surveyed again.  A further decoder on the frequency the first one comes to
// be cut at (its hunter found it) is closed the same way: the first decoder
// has it.
//
// Nothing here runs per sample but the survey's filter bank, and the
// further decoders themselves; the decoder contexts are switched once per
// block and decoder.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>

#include "audio/stop.h"
#include "channel.h"
#include "corr.h"
#include "events/output.h"
#include "hunt.h"
#include "mpt1327/calls.h"
#include "mpt1327/decoder.h"
#include "mpt1327/mpt1327.h"
#include "mpt1327/summary.h"
#include "sdr.h"

namespace {

const double PROBE_SECONDS = 1.5;      // as the hunter waits at the start
const double RESURVEY_SECONDS = 30;
const double KEPT_SECONDS = 0.25;      // room for the survey's 0.2 s and a block

struct further_t {
    int k = 0;                       // decoder context
    double mhz = 0;                  // where its control channel is cut
    channel_t* channel = nullptr;
    demod_chain_t* demod = nullptr;
    unsigned long long opened = 0;   // IQ sample it was opened at
    unsigned long long last_seen = 0;  // IQ sample of its last system codeword
    unsigned long long seen = 0;     // its system_codewords then
    bool confirmed = false;          // two system codewords: a control channel
};

channel_plan_t plan;
std::vector<further_t> further;
std::vector<float> audio;             // one block of a control channel's audio
std::vector<iq_sample_t> kept;        // history, then the survey's blocks
std::vector<int> kept_blocks;         // their sizes
std::vector<double> found;
bool surveying;
unsigned long long samples;           // IQ samples seen
unsigned long long next_survey;       // IQ sample at which the next survey starts

// One block into further decoder d (its context live).
void run_block(further_t& d, const iq_sample_t* block, int n)
{
    recorder_process(block, n);
    int count = channel_process(d.channel, block, n, audio.data());
    if (count > 0)
        demod_chain_block(d.demod, audio.data(), count);
    if (system_codewords != d.seen) {
        d.seen = system_codewords;
        d.last_seen = samples;
    }
}

// The end of a further decoder's input (its context live).
void finish(further_t& d, call_end_t why)
{
    demod_chain_end(d.demod);
    calls_end_all(why);
    events_stats_end();
}

void close_further(size_t i)
{
    further_t& d = further[i];
    decoder_close(d.k);
    channel_close(d.channel);
    demod_chain_close(d.demod);
    further.erase(further.begin() + (std::ptrdiff_t)i);
}

bool taken(double mhz, double first_mhz)
{
    if (std::fabs(mhz - first_mhz) < 1e-7)
        return true;
    for (const further_t& d : further)
        if (std::fabs(mhz - d.mhz) < 1e-7)
            return true;
    return false;
}

// A survey found carriers: a decoder for each that none is cut at, brought
// up to now with the survey's blocks.
void open_decoders(double first_mhz)
{
    const int hist = plan.taps1 - 1;
    for (double mhz : found) {
        if (taken(mhz, first_mhz) || !sdr_in_band(mhz))
            continue;
        further_t d;
        d.mhz = mhz;
        d.demod = demod_chain_open();
        if (!d.demod)
            continue;
        d.k = decoder_open();
        d.channel = channel_open(plan, sdr_offset_hz(mhz), 10800, false);
        d.opened = samples;
        d.last_seen = samples;
        decoder_switch(d.k);
        report_muted = true;
        d.seen = system_codewords;
        size_t at = (size_t)hist;
        for (int size : kept_blocks) {
            run_block(d, kept.data() + at, size);
            at += (size_t)size;
        }
        decoder_switch(0);
        further.push_back(d);
    }
}

}  // namespace

int all_init(const channel_plan_t& p)
{
    plan = p;
    // A survey from the first block; its IQ kept for the decoders it opens.
    kept.reserve((size_t)(plan.taps1 - 1) + (size_t)(KEPT_SECONDS * plan.rate) +
                 (size_t)plan.block);
    channel_t* probe = channel_open(plan, 0, 10800, false);
    audio.assign((size_t)channel_max_out(probe), 0.0f);
    channel_close(probe);
    return hunt_scan_init(plan.rate);
}

void all_process(const iq_sample_t* block, int n, double first_mhz)
{
    samples += (unsigned long long)n;
    const unsigned long long rate = (unsigned long long)plan.rate;
    const double quiet = hunt > 0 ? hunt : 5;
    for (size_t i = 0; i < further.size();) {
        further_t& d = further[i];
        decoder_switch(d.k);
        run_block(d, block, n);
        bool first_has_it = std::fabs(d.mhz - first_mhz) < 1e-7;
        if (!d.confirmed && system_codewords >= 2) {
            d.confirmed = true;
            std::fprintf(stderr, "marrowit: --all: control channel at %.4f MHz, system %s\n",
                         d.mhz, sys);
        }
        bool probe_failed = !d.confirmed && samples - d.opened >= PROBE_SECONDS * rate;
        bool gone = d.confirmed && (samples - d.last_seen >= quiet * rate || first_has_it);
        if (gone)
            finish(d, CALL_TIMEOUT);
        decoder_switch(0);
        if (probe_failed || gone) {
            close_further(i);
            if (gone && !surveying)
                next_survey = samples;  // look for where it went
            continue;
        }
        i++;
    }

    if (!surveying && samples - (unsigned long long)n >= next_survey) {
        surveying = true;
        hunt_scan_start();
        const int hist = plan.taps1 - 1;
        kept.assign(block - hist, block);
        kept_blocks.clear();
    }
    if (!surveying)
        return;
    if (kept.size() + (size_t)n <= kept.capacity()) {  // never grown on the way
        kept.insert(kept.end(), block, block + n);
        kept_blocks.push_back(n);
    }
    if (!hunt_scan_process(block, n, &found))
        return;
    open_decoders(first_mhz);
    surveying = false;
    next_survey = samples + (unsigned long long)(RESURVEY_SECONDS * rate);
}

void all_end()
{
    for (further_t& d : further) {
        decoder_switch(d.k);
        finish(d, stop_requested() ? CALL_STOPPED : CALL_INPUT_END);
        if (!summary_quiet)
            std::fprintf(stderr,
                         "marrowit: --all: %.4f MHz, system %s: %llu sync words, %llu codewords "
                         "passed, %llu failed\n",
                         d.mhz, sys, decode_counts.syncs, decode_counts.passed,
                         decode_counts.failed);
        decoder_switch(0);
    }
}

int all_count()
{
    return (int)further.size();
}
