// libsndfile, loaded when a recording is read or a call is recorded: with
// it come the codecs of FLAC, Ogg Vorbis, Opus and MPEG, which a run on a pipe,
// UDP or the sound card never needs.
#include <sndfile.h>

#include "loader/loaded.h"

static loaded_library_t sndfile = {SNDFILE_SONAME, "libsndfile", nullptr, false};

extern "C" {
LOADED_FORWARD(sndfile, SNDFILE*, sf_open, (const char* path, int mode, SF_INFO* info),
               (path, mode, info))
LOADED_FORWARD(sndfile, int, sf_close, (SNDFILE * file), (file))
LOADED_FORWARD(sndfile, int, sf_error, (SNDFILE * file), (file))
LOADED_FORWARD(sndfile, const char*, sf_strerror, (SNDFILE * file), (file))
LOADED_FORWARD(sndfile, int, sf_command, (SNDFILE * file, int command, void* data, int size),
               (file, command, data, size))
LOADED_FORWARD(sndfile, sf_count_t, sf_readf_float, (SNDFILE * file, float* ptr, sf_count_t frames),
               (file, ptr, frames))
LOADED_FORWARD(sndfile, sf_count_t, sf_write_float, (SNDFILE * file, const float* ptr, sf_count_t items),
               (file, ptr, items))
LOADED_FORWARD(sndfile, sf_count_t, sf_writef_short,
               (SNDFILE * file, const short* ptr, sf_count_t frames), (file, ptr, frames))
}
