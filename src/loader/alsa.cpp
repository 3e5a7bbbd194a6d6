// ALSA, loaded when the sound card is opened (for capture, or for --play):
// a run on a recording, a pipe or UDP never maps it.
#include <alsa/asoundlib.h>

#include "loader/loaded.h"

static loaded_library_t alsa = {ALSA_SONAME, "ALSA", nullptr, false};

extern "C" {
LOADED_FORWARD(alsa, int, snd_lib_error_set_handler, (snd_lib_error_handler_t handler), (handler))
LOADED_FORWARD(alsa, const char*, snd_strerror, (int err), (err))
LOADED_FORWARD(alsa, int, snd_pcm_open,
               (snd_pcm_t * *pcm, const char* name, snd_pcm_stream_t stream, int mode),
               (pcm, name, stream, mode))
LOADED_FORWARD(alsa, size_t, snd_pcm_hw_params_sizeof, (void), ())
LOADED_FORWARD(alsa, int, snd_pcm_hw_params_any, (snd_pcm_t * pcm, snd_pcm_hw_params_t* hw), (pcm, hw))
LOADED_FORWARD(alsa, int, snd_pcm_hw_params_set_rate_resample,
               (snd_pcm_t * pcm, snd_pcm_hw_params_t* hw, unsigned int val), (pcm, hw, val))
LOADED_FORWARD(alsa, int, snd_pcm_hw_params_set_access,
               (snd_pcm_t * pcm, snd_pcm_hw_params_t* hw, snd_pcm_access_t access), (pcm, hw, access))
LOADED_FORWARD(alsa, int, snd_pcm_hw_params_set_format,
               (snd_pcm_t * pcm, snd_pcm_hw_params_t* hw, snd_pcm_format_t format), (pcm, hw, format))
LOADED_FORWARD(alsa, int, snd_pcm_hw_params_set_channels,
               (snd_pcm_t * pcm, snd_pcm_hw_params_t* hw, unsigned int val), (pcm, hw, val))
LOADED_FORWARD(alsa, int, snd_pcm_hw_params_set_rate,
               (snd_pcm_t * pcm, snd_pcm_hw_params_t* hw, unsigned int val, int dir), (pcm, hw, val, dir))
LOADED_FORWARD(alsa, int, snd_pcm_hw_params_set_period_size_near,
               (snd_pcm_t * pcm, snd_pcm_hw_params_t* hw, snd_pcm_uframes_t* val, int* dir),
               (pcm, hw, val, dir))
LOADED_FORWARD(alsa, int, snd_pcm_hw_params_set_buffer_size_near,
               (snd_pcm_t * pcm, snd_pcm_hw_params_t* hw, snd_pcm_uframes_t* val), (pcm, hw, val))
LOADED_FORWARD(alsa, int, snd_pcm_hw_params, (snd_pcm_t * pcm, snd_pcm_hw_params_t* hw), (pcm, hw))
LOADED_FORWARD(alsa, int, snd_pcm_prepare, (snd_pcm_t * pcm), (pcm))
LOADED_FORWARD(alsa, int, snd_pcm_start, (snd_pcm_t * pcm), (pcm))
LOADED_FORWARD(alsa, snd_pcm_state_t, snd_pcm_state, (snd_pcm_t * pcm), (pcm))
LOADED_FORWARD(alsa, snd_pcm_sframes_t, snd_pcm_readi,
               (snd_pcm_t * pcm, void* buffer, snd_pcm_uframes_t size), (pcm, buffer, size))
LOADED_FORWARD(alsa, int, snd_pcm_recover, (snd_pcm_t * pcm, int err, int silent), (pcm, err, silent))
// --play (src/play/play_alsa.cpp)
LOADED_FORWARD(alsa, int, snd_pcm_set_params,
               (snd_pcm_t * pcm, snd_pcm_format_t format, snd_pcm_access_t access,
                unsigned int channels, unsigned int rate, int soft_resample, unsigned int latency),
               (pcm, format, access, channels, rate, soft_resample, latency))
LOADED_FORWARD(alsa, snd_pcm_sframes_t, snd_pcm_writei,
               (snd_pcm_t * pcm, const void* buffer, snd_pcm_uframes_t size), (pcm, buffer, size))
LOADED_FORWARD(alsa, int, snd_pcm_drain, (snd_pcm_t * pcm), (pcm))
LOADED_FORWARD(alsa, int, snd_pcm_close, (snd_pcm_t * pcm), (pcm))
}
