// --all: every control channel of the band decoded at once.
//
// The first decoder is the program's own: the settings' control channel, or
// the one the hunter finds, shown on the console and the log, tuning the
// receiver.  Beside it, the band is surveyed (hunt.cpp's carrier test, on the
// raster of the first decoder's system) at the start and every
// RESURVEY_SECONDS, and the IQ from the survey's start is kept for
// KEPT_SECONDS (8.2 MB at 2048000 samples per second).  Every carrier found
// that no decoder is cut at is then tried: a silent decoder (event_silent:
// no records, no calls recorded) runs over the kept IQ.  A carrier that gave
// two system codewords of a system no decoder has yet gets a further
// decoder: a decoder context of its own (mpt1327/decoder.h: framing, system
// identity and settings section, call tracker, statistics, recordings), a
// control channel cut at the carrier and a demodulator, which runs over the
// kept IQ again, block by block as the first decoder had it, and then on
// with every block.
//
// So a further decoder decodes its channel as the first would decode it
// alone from the start of the survey that found it; the first survey starts
// with the first sample, so a control channel on the air from the start
// gives the same records and recordings as when it is decoded alone (the
// wall clock aside).  The system identity keeps one decoder per system: a
// strong carrier is also heard, weaker, through the next channels of the
// raster, and those are tried after it (strongest first) and left.  Traffic
// channels give no system codeword and are left too.
//
// A further control channel that carries no system codeword for HUNT
// seconds (5 when HUNT=0) is taken to have moved or gone: its calls end
// ("timeout"), its last statistics are published, its decoder is closed and
// the band is surveyed again.  A first decoder that has to search the band
// for its control channel gets the strongest one found (below); a further
// decoder on the frequency the first one comes to be cut at all the same
// is closed as a silent one is: the first decoder has it.
//
// Nothing here runs per sample but the survey's filter bank, and the
// decoders themselves; the decoder contexts are switched once per block and
// decoder.
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
#include "mpt1327/event.h"
#include "mpt1327/mpt1327.h"
#include "mpt1327/summary.h"
#include "probe.h"
#include "sdr.h"

namespace {

const double KEPT_SECONDS = 0.5;       // four or five slots: two system codewords
const double RESURVEY_SECONDS = 30;

struct further_t {
    carrier_decoder_t decoder;
    double mhz = 0;                  // where its control channel is cut
    unsigned short sys = 0xffff;     // its system identity
    unsigned long long last_seen = 0;  // IQ sample of its last system codeword
    unsigned long long seen = 0;     // its system_codewords then
};

channel_plan_t plan;
std::vector<further_t> further;
std::vector<float> audio;             // one block of a control channel's audio
kept_iq_t kept;                       // the IQ since the survey began
std::vector<double> found;            // the survey's carriers, MHz
enum { IDLE, SURVEYING, KEEPING } stage = IDLE;
unsigned long long samples;           // IQ samples seen
unsigned long long next_survey;       // IQ sample at which the next survey starts

// One block into further decoder d (its context live).
void run_block(further_t& d, const iq_sample_t* block, int n)
{
    recorder_process(block, n);
    carrier_decoder_block(&d.decoder, block, n, audio.data());
    if (system_codewords != d.seen) {
        d.seen = system_codewords;
        d.last_seen = samples;
    }
}

// A decoder on mhz, its context live, brought up to now with the kept IQ:
// false when it cannot be made.
bool start(further_t& d, double mhz)
{
    d.mhz = mhz;
    // Its input time is the first decoder's: it starts with the survey.
    if (!carrier_decoder_open(&d.decoder, plan, mhz, kept.input_time))
        return false;
    d.last_seen = samples;
    events_stats_restart();
    d.seen = system_codewords;
    return true;
}

void replay(further_t& d)
{
    kept_each(kept, [&](const iq_sample_t* block, int n) { run_block(d, block, n); });
}

// The end of a further decoder's input (its context live).
void finish(further_t& d, call_end_t why)
{
    demod_chain_end(d.decoder.demod);
    calls_end_all(why);
    events_stats_end();
}

bool taken(double mhz, double first_mhz)
{
    return std::fabs(mhz - first_mhz) < 1e-7 || all_decodes(mhz);
}

bool system_taken(unsigned short id, unsigned short first_sys)
{
    if (id == first_sys)
        return true;
    for (const further_t& d : further)
        if (d.sys == id)
            return true;
    return false;
}

// The survey's carriers, strongest first: each tried silently over the kept
// IQ, and a decoder for each new system.
void open_decoders(double first_mhz)
{
    const unsigned short first_sys = currentsys;  // decoder 0's, live now
    // A first decoder that has decoded nothing and has no carrier where it
    // is cut is about to search the band, strongest carrier first: the
    // strongest control channel is left to it, rather than decoded twice
    // until its search takes it over.
    bool first_searches = system_codewords == 0 && hunt > 0;
    for (double mhz : found)
        if (std::fabs(mhz - first_mhz) < 1e-7)
            first_searches = false;
    for (double mhz : found) {
        if (taken(mhz, first_mhz) || !sdr_in_band(mhz))
            continue;
        probe_result_t probe = probe_carrier(plan, kept, mhz);
        if (probe.system_codewords < 2 || system_taken(probe.sys, first_sys))
            continue;
        if (first_searches) {
            first_searches = false;
            continue;
        }
        further_t d;
        if (!start(d, mhz))
            continue;
        replay(d);
        d.sys = currentsys;
        std::fprintf(stderr, "marrowit: --all: control channel at %.4f MHz, system %s\n", d.mhz,
                     sys);
        decoder_switch(0);
        further.push_back(d);
    }
}

}  // namespace

