// Raw samples on standard input: unsigned 8-bit or signed 16-bit little
// endian, mono, at any rate (converted to the run loop's rate).  The end of
// the input ends the program normally.  The first end-of-file is the end,
// even from a terminal, which would go on reading after it.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "audio.h"
#include "samples.h"
#include "stop.h"

static int numpts;
static std::vector<unsigned char> buffer;
static unsigned char chunk[8192];
static raw_input_t raw;
static sample_queue_t queue;
static bool passthrough;  // unsigned 8-bit at the run loop's rate: no conversion
static bool input_done;
static bool at_end;   // the first end-of-file or a request to stop
static bool failed;

void stdin_binary_mode();

int pipe_init(raw_format_t fmt, int rate, audio_setup_t* setup)
{
    raw = raw_input_t();
    raw.s16 = fmt == RAW_S16LE;
    if (rate <= 0) {
        std::fprintf(stderr, "marrowit: invalid sample rate %d\n", rate);
        return -1;
    }
    passthrough = fmt == RAW_U8 && rate == setup->sample_rate;
    if (rate != setup->sample_rate) {
        const char* error = nullptr;
        queue.resampler = resampler_open(rate, setup->sample_rate, &error);
        if (!queue.resampler) {
            std::fprintf(stderr, "marrowit: standard input: %s\n", error);
            return -1;
        }
    }
    stdin_binary_mode();
    numpts = setup->sample_rate / 10;
    setup->buffer_bytes = numpts;
    return 0;
}

int pipe_read_begin()
{
    buffer.assign((size_t)numpts, 128);
    input_done = false;
    at_end = false;
    failed = false;
    return 0;
}

static int read_error()
{
    std::fprintf(stderr, "marrowit: standard input: %s\n", std::strerror(errno));
    return 0;
}

// Read up to n bytes; after the first end-of-file only 0.
static size_t read_stdin(unsigned char* to, size_t n)
{
    if (at_end)
        return 0;
    return stop_read(stdin, to, n, &at_end, &failed);
}

// Unsigned 8-bit at 10800 Hz goes straight into the buffer.
static int read_direct(unsigned char** data)
{
    size_t n = read_stdin(buffer.data(), (size_t)numpts);
    if (n == 0) {
        if (failed)
            return read_error();
        audio_eof = 1;
        return 0;
    }
    *data = buffer.data();
    return (int)n;
}

int pipe_read(unsigned char** data)
{
    if (passthrough)
        return read_direct(data);

    while (!input_done && queue_size(&queue) < (size_t)numpts) {
        size_t got = read_stdin(chunk, sizeof chunk);
        if (got == 0) {
            if (failed)
                return read_error();
            input_done = true;
            queue_drain(&queue);
            break;
        }
        raw_push(&raw, &queue, chunk, got);
    }
    return queue_deliver(&queue, &buffer, data);
}
