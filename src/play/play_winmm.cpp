// --play through the Windows wave-out API: 16-bit mono at the rate asked
// for, in eight buffers of 50 ms handed to the device in turn.  "default"
// is the wave mapper (the system's default output); a number N is the N-th
// output device.  A write waits for the oldest buffer to come back.
#include <windows.h>
#include <mmsystem.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "play.h"

const int play_available = 1;

namespace {

const int BUFFERS = 8;
HWAVEOUT out;
WAVEHDR headers[BUFFERS];
std::vector<short> data[BUFFERS];
int per_buffer;  // samples
int next;        // the buffer filled next
int filled;      // samples in it so far

std::string error_text(MMRESULT r)
{
    char text[MAXERRORLENGTH] = "";
    waveOutGetErrorTextA(r, text, sizeof text);
    return text;
}

}  // namespace

int play_open(const char* device, int rate, std::string* error)
{
    UINT id = WAVE_MAPPER;
    if (std::strcmp(device, "default") != 0) {
        char* end = nullptr;
        long n = std::strtol(device, &end, 10);
        if (!*device || *end || n < 0 || n >= (long)waveOutGetNumDevs()) {
            *error = "no such output device (\"default\", or 0 to " +
                     std::to_string((long)waveOutGetNumDevs() - 1) + ")";
            return -1;
        }
        id = (UINT)n;
    }
    WAVEFORMATEX format;
    std::memset(&format, 0, sizeof format);
    format.wFormatTag = WAVE_FORMAT_PCM;
    format.nChannels = 1;
    format.nSamplesPerSec = (DWORD)rate;
    format.wBitsPerSample = 16;
    format.nBlockAlign = 2;
    format.nAvgBytesPerSec = (DWORD)rate * 2;
    MMRESULT r = waveOutOpen(&out, id, &format, 0, 0, CALLBACK_NULL);
    if (r != MMSYSERR_NOERROR) {
        *error = error_text(r);
        return -1;
    }
    per_buffer = rate / 20;
    for (int k = 0; k < BUFFERS; k++) {
        data[k].assign((size_t)per_buffer, 0);
        std::memset(&headers[k], 0, sizeof headers[k]);
        headers[k].dwFlags = WHDR_DONE;  // free
    }
    next = 0;
    filled = 0;
    return 0;
}

int play_write(const short* samples, int n, std::string* error)
{
    while (n > 0) {
        WAVEHDR* h = &headers[next];
        if (filled == 0) {
            while (!(h->dwFlags & WHDR_DONE))
                Sleep(5);
            if (h->dwFlags & WHDR_PREPARED)
                waveOutUnprepareHeader(out, h, sizeof *h);
        }
        int take = per_buffer - filled < n ? per_buffer - filled : n;
        std::memcpy(data[next].data() + filled, samples, (size_t)take * sizeof(short));
        filled += take;
        samples += take;
        n -= take;
        if (filled < per_buffer)
            break;
        std::memset(h, 0, sizeof *h);
        h->lpData = (LPSTR)data[next].data();
        h->dwBufferLength = (DWORD)(per_buffer * sizeof(short));
        MMRESULT r = waveOutPrepareHeader(out, h, sizeof *h);
        if (r == MMSYSERR_NOERROR)
            r = waveOutWrite(out, h, sizeof *h);
        if (r != MMSYSERR_NOERROR) {
            *error = error_text(r);
            h->dwFlags = WHDR_DONE;
            return -1;
        }
        next = (next + 1) % BUFFERS;
        filled = 0;
    }
    return 0;
}

void play_close()
{
    if (!out)
        return;
    for (WAVEHDR& h : headers) {
        while ((h.dwFlags & WHDR_PREPARED) && !(h.dwFlags & WHDR_DONE))
            Sleep(5);
        if (h.dwFlags & WHDR_PREPARED)
            waveOutUnprepareHeader(out, &h, sizeof h);
    }
    waveOutClose(out);
    out = nullptr;
}
