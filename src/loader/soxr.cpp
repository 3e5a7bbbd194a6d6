// libsoxr, loaded when samples come at another rate than 10800 Hz: with it
// comes the OpenMP runtime, which a run at the decoder's own rate never
// needs.
#include <soxr.h>

#include "loader/loaded.h"

static loaded_library_t soxr = {SOXR_SONAME, "libsoxr", nullptr, false};

extern "C" {
LOADED_FORWARD(soxr, soxr_t, soxr_create,
               (double in_rate, double out_rate, unsigned channels, soxr_error_t* error,
                const soxr_io_spec_t* io, const soxr_quality_spec_t* quality,
                const soxr_runtime_spec_t* runtime),
               (in_rate, out_rate, channels, error, io, quality, runtime))
LOADED_FORWARD(soxr, void, soxr_delete, (soxr_t s), (s))
LOADED_FORWARD(soxr, soxr_error_t, soxr_process,
               (soxr_t s, soxr_in_t in, size_t ilen, size_t* idone, soxr_out_t out, size_t olen,
                size_t* odone),
               (s, in, ilen, idone, out, olen, odone))
LOADED_FORWARD(soxr, soxr_io_spec_t, soxr_io_spec, (soxr_datatype_t itype, soxr_datatype_t otype),
               (itype, otype))
LOADED_FORWARD(soxr, soxr_quality_spec_t, soxr_quality_spec, (unsigned long recipe, unsigned long flags),
               (recipe, flags))
}
