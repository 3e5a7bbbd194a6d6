// Recordings: any file libsndfile reads (WAV, FLAC, AU, AIFF, ...), first
// channel only, converted to the run loop's rate.
#include <sndfile.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "audio.h"
#include "samples.h"

const int audio_can_read_files = 1;

static SNDFILE* file;
static SF_INFO info;
static const char* file_path;
static int numpts;
static std::vector<unsigned char> buffer;
static std::vector<float> frames;
static sample_queue_t queue;
static bool input_done;
static std::vector<float> mono;

// Rates a recording of FFSK at 1200 baud can sensibly have.
static const int min_rate = 1000, max_rate = 1000000;

int file_init(const char* path, audio_setup_t* setup)
{
    std::memset(&info, 0, sizeof info);
    file_path = path;
    std::FILE* probe = std::fopen(path, "rb");  // for the system's own reason
    if (!probe) {
        std::fprintf(stderr, "marrowit: %s: %s\n", path, std::strerror(errno));
        return -1;
    }
    std::fclose(probe);
    file = sf_open(path, SFM_READ, &info);
    if (!file) {
        std::fprintf(stderr, "marrowit: %s: %s\n", path, sf_strerror(nullptr));
        return -1;
    }
    if (info.channels < 1 || info.frames < 0) {
        std::fprintf(stderr, "marrowit: %s: no audio in this file\n", path);
        return -1;
    }
    if (info.samplerate < min_rate || info.samplerate > max_rate) {
        std::fprintf(stderr, "marrowit: %s: sample rate %d Hz is out of range (%d to %d)\n", path,
                     info.samplerate, min_rate, max_rate);
        return -1;
    }
    if (info.samplerate != setup->sample_rate) {
        const char* error = nullptr;
        queue.resampler = resampler_open(info.samplerate, setup->sample_rate, &error);
        if (!queue.resampler) {
            std::fprintf(stderr, "marrowit: %s: %s\n", path, error);
            return -1;
        }
    }
    numpts = setup->sample_rate / 10;
    setup->buffer_bytes = numpts;
    return 0;
}

int file_read_begin()
{
    buffer.assign((size_t)numpts, 128);
    input_done = false;
    return 0;
}

// Read and convert until a whole buffer is waiting or the file has ended.
static int fill()
{
    const sf_count_t chunk = 4096;
    mono.resize((size_t)chunk);
    while (!input_done && queue_size(&queue) < (size_t)numpts) {
        frames.resize((size_t)(chunk * info.channels));
        sf_count_t got = sf_readf_float(file, frames.data(), chunk);
        if (got < 0 || (got == 0 && sf_error(file) != SF_ERR_NO_ERROR)) {
            std::fprintf(stderr, "marrowit: %s: %s\n", file_path, sf_strerror(file));
            return -1;
        }
        if (got == 0) {
            input_done = true;
            queue_drain(&queue);
            break;
        }
        for (sf_count_t i = 0; i < got; i++)
            mono[(size_t)i] = frames[(size_t)(i * info.channels)];
        queue_push(&queue, mono.data(), (size_t)got);
    }
    return 0;
}

int file_read(unsigned char** data)
{
    if (fill() != 0)
        return 0;
    return queue_deliver(&queue, &buffer, data);
}

void file_close()
{
    if (file)
        sf_close(file);
    file = nullptr;
    queue_reset(&queue);
    audio_eof = 0;
}
