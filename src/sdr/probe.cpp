// IQ kept from the band, and silent trials of a carrier (see probe.h).
#include "probe.h"

#include "corr.h"
#include "mpt1327/decoder.h"
#include "mpt1327/event.h"
#include "mpt1327/mpt1327.h"

void kept_reserve(kept_iq_t* k, const channel_plan_t& plan, double seconds)
{
    size_t want = (size_t)(plan.taps1 - 1) + (size_t)(seconds * plan.rate) + (size_t)plan.block;
    if (k->iq.capacity() < want)
        k->iq.reserve(want);
    k->iq.clear();
    k->blocks.clear();
}

void kept_begin(kept_iq_t* k, const channel_plan_t& plan, const iq_sample_t* block,
                unsigned long long input_time)
{
    k->history = plan.taps1 - 1;
    k->iq.assign(block - k->history, block);
    k->blocks.clear();
    k->input_time = input_time;
}

bool kept_add(kept_iq_t* k, const iq_sample_t* block, int n)
{
    if (k->iq.size() + (size_t)n > k->iq.capacity())
        return false;
    k->iq.insert(k->iq.end(), block, block + n);
    k->blocks.push_back(n);
    return true;
}

size_t kept_samples(const kept_iq_t& k)
{
    return k.iq.size() - (size_t)k.history;
}

probe_result_t probe_carrier(const channel_plan_t& plan, const kept_iq_t& kept, double mhz)
{
    probe_result_t result;
    demod_chain_t* demod = demod_chain_open(kept.input_time);
    if (!demod)
        return result;
    channel_t* channel = channel_open(plan, sdr_offset_hz(mhz), 10800, false, CHANNEL_CONTROL);
    std::vector<float> audio((size_t)channel_max_out(channel));
    const int before = decoder_current();
    const int k = decoder_open();
    decoder_switch(k);
    report_muted = true;
    event_silent = true;
    input_sample = kept.input_time;
    const unsigned long long seen = system_codewords;
    const iq_sample_t* at = kept.iq.data() + kept.history;
    for (int n : kept.blocks) {
        int count = channel_process(channel, at, n, audio.data());
        if (count > 0)
            demod_chain_block(demod, audio.data(), count);
        at += n;
    }
    result.system_codewords = system_codewords - seen;
    result.sys = currentsys;
    decoder_switch(before);
    decoder_close(k);
    channel_close(channel);
    demod_chain_close(demod);
    return result;
}
