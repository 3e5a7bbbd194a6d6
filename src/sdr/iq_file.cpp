// Raw IQ recordings (or "-", standard input): interleaved I and Q, as unsigned 8-bit pairs (the
// RTL-SDR's own format, 127.5 the zero level), signed 16-bit little-endian
// pairs, or 32-bit floats.
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

#include "audio/stop.h"
#include "sdr.h"

static FILE* file;
static const char* file_path;
static iq_format_t file_format;
static std::vector<unsigned char> raw;
static float level_u8[256];
static unsigned long long samples_read;
static unsigned long long bad_samples;

// A float capture can hold what no receiver gives: a NaN, an infinity, or a
// value so large (a corrupt file, a glitch of the program that wrote it)
// that the channel filters' sums overflow and every later output is NaN.
// Such a sample is silence instead; the filters then forget it within their
// length.  Captures are scaled to about 1 (some programs use 32768).
const float absurd_level = 1e6f;

static void replace_bad_samples(iq_sample_t* s, int n)
{
    for (int i = 0; i < n; i++) {
        if (std::fabs(s[i].real()) <= absurd_level && std::fabs(s[i].imag()) <= absurd_level)
            continue;
        if (bad_samples++ == 0)
            std::fprintf(stderr,
                         "marrowit: %s: bad IQ sample (not a number, infinite or absurdly large) "
                         "at %.3f s replaced by 0, as are any later ones\n",
                         file_path, (double)(samples_read + (unsigned long long)i) / sdr_options.rate);
        s[i] = iq_sample_t(0, 0);
    }
}

void stdin_binary_mode();

int iq_file_open(const char* path, iq_format_t format)
{
    if (std::strcmp(path, "-") == 0) {  // a pipe from the SDR's own program
        stdin_binary_mode();
        file = stdin;
        path = "standard input";
    } else {
        file = std::fopen(path, "rb");
    }
    if (!file) {
        std::fprintf(stderr, "marrowit: %s: %s\n", path, std::strerror(errno));
        return -1;
    }
    file_path = path;
    file_format = format;
    samples_read = 0;
    bad_samples = 0;
    for (int i = 0; i < 256; i++)
        level_u8[i] = (float)((i - 127.5) / 127.5);
    return 0;
}

static size_t sample_bytes()
{
    switch (file_format) {
    case IQ_CU8:
        return 2;
    case IQ_CS16:
        return 4;
    default:
        return 8;
    }
}

int iq_file_read(iq_sample_t* out, int n)
{
    const size_t width = sample_bytes();
    if (raw.size() < (size_t)n * width)
        raw.resize((size_t)n * width);  // once: blocks are all the same size
    bool ended = false, failed = false;
    size_t got = stop_read(file, raw.data(), (size_t)n * width, &ended, &failed);
    if (failed) {
        std::fprintf(stderr, "marrowit: %s: %s\n", file_path, std::strerror(errno));
        return -1;
    }
    int count = (int)(got / width);  // a trailing partial sample is dropped
    const unsigned char* b = raw.data();
    switch (file_format) {
    case IQ_CU8:
        for (int i = 0; i < count; i++)
            out[i] = iq_sample_t(level_u8[b[2 * i]], level_u8[b[2 * i + 1]]);
        break;
    case IQ_CS16:
        for (int i = 0; i < count; i++) {
            short re = (short)(b[4 * i] | b[4 * i + 1] << 8);
            short im = (short)(b[4 * i + 2] | b[4 * i + 3] << 8);
            out[i] = iq_sample_t(re * (1.0f / 32768), im * (1.0f / 32768));
        }
        break;
    default:
        std::memcpy((void*)out, b, (size_t)count * 8);
        replace_bad_samples(out, count);
        break;
    }
    if (count == 0 && bad_samples > 1)
        std::fprintf(stderr, "marrowit: %s: %llu bad IQ samples replaced by 0\n", file_path,
                     bad_samples);
    samples_read += (unsigned long long)count;
    return count;
}

void iq_file_close()
{
    if (file && file != stdin)
        std::fclose(file);
    file = nullptr;
}
