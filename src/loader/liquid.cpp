// liquid-dsp, loaded for IQ input: the functions the channels use.
#include <liquid/liquid.h>

#include "loader/loaded.h"

static loaded_library_t liquid = {LIQUID_SONAME, "liquid-dsp", nullptr, false};

extern "C" {
LOADED_FORWARD(liquid, unsigned int, estimate_req_filter_len, (float df, float as), (df, as))
LOADED_FORWARD(liquid, int, liquid_firdes_kaiser,
               (unsigned int n, float fc, float as, float mu, float* h), (n, fc, as, mu, h))
LOADED_FORWARD(liquid, iirfilt_rrrf, iirfilt_rrrf_create_dc_blocker, (float alpha), (alpha))
LOADED_FORWARD(liquid, int, iirfilt_rrrf_destroy, (iirfilt_rrrf q), (q))
LOADED_FORWARD(liquid, int, iirfilt_rrrf_execute_block,
               (iirfilt_rrrf q, float* x, unsigned int n, float* y), (q, x, n, y))
LOADED_FORWARD(liquid, msresamp_rrrf, msresamp_rrrf_create, (float r, float as), (r, as))
LOADED_FORWARD(liquid, msresamp_rrrf, msresamp_rrrf_copy, (msresamp_rrrf q), (q))
LOADED_FORWARD(liquid, int, msresamp_rrrf_destroy, (msresamp_rrrf q), (q))
LOADED_FORWARD(liquid, int, msresamp_rrrf_execute,
               (msresamp_rrrf q, float* x, unsigned int nx, float* y, unsigned int* ny),
               (q, x, nx, y, ny))
LOADED_FORWARD(liquid, freqdem, freqdem_create, (float kf), (kf))
LOADED_FORWARD(liquid, int, freqdem_destroy, (freqdem q), (q))
LOADED_FORWARD(liquid, int, freqdem_demodulate_block,
               (freqdem q, liquid_float_complex* r, unsigned int n, float* m), (q, r, n, m))
LOADED_FORWARD(liquid, nco_crcf, nco_crcf_create, (liquid_ncotype type), (type))
LOADED_FORWARD(liquid, int, nco_crcf_destroy, (nco_crcf q), (q))
LOADED_FORWARD(liquid, int, nco_crcf_mix_block_down,
               (nco_crcf q, liquid_float_complex* x, liquid_float_complex* y, unsigned int n),
               (q, x, y, n))
LOADED_FORWARD(liquid, int, nco_crcf_set_frequency, (nco_crcf q, float dtheta), (q, dtheta))
// The hunter's channelizer.
LOADED_FORWARD(liquid, firpfbch_crcf, firpfbch_crcf_create_kaiser,
               (int type, unsigned int m, unsigned int p, float as), (type, m, p, as))
LOADED_FORWARD(liquid, int, firpfbch_crcf_destroy, (firpfbch_crcf q), (q))
LOADED_FORWARD(liquid, int, firpfbch_crcf_analyzer_execute,
               (firpfbch_crcf q, liquid_float_complex* x, liquid_float_complex* y), (q, x, y))
}
