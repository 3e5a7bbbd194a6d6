// Sample-rate conversion with libsoxr, streaming.
#include <soxr.h>

#include "samples.h"

struct resampler_t {
    soxr_t soxr;
    double ratio;
};

resampler_t* resampler_open(double in_rate, double out_rate, const char** error)
{
    soxr_error_t err = nullptr;
    soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
    soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
    soxr_t s = soxr_create(in_rate, out_rate, 1, &err, &io, &quality, nullptr);
    if (!s || err) {
        *error = err ? err : "cannot convert the sample rate";
        return nullptr;
    }
    return new resampler_t{s, out_rate / in_rate};
}

void resampler_close(resampler_t* r)
{
    soxr_delete(r->soxr);
    delete r;
}

void resampler_process(resampler_t* r, const float* in, std::size_t n, std::vector<float>* out)
{
    // Drained in rounds until soxr has nothing more for this input.
    std::size_t room = (std::size_t)((double)n * r->ratio) + 1024;
    std::size_t done_in = 0;
    for (;;) {
        std::size_t base = out->size();
        out->resize(base + room);
        std::size_t used = 0, made = 0;
        soxr_process(r->soxr, in ? in + done_in : nullptr, in ? n - done_in : 0, &used,
                     out->data() + base, room, &made);
        out->resize(base + made);
        done_in += used;
        if (made < room && (!in || done_in >= n))
            break;
    }
}
