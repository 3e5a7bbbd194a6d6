// Audio files through libsndfile.
#include <sndfile.h>

#include <cstring>

#include "audio/samples.h"
#include "container.h"

int gen_write_container(const std::vector<float>& samples, const gen_audio_t& opt,
                        const std::string& kind, const std::string& path, std::string* error)
{
    SF_INFO info;
    std::memset(&info, 0, sizeof info);
    info.samplerate = (int)opt.rate;
    info.channels = opt.channels < 1 ? 1 : opt.channels;
    bool eight = false;
    if (kind == "wav") {
        info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_U8;
        eight = true;
    } else if (kind == "wav16") {
        info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    } else if (kind == "au") {
        info.format = SF_FORMAT_AU | SF_FORMAT_PCM_16;
    } else if (kind == "flac") {
        info.format = SF_FORMAT_FLAC | SF_FORMAT_PCM_16;
    } else if (kind == "aiff") {
        info.format = SF_FORMAT_AIFF | SF_FORMAT_PCM_S8;
        eight = true;
    } else {
        *error = "unknown output kind '" + kind + "'";
        return -1;
    }
    SNDFILE* sf = sf_open(path.c_str(), SFM_WRITE, &info);
    if (!sf) {
        *error = path + ": " + sf_strerror(nullptr);
        return -1;
    }
    // Quantise here, the same way for every container, and hand libsndfile
    // 16-bit values it stores without further rounding.
    std::vector<short> s(samples.size());
    for (size_t i = 0; i < samples.size(); i++)
        s[i] = eight ? (short)((sample_to_u8(samples[i]) - 128) * 256) : gen_to_s16(samples[i]);
    sf_count_t frames = (sf_count_t)(s.size() / (size_t)info.channels);
    bool ok = sf_writef_short(sf, s.data(), frames) == frames;
    ok = sf_close(sf) == 0 && ok;
    if (!ok) {
        *error = path + ": write failed";
        return -1;
    }
    return 0;
}
