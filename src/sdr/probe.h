// IQ kept from the band for a while, and silent trials of a carrier over it.
//
// A search of the band (the hunter, --all's surveys) keeps the IQ blocks it
// looked at, with the history the channel filters need before the first.
// A carrier is then tried by a decoder of its own that only listens: a
// decoder context (mpt1327/decoder.h) started as every decoder starts, a
// control channel cut at the carrier and the run loop's demodulator, fed
// the kept blocks as they came.  Nothing it decodes reaches the console,
// the log or a sink, and it opens no call; what it leaves is how many system
// codewords it decoded and of which system.
#pragma once

#include <vector>

#include "channel.h"
#include "sdr.h"

struct kept_iq_t {
    std::vector<iq_sample_t> iq;  // the history, then the blocks one after the other
    std::vector<int> blocks;      // their sizes
    int history = 0;              // samples before the first block
    unsigned long long input_time = 0;  // the run loop's input time at the first block
};

// Room for seconds of IQ (allocated once), emptied.
void kept_reserve(kept_iq_t* k, const channel_plan_t& plan, double seconds);
// Keep from block on: history samples before block are kept with it.
void kept_begin(kept_iq_t* k, const channel_plan_t& plan, const iq_sample_t* block,
                unsigned long long input_time);
// One more block: false (nothing kept) when there is no room left.
bool kept_add(kept_iq_t* k, const iq_sample_t* block, int n);
// IQ samples kept (the history aside).
size_t kept_samples(const kept_iq_t& k);
// f(block, n) for each kept block in turn, oldest first.
template <class F>
void kept_each(const kept_iq_t& k, F f)
{
    const iq_sample_t* at = k.iq.data() + k.history;
    for (int n : k.blocks) {
        f(at, n);
        at += n;
    }
}

// A decoder of its own on a carrier (--all's further control channels, and
// the trials below): a decoder context started as every decoder starts, its
// console and log muted, a control channel cut at the carrier and the run
// loop's demodulator, its input time running on from input_time.
struct demod_chain_t;
struct carrier_decoder_t {
    int k = 0;  // decoder context
    channel_t* channel = nullptr;
    demod_chain_t* demod = nullptr;
};
// Opened, its context made live: false when it cannot be made.
bool carrier_decoder_open(carrier_decoder_t* d, const channel_plan_t& plan, double mhz,
                          unsigned long long input_time);
// One block of IQ through it (its context live); audio has room for the
// channel's most output (channel_max_out).
void carrier_decoder_block(carrier_decoder_t* d, const iq_sample_t* block, int n, float* audio);
// Closed (its context not live).
void carrier_decoder_close(carrier_decoder_t* d);

struct probe_result_t {
    unsigned long long system_codewords = 0;
    unsigned short sys = 0xffff;  // the identity of the last system codeword
};

// The kept IQ decoded at mhz by a silent decoder of its own, which is closed
// again; the decoder running before is running after.
probe_result_t probe_carrier(const channel_plan_t& plan, const kept_iq_t& kept, double mhz);
