// Dispatch of the three sample-source operations to the chosen backend.
#include "audio.h"

#include <cstdio>

#include "stop.h"

audio_source_t audio_source = {AUDIO_LIVE, nullptr, RAW_U8, 10800, nullptr};
int audio_eof = 0;

bool udp_split(const char* where, std::string* address, int* port)
{
    std::string s = where;
    size_t colon = s.rfind(':');
    std::string digits = colon == std::string::npos ? s : s.substr(colon + 1);
    *address = colon == std::string::npos ? "127.0.0.1" : s.substr(0, colon);
    if (address->size() > 2 && address->front() == '[' && address->back() == ']')
        *address = address->substr(1, address->size() - 2);
    if (address->empty() || digits.empty() || digits.size() > 5 ||
        digits.find_first_not_of("0123456789") != std::string::npos)
        return false;
    *port = std::stoi(digits);
    return *port >= 1 && *port <= 65535;
}

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
    case AUDIO_IQ:
        return iq_init(setup);
    case AUDIO_UDP:
        return udp_init(audio_source.path, audio_source.format, audio_source.rate, setup);
    default:
        return live_init(audio_source.device ? audio_source.device : device, setup);
    }
}

int audio_read_begin()
{
    dc_reset();
    std::string why;
    if (stop_catch(&why) != 0) {
        std::fprintf(stderr, "marrowit: cannot start: %s\n", why.c_str());
        return -1;
    }
    switch (audio_source.kind) {
    case AUDIO_FILE:
        return file_read_begin();
    case AUDIO_PIPE:
        return pipe_read_begin();
    case AUDIO_IQ:
        return iq_read_begin();
    case AUDIO_UDP:
        return udp_read_begin();
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
    case AUDIO_IQ:
        return iq_read(data);
    case AUDIO_UDP:
        return udp_read(data);
    default:
        return live_read(data);
    }
}

// Every source's samples pass DC removal on their way to the correlator,
// but for the control channel of IQ input: its channel removes DC itself,
// right after the FM discriminator, where a tuning error appears, and a
// second, slower tracker would only lag behind the first one as it settles.
//
// A request to stop ends every input as its end does.  The sources that wait
// for input (standard input, IQ recordings and pipes, an SDR, datagrams) end
// their wait at it and give what they already hold; a recording read from a
// file and the sound card end here.
int audio_read(unsigned char** data)
{
    bool stopping = stop_requested();
    if (stopping && (audio_source.kind == AUDIO_FILE || audio_source.kind == AUDIO_LIVE)) {
        audio_eof = 1;
        return 0;
    }
    int n = source_read(data);
    if (n == 0 && stopping)
        audio_eof = 1;
    if (n > 0 && audio_dc_remove && audio_source.kind != AUDIO_IQ)
        dc_remove(*data, n);
    return n;
}

int audio_read_float(float** data)
{
    bool stopping = stop_requested();
    int n = iq_read_float(data);
    if (n == 0 && stopping)
        audio_eof = 1;
    return n;
}
