// Live capture on Linux through ALSA: unsigned 8-bit mono at the run loop's
// rate, with ALSA's ring holding ten periods of one tenth of a second each,
// so that one second of audio absorbs a stall of the run loop (a receiver
// command, a slow log write).  Each read blocks until one full period has
// been captured and copies it into the program's own buffer.
//
// The run loop names the device "/dev/dsp"; that, or no name, means ALSA's
// "default" device.  --device chooses any other PCM (hw:1, plughw:1,0,
// pulse, ...).  Format and rate conversion by the plug layer is allowed, so
// cards that cannot record 8-bit mono at 10800 Hz natively still work
// through "default" or plughw.
#include <alsa/asoundlib.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "audio.h"

static const int iMaxHdr = 10;  // periods in ALSA's capture ring

static snd_pcm_t* pcm;
static const char* pcm_name;    // the device as the user knows it
static int sampleRate;
static int NUMPTS;              // samples per read, sampleRate / 10
static unsigned char* buffer;   // the samples handed to the run loop

// alsa-lib reports on stderr on its own ("cannot find card '0'", "Unknown
// PCM default"); the program says what went wrong in its own words.
static void quiet(const char*, int, const char*, int, const char*, ...)
{
}

// Failures go to standard error, each a line of its own: the program's
// fixed texts as they are, anything else naming the device.
static void message(const char* text)
{
    std::fprintf(stderr, "%s\n", text);
    std::fflush(stderr);
}

static void device_message(const char* what, const char* why)
{
    std::fprintf(stderr, "marrowit: capture device '%s': %s%s%s\n", pcm_name, what,
                 *what ? ": " : "", why);
    std::fflush(stderr);
}

static int fail(int err)
{
    device_message("", snd_strerror(err));
    return -1;
}

int live_init(const char* device, audio_setup_t* setup)
{
    sampleRate = setup->sample_rate;
    NUMPTS = sampleRate / 10;
    snd_lib_error_set_handler(quiet);

    const char* name = device;
    if (!name || !*name || std::strcmp(name, "/dev/dsp") == 0)
        name = "default";
    pcm_name = name;

    int err = snd_pcm_open(&pcm, name, SND_PCM_STREAM_CAPTURE, 0);
    if (err < 0) {
        pcm = nullptr;
        if (std::strcmp(name, "default") == 0 && (err == -ENOENT || err == -ENODEV)) {
            device_message("", "No recording devices found");
            return -1;
        }
        return fail(err);
    }

    snd_pcm_hw_params_t* hw;
    snd_pcm_hw_params_alloca(&hw);
    if ((err = snd_pcm_hw_params_any(pcm, hw)) < 0)
        return fail(err);
    if ((err = snd_pcm_hw_params_set_rate_resample(pcm, hw, 1)) < 0 ||
        (err = snd_pcm_hw_params_set_access(pcm, hw, SND_PCM_ACCESS_RW_INTERLEAVED)) < 0 ||
        (err = snd_pcm_hw_params_set_format(pcm, hw, SND_PCM_FORMAT_U8)) < 0 ||
        (err = snd_pcm_hw_params_set_channels(pcm, hw, 1)) < 0 ||
        (err = snd_pcm_hw_params_set_rate(pcm, hw, (unsigned)sampleRate, 0)) < 0) {
        char what[80];
        std::snprintf(what, sizeof what, "cannot deliver unsigned 8-bit mono at %d Hz",
                      sampleRate);
        device_message(what, snd_strerror(err));
        return -1;
    }
    snd_pcm_uframes_t period = (snd_pcm_uframes_t)NUMPTS;
    snd_pcm_uframes_t ring = period * iMaxHdr;
    int dir = 0;
    if ((err = snd_pcm_hw_params_set_period_size_near(pcm, hw, &period, &dir)) < 0 ||
        (err = snd_pcm_hw_params_set_buffer_size_near(pcm, hw, &ring)) < 0 ||
        (err = snd_pcm_hw_params(pcm, hw)) < 0)
        return fail(err);

    setup->buffer_bytes = NUMPTS;
    return 0;
}

int live_read_begin()
{
    buffer = (unsigned char*)std::malloc((size_t)NUMPTS);
    if (!buffer) {
        message("Out of memory!");
        return -1;
    }
    int err = snd_pcm_prepare(pcm);
    if (err >= 0)
        err = snd_pcm_start(pcm);
    if (err < 0) {
        message("Failed to read sound data");
        return -1;
    }
    return 0;
}

int live_read(unsigned char** data)
{
    // Silence where nothing arrives, rather than the previous samples again.
    std::memset(buffer, 128, (size_t)NUMPTS);
    snd_pcm_uframes_t got = 0;
    while (got < (snd_pcm_uframes_t)NUMPTS) {
        snd_pcm_sframes_t n = snd_pcm_readi(pcm, buffer + got, (snd_pcm_uframes_t)NUMPTS - got);
        if (n >= 0) {
            got += (snd_pcm_uframes_t)n;
            continue;
        }
        if (n == -EAGAIN || n == -EINTR)
            continue;
        if (n == -EPIPE)
            std::fprintf(stderr, "marrowit: capture overrun: audio was lost while the program "
                                 "was busy\n");
        // An overrun or a suspended device: start capturing again.
        int err = snd_pcm_recover(pcm, (int)n, 1);
        if (err >= 0 && snd_pcm_state(pcm) != SND_PCM_STATE_RUNNING)
            err = snd_pcm_start(pcm);
        if (err < 0) {
            fail(err);
            return 0;
        }
    }
    *data = buffer;
    return NUMPTS;
}
