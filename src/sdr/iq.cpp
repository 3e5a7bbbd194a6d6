// The IQ sample source: blocks of about 10 ms of IQ from a recording or a
// device; the control channel of every block becomes the run loop's
// samples, and the calls being recorded are demodulated from the same block
// first, so that the control channel is never left.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>

#include "audio/samples.h"
#include "channel.h"
#include "hunt.h"
#include "mpt1327/mpt1327.h"
#include "sdr.h"

sdr_options_t sdr_options;
const int sdr_can_demodulate = 1;

static channel_plan_t plan;
static std::vector<iq_sample_t> iq;  // history (plan.taps1 - 1), then a block
static channel_t* control_channel;
static double tuned_control = -1;    // MHz the control channel is cut at
static bool control_outside;         // said that it lies outside the band
static std::vector<float> audio;
static std::vector<unsigned char> samples;
static bool live;
static double hunted = -1;          // MHz the hunter cuts the control channel at, or -1

double sdr_offset_hz(double mhz)
{
    return mhz * 1e6 / (1 + sdr_options.ppm * 1e-6) - sdr_options.center;
}

bool sdr_in_band(double mhz)
{
    return std::fabs(sdr_offset_hz(mhz)) + 12500 <= sdr_options.rate / 2;
}

std::string sdr_usable_band()
{
    double scale = (1 + sdr_options.ppm * 1e-6) / 1e6, half = sdr_options.rate / 2 - 12500;
    char text[160];
    std::snprintf(text, sizeof text,
                  "usable: %.4f to %.4f MHz, --center and --rate less 12.5 kHz at each edge%s",
                  (sdr_options.center - half) * scale, (sdr_options.center + half) * scale,
                  sdr_options.ppm != 0 ? ", corrected by --ppm" : "");
    return text;
}

// Follow CCHFREQUENCY (it changes with the settings section of a new
// system), or the control channel the hunter found or is trying.
static void tune_control()
{
    double wanted = hunted >= 0 ? hunted : control;
    if (wanted == tuned_control)
        return;
    tuned_control = wanted;
    if (hunted < 0 && !sdr_in_band(control)) {
        if (!control_outside)
            std::fprintf(stderr,
                         "marrowit: the control channel at %.4f MHz lies outside the captured "
                         "band (%s)\n",
                         control, sdr_usable_band().c_str());
        control_outside = true;
    } else {
        control_outside = false;
    }
    channel_retune(control_channel, sdr_offset_hz(wanted));
}

int iq_init(audio_setup_t* setup)
{
    if (channel_plan(&plan, sdr_options.rate) != 0) {
        std::fprintf(stderr, "marrowit: cannot demodulate IQ at %.0f samples per second\n",
                     sdr_options.rate);
        return -1;
    }
    live = sdr_options.path == nullptr;
    if (live) {
        if (soapy_open(sdr_options.device_args, sdr_options.rate, sdr_options.center,
                       sdr_options.gain_auto, sdr_options.gain) != 0)
            return -1;
    } else if (iq_file_open(sdr_options.path, sdr_options.format) != 0) {
        return -1;
    }
    iq.assign((size_t)(plan.taps1 - 1 + plan.block), iq_sample_t(0, 0));
    control_channel = channel_open(plan, 0, setup->sample_rate, false, CHANNEL_CONTROL);
    audio.assign((size_t)channel_max_out(control_channel), 0.0f);
    samples.assign(audio.size(), 128);
    setup->buffer_bytes = (int)samples.size();
    if (sdr_options.record_dir && recorder_start() != 0)
        return -1;
    if (sdr_options.play_device && player_start() != 0)
        return -1;
    if (sdr_options.all && all_init(plan) != 0)
        return -1;
    return hunt_init(plan);
}

int iq_read_begin()
{
    // The settings are read by now: cut the control channel where they say.
    tuned_control = -1;
    tune_control();
    return 0;
}

// The next block of the control channel's audio into audio, as the FM
// discriminator gives it (half of it is full scale): its sample count, 0 at
// the end or on failure.
static int iq_block()
{
    const int hist = plan.taps1 - 1;
    const int step = plan.d1 * plan.d2;
    for (;;) {
        tune_control();
        // What the hunter held back while it waited goes first, to the
        // control channel as it is cut now.
        const iq_sample_t* replayed;
        int held_n;
        if (hunt_replay(&replayed, &held_n)) {
            int count = channel_process(control_channel, replayed, held_n, audio.data());
            if (count > 0)
                return count;
            continue;
        }
        iq_sample_t* block = iq.data() + hist;
        int n = live ? soapy_read(block, plan.block) : iq_file_read(block, plan.block);
        if (n < 0)
            return 0;
        n -= n % step;  // the end of a recording: whole steps only
        if (n == 0) {
            audio_eof = 1;
            if (sdr_options.all)
                all_end();  // the further decoders end before the first
            return 0;
        }
        // The calls first: a GTC decoded from this block opens its channel
        // with the next one.
        recorder_process(block, n);
        player_process(block, n);
        bool held = false;
        hunted = hunt_process(block, n, &held);
        tune_control();
        if (sdr_options.all)
            all_process(block, n, tuned_control);
        int count = held ? 0 : channel_process(control_channel, block, n, audio.data());
        std::copy(iq.begin() + n, iq.begin() + n + hist, iq.begin());
        if (count > 0)
            return count;
    }
}

int iq_read(unsigned char** data)
{
    int count = iq_block();
    for (int i = 0; i < count; i++)
        samples[(size_t)i] = sample_to_u8(0.5f * audio[(size_t)i]);
    *data = samples.data();
    return count;
}

int iq_read_float(float** data)
{
    int count = iq_block();
    for (int i = 0; i < count; i++)
        audio[(size_t)i] *= 0.5f;
    *data = audio.data();
    return count;
}
