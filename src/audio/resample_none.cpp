// Builds without a sample-rate converter take input at the run loop's rate only.
#include "samples.h"

struct resampler_t {
};

resampler_t* resampler_open(double, double, const char** error)
{
    *error = "this build cannot convert sample rates; give the input at 10800 Hz";
    return nullptr;
}

void resampler_process(resampler_t*, const float*, std::size_t, std::vector<float>*)
{
}

void resampler_close(resampler_t*)
{
}