int all_init(const channel_plan_t& p)
{
    plan = p;
    // The IQ from a survey's start is kept without growing on the way.
    kept_reserve(&kept, plan, KEPT_SECONDS);
    channel_t* probe = channel_open(plan, 0, 10800, false, CHANNEL_CONTROL);
    audio.assign((size_t)channel_max_out(probe), 0.0f);
    channel_close(probe);
    return hunt_scan_init(plan.rate);
}

void all_process(const iq_sample_t* block, int n, double first_mhz)
{
    samples += (unsigned long long)n;
    const double rate = plan.rate;
    const double quiet = hunt > 0 ? hunt : 5;
    for (size_t i = 0; i < further.size();) {
        further_t& d = further[i];
        decoder_switch(d.decoder.k);
        run_block(d, block, n);
        bool gone = (double)(samples - d.last_seen) >= quiet * rate ||
                    std::fabs(d.mhz - first_mhz) < 1e-7;
        if (gone)
            finish(d, CALL_TIMEOUT);
        decoder_switch(0);
        if (gone) {
            carrier_decoder_close(&d.decoder);
            further.erase(further.begin() + (std::ptrdiff_t)i);
            if (stage == IDLE)
                next_survey = samples;  // look for where it went
            continue;
        }
        i++;
    }

    if (stage == IDLE && samples - (unsigned long long)n >= next_survey) {
        stage = SURVEYING;
        hunt_scan_start();
        kept_begin(&kept, plan, block, input_sample);
    }
    if (stage == IDLE)
        return;
    kept_add(&kept, block, n);
    if (stage == SURVEYING && hunt_scan_process(block, n, &found))
        stage = KEEPING;
    if (stage != KEEPING || (double)kept_samples(kept) + plan.block <= KEPT_SECONDS * rate)
        return;
    open_decoders(first_mhz);
    stage = IDLE;
    next_survey = samples + (unsigned long long)(RESURVEY_SECONDS * rate);
}

void all_end()
{
    for (further_t& d : further) {
        decoder_switch(d.decoder.k);
        finish(d, stop_requested() ? CALL_STOPPED : CALL_INPUT_END);
        if (!summary_quiet)
            std::fprintf(stderr,
                         "marrowit: --all: %.4f MHz, system %s: %llu sync words, %llu codewords "
                         "passed, %llu failed\n",
                         d.mhz, sys, decode_counts.syncs, decode_counts.passed,
                         decode_counts.failed);
        decoder_switch(0);
        carrier_decoder_close(&d.decoder);
    }
    further.clear();
}

int all_count()
{
    return (int)further.size();
}

bool all_decodes(double mhz)
{
    for (const further_t& d : further)
        if (std::fabs(mhz - d.mhz) < 1e-7)
            return true;
    return false;
}
