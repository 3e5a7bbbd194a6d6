// DC removal: every source's samples pass here before the correlator.
//
// At 10800 samples per second the correlation window is 9 samples, one and
// a half cycles of 1800 Hz, so a DC offset leaks into that tone's sums and
// soon decides bits on its own.  The offset is estimated as the mean of each
// buffer (a tenth of a second), smoothed over buffers, and subtracted in
// whole sample steps.  The offset in use changes only when the estimate has
// moved three quarters of a step away from it.  The mean of a signal without
// DC stays within a few tenths of a step of 128 (the FFSK signal's own
// low-frequency content is bounded: successive 1800 Hz bits alternate in
// sign), so such a signal is passed on unchanged, sample for sample.
#include "audio.h"

#include <cstdint>

int audio_dc_remove = 1;

namespace {

const int FRAC = 16;                      // fixed point: sample steps * 65536
const std::int64_t ONE = std::int64_t(1) << FRAC;
const int MIN_SAMPLES = 256;              // shorter buffers do not move the estimate
// How far the estimate may stray from the offset in use before the offset
// follows it: more than half a step, so that an estimate wavering about a
// half step does not toggle the offset; less than one step less the mean's
// own wobble on a clean signal (a few tenths), so that after a disturbance
// (a burst of noise) the offset always comes back to 0 on a signal
// without DC.
const std::int64_t SLACK = ONE * 3 / 4;

bool started;
std::int64_t mean;  // smoothed mean of the input
int offset;         // whole steps subtracted

}  // namespace

void dc_reset()
{
    started = false;
    mean = 128 * ONE;
    offset = 0;
}

void dc_remove(unsigned char* samples, int n)
{
    if (n >= MIN_SAMPLES || (!started && n > 0)) {
        std::uint64_t sum = 0;
        for (int i = 0; i < n; i++)
            sum += samples[i];
        std::int64_t block = ((std::int64_t)sum << FRAC) / n;  // one division per buffer
        mean = started ? mean + (block - mean) / 2 : block;
        started = true;
        std::int64_t away = mean - (128 + offset) * ONE;
        if (away > SLACK || away < -SLACK)
            offset = (int)((mean + ONE / 2) >> FRAC) - 128;
    }
    if (offset == 0)
        return;
    const int d = offset;
    for (int i = 0; i < n; i++) {
        int v = samples[i] - d;
        samples[i] = (unsigned char)(v < 0 ? 0 : v > 255 ? 255 : v);
    }
}
