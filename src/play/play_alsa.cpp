// --play through ALSA: 16-bit mono, the plug layer converting to what the
// card takes, a tenth of a second of buffer in the card's ring.  An
// underrun (the call's audio came late) is recovered from silently: the
// next samples start the stream again.
#include <alsa/asoundlib.h>

#include "play.h"

const int play_available = 1;

static snd_pcm_t* pcm;

// alsa-lib's own messages on stderr are left out; the program says what
// failed in its own words.
static void quiet(const char*, int, const char*, int, const char*, ...)
{
}

int play_open(const char* device, int rate, std::string* error)
{
    snd_lib_error_set_handler(quiet);
    int err = snd_pcm_open(&pcm, device, SND_PCM_STREAM_PLAYBACK, 0);
    if (err < 0) {
        *error = snd_strerror(err);
        pcm = nullptr;
        return -1;
    }
    err = snd_pcm_set_params(pcm, SND_PCM_FORMAT_S16_LE, SND_PCM_ACCESS_RW_INTERLEAVED, 1,
                             (unsigned)rate, 1, 100000);
    if (err < 0) {
        *error = std::string("cannot play 16-bit mono at ") + std::to_string(rate) +
                 " Hz: " + snd_strerror(err);
        snd_pcm_close(pcm);
        pcm = nullptr;
        return -1;
    }
    return 0;
}

int play_write(const short* samples, int n, std::string* error)
{
    while (n > 0) {
        snd_pcm_sframes_t done = snd_pcm_writei(pcm, samples, (snd_pcm_uframes_t)n);
        if (done < 0)
            done = snd_pcm_recover(pcm, (int)done, 1);
        if (done < 0) {
            *error = snd_strerror((int)done);
            return -1;
        }
        samples += done;
        n -= (int)done;
    }
    return 0;
}

void play_close()
{
    if (!pcm)
        return;
    snd_pcm_drain(pcm);
    snd_pcm_close(pcm);
    pcm = nullptr;
}
