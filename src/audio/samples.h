// Turning recorded or piped audio into the run loop's samples: first
// channel only, rate conversion where the input rate differs, and unsigned
// 8-bit quantisation with 128 as the zero level.
#pragma once

#include <cstddef>
#include <vector>

// x in [-1, 1) to 128 + x * 128, rounded to the nearest step and clipped to
// 0..255.  Exact for 8-bit input (x = (s - 128) / 128) and maps 16-bit
// input s to its top byte, rounded.
unsigned char sample_to_u8(float x);

// Sample-rate conversion, one file per implementation.
struct resampler_t;
// 0 and a message in *error when the conversion cannot be made.
resampler_t* resampler_open(double in_rate, double out_rate, const char** error);
void resampler_close(resampler_t* r);
// Convert n input samples, appending the output to *out; with in = 0 and
// n = 0 the converter is drained of what it still holds.
void resampler_process(resampler_t* r, const float* in, std::size_t n, std::vector<float>* out);

// Queue of converted samples waiting for the run loop, fed with float
// samples at the input rate.
struct sample_queue_t {
    resampler_t* resampler = nullptr;  // 0 when the input is at the run loop's rate
    std::vector<unsigned char> queued;
    std::size_t head = 0;
    std::vector<float> converted;
};

void queue_push(sample_queue_t* q, const float* in, std::size_t n);
void queue_drain(sample_queue_t* q);  // end of input: flush the converter
std::size_t queue_size(const sample_queue_t* q);
// Move up to max samples into dst; returns how many.
std::size_t queue_take(sample_queue_t* q, unsigned char* dst, std::size_t max);
// The last step of every queued source's read: move up to buffer->size()
// samples into the buffer and point *data at it; their count, or 0 with
// audio_eof set when the queue is empty at the end of the input.
int queue_deliver(sample_queue_t* q, std::vector<unsigned char>* buffer, unsigned char** data);
// Release the converter and empty the queue.
void queue_reset(sample_queue_t* q);

// Raw samples arriving as bytes in pieces of any size (reads of a pipe,
// datagrams): unsigned 8-bit or signed 16-bit little endian, converted to
// floats and pushed into a queue.  The bytes of a sample split between two
// pieces wait for the rest.
struct raw_input_t {
    bool s16 = false;                 // signed 16-bit little endian, else unsigned 8-bit
    std::vector<unsigned char> carry;  // the start of a split sample
    std::vector<float> input;
};
void raw_push(raw_input_t* r, sample_queue_t* q, const unsigned char* bytes, std::size_t n);
