// Dispatch of the three sample-source operations to the chosen backend.
#include "audio.h"

audio_source_t audio_source = {AUDIO_LIVE, nullptr, RAW_U8, 10800, nullptr};
int audio_eof = 0;

int audio_end_of_input()
{
    return audio_eof;
}

int audio_init(char* device, audio_setup_t* setup)
{
    switch (audio_source.kind) {
    case AUDIO_FILE:
        return file_init(audio_source.path, setup);
    case AUDIO_PIPE:
        return pipe_init(audio_source.format, audio_source.rate, setup);
    default:
        return live_init(audio_source.device ? audio_source.device : device, setup);
    }
}

int audio_read_begin()
{
    dc_reset();
    switch (audio_source.kind) {
    case AUDIO_FILE:
        return file_read_begin();
    case AUDIO_PIPE:
        return pipe_read_begin();
    default:
        return live_read_begin();
    }
}

static int source_read(unsigned char** data)
{
    switch (audio_source.kind) {
    case AUDIO_FILE:
        return file_read(data);
    case AUDIO_PIPE:
        return pipe_read(data);
    default:
        return live_read(data);
    }
}

int audio_read(unsigned char** data)
{
    int n = source_read(data);
    if (n > 0 && audio_dc_remove)
        dc_remove(*data, n);
    return n;
}
