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

bool carrier_decoder_open(carrier_decoder_t* d, const channel_plan_t& plan, double mhz,
                          unsigned long long input_time)
{
    d->demod = demod_chain_open(input_time);
    if (!d->demod)
        return false;
    d->channel = channel_open(plan, sdr_offset_hz(mhz), 10800, false, CHANNEL_CONTROL);
    d->k = decoder_open();
    decoder_switch(d->k);
    report_muted = true;
    input_sample = input_time;
    return true;
}

void carrier_decoder_block(carrier_decoder_t* d, const iq_sample_t* block, int n, float* audio)
{
    int count = channel_process(d->channel, block, n, audio);
    if (count > 0)
        demod_chain_block(d->demod, audio, count);
}

void carrier_decoder_close(carrier_decoder_t* d)
{
    decoder_close(d->k);
    channel_close(d->channel);
    demod_chain_close(d->demod);
}

probe_result_t probe_carrier(const channel_plan_t& plan, const kept_iq_t& kept, double mhz)
{
    probe_result_t result;
    const int before = decoder_current();
    carrier_decoder_t d;
    if (!carrier_decoder_open(&d, plan, mhz, kept.input_time))
        return result;
    event_silent = true;
    std::vector<float> audio((size_t)channel_max_out(d.channel));
    const unsigned long long seen = system_codewords;
    kept_each(kept, [&](const iq_sample_t* block, int n) {
        carrier_decoder_block(&d, block, n, audio.data());
    });
    result.system_codewords = system_codewords - seen;
    result.sys = currentsys;
    decoder_switch(before);
    carrier_decoder_close(&d);
    return result;
}
