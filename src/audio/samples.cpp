#include "samples.h"

#include "audio.h"

#include <cstring>

unsigned char sample_to_u8(float x)
{
    double v = (double)x * 128.0 + 128.5;
    if (!(v >= 1.0))  // also NaN
        return 0;
    if (v >= 255.0)
        return 255;
    return (unsigned char)(int)v;  // truncation is floor for positive values
}

static void queue_append(sample_queue_t* q, const float* in, std::size_t n)
{
    if (q->head > 0 && q->head == q->queued.size()) {
        q->queued.clear();
        q->head = 0;
    } else if (q->head > 65536) {
        q->queued.erase(q->queued.begin(), q->queued.begin() + (std::ptrdiff_t)q->head);
        q->head = 0;
    }
    std::size_t at = q->queued.size();
    q->queued.resize(at + n);
    unsigned char* out = q->queued.data() + at;
    for (std::size_t i = 0; i < n; i++)
        out[i] = sample_to_u8(in[i]);
}

void queue_push(sample_queue_t* q, const float* in, std::size_t n)
{
    if (!q->resampler) {
        queue_append(q, in, n);
        return;
    }
    q->converted.clear();
    resampler_process(q->resampler, in, n, &q->converted);
    queue_append(q, q->converted.data(), q->converted.size());
}

void queue_drain(sample_queue_t* q)
{
    if (!q->resampler)
        return;
    q->converted.clear();
    resampler_process(q->resampler, nullptr, 0, &q->converted);
    queue_append(q, q->converted.data(), q->converted.size());
}

std::size_t queue_size(const sample_queue_t* q)
{
    return q->queued.size() - q->head;
}

int queue_deliver(sample_queue_t* q, std::vector<unsigned char>* buffer, unsigned char** data)
{
    std::size_t n = queue_take(q, buffer->data(), buffer->size());
    if (n == 0) {
        audio_eof = 1;
        return 0;
    }
    *data = buffer->data();
    return (int)n;
}

std::size_t queue_take(sample_queue_t* q, unsigned char* dst, std::size_t max)
{
    std::size_t n = queue_size(q);
    if (n > max)
        n = max;
    if (n)
        std::memcpy(dst, q->queued.data() + q->head, n);
    q->head += n;
    return n;
}

void queue_reset(sample_queue_t* q)
{
    if (q->resampler)
        resampler_close(q->resampler);
    *q = sample_queue_t();
}

void raw_push(raw_input_t* r, sample_queue_t* q, const unsigned char* bytes, std::size_t n)
{
    if (!r->s16) {
        if (n == 0)
            return;
        r->input.resize(n);
        for (std::size_t i = 0; i < n; i++)
            r->input[i] = (float)((bytes[i] - 128) / 128.0);
        queue_push(q, r->input.data(), n);
        return;
    }
    r->input.clear();
    if (!r->carry.empty() && n > 0) {
        r->input.push_back((float)((short)(r->carry[0] | bytes[0] << 8) / 32768.0));
        r->carry.clear();
        bytes++;
        n--;
    }
    std::size_t whole = n / 2;
    std::size_t at = r->input.size();
    r->input.resize(at + whole);
    for (std::size_t i = 0; i < whole; i++)
        r->input[at + i] = (float)((short)(bytes[2 * i] | bytes[2 * i + 1] << 8) / 32768.0);
    if (n % 2)
        r->carry.assign(1, bytes[n - 1]);
    if (!r->input.empty())  // no samples must not look like the end of input to the converter
        queue_push(q, r->input.data(), r->input.size());
}
