// liquid-dsp, loaded for IQ input: the functions the channels use.
#include <liquid/liquid.h>

#include "loader/loaded.h"

static loaded_library_t liquid = {LIQUID_SONAME, "liquid-dsp", nullptr, false};

extern "C" {
LOADED_FORWARD(liquid, iirfilt_rrrf, iirfilt_rrrf_create_dc_blocker, (float alpha), (alpha))
LOADED_FORWARD(liquid, int, iirfilt_rrrf_destroy, (iirfilt_rrrf q), (q))
LOADED_FORWARD(liquid, int, iirfilt_rrrf_execute_block,
               (iirfilt_rrrf q, float* x, unsigned int n, float* y), (q, x, n, y))
// The hunter's channelizer.
LOADED_FORWARD(liquid, firpfbch_crcf, firpfbch_crcf_create_kaiser,
               (int type, unsigned int m, unsigned int p, float as), (type, m, p, as))
LOADED_FORWARD(liquid, int, firpfbch_crcf_destroy, (firpfbch_crcf q), (q))
LOADED_FORWARD(liquid, int, firpfbch_crcf_analyzer_execute,
               (firpfbch_crcf q, liquid_float_complex* x, liquid_float_complex* y), (q, x, y))
}
