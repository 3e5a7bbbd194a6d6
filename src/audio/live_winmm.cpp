// Live capture on Windows through the multimedia wave-input interface: the
// system's default recording device (the device name is not used), unsigned
// 8-bit mono at the run loop's rate, into a ring of ten buffers of one tenth
// of a second each, all queued with the device.  The program learns that a
// buffer is full by polling its done flag every 100 ms; no callback, event
// or thread is involved.
//
// A finished buffer is copied out before its header goes back to the
// device, so the samples handed to the run loop are never overwritten while
// it works on them, however far behind it falls.
#include <windows.h>
#include <mmsystem.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "audio.h"

static const int iMaxHdr = 10;  // capture buffers in the ring

static int sampleRate;
static int NUMPTS;                 // bytes (samples) per buffer, sampleRate / 10
static HWAVEIN hWaveIn;
static WAVEHDR WaveInHdr[iMaxHdr];
static int iCurrInHdr;             // the buffer the next read returns
static unsigned char* samples;     // the copy handed to the run loop

// Failures go to standard error, each a line of its own: the program's
// fixed texts as they are, the system's texts naming the device.
static void message(const char* text)
{
    std::fprintf(stderr, "%s\n", text);  // the text as it is, not as a format
    std::fflush(stderr);
}

static void error_text(MMRESULT result)
{
    char text[256] = "";
    waveInGetErrorTextA(result, text, sizeof text);
    text[sizeof text - 1] = 0;
    std::fprintf(stderr, "marrowit: capture device 'default': %s\n", text);
    std::fflush(stderr);
}

// The driver writes dwFlags and dwBytesRecorded behind the program's back:
// read them from memory at every test.
static DWORD volatile_read(const DWORD* field)
{
    return *(const volatile DWORD*)field;
}

static void arm(WAVEHDR* hdr)
{
    hdr->dwBufferLength = (DWORD)NUMPTS;
    hdr->dwBytesRecorded = 0;
    hdr->dwUser = 0;
    hdr->dwFlags = 0;
    hdr->dwLoops = 0;
}

int live_init(const char*, audio_setup_t* setup)
{
    sampleRate = setup->sample_rate;
    NUMPTS = sampleRate / 10;

    if (waveInGetNumDevs() == 0) {
        message("No recording devices found");
        return -1;
    }

    WAVEFORMATEX format;
    format.wFormatTag = WAVE_FORMAT_PCM;
    format.nChannels = 1;
    format.nSamplesPerSec = (DWORD)sampleRate;
    format.nAvgBytesPerSec = (DWORD)sampleRate;
    format.nBlockAlign = 1;
    format.wBitsPerSample = 8;
    format.cbSize = 0;

    // Only a format the device cannot take ends here; any other answer
    // (a busy device, say) is left to the real open to report.
    MMRESULT result = waveInOpen(&hWaveIn, WAVE_MAPPER, &format, 0, 0, WAVE_FORMAT_QUERY);
    if (result == WAVERR_BADFORMAT) {
        error_text(result);
        return -1;
    }

    // The NT family is asked to deliver the samples without conversion; the
    // 95 family (top bit of the version set) gets the default open.
    DWORD flags = (GetVersion() & 0x80000000u) ? CALLBACK_NULL : WAVE_FORMAT_DIRECT;
    result = waveInOpen(&hWaveIn, WAVE_MAPPER, &format, 0, 0, flags);
    if (result != MMSYSERR_NOERROR) {
        error_text(result);
        return -1;
    }
    setup->buffer_bytes = NUMPTS;
    return 0;
}

int live_read_begin()
{
    samples = (unsigned char*)std::malloc((size_t)NUMPTS);
    if (!samples) {
        message("Out of memory!");
        return -1;
    }
    for (int i = 0; i < iMaxHdr; i++) {
        char* buffer = (char*)std::malloc((size_t)NUMPTS);
        if (!buffer) {
            message("Out of memory!");
            return -1;
        }
        WAVEHDR* hdr = &WaveInHdr[i];
        hdr->lpData = buffer;
        arm(hdr);
        waveInPrepareHeader(hWaveIn, hdr, sizeof(WAVEHDR));
        if (waveInAddBuffer(hWaveIn, hdr, sizeof(WAVEHDR)) != MMSYSERR_NOERROR) {
            message("Sound buffer error");
            return -1;
        }
    }
    if (waveInStart(hWaveIn) != MMSYSERR_NOERROR) {
        message("Failed to read sound data");
        return -1;
    }
    iCurrInHdr = 0;
    return 0;
}

int live_read(unsigned char** data)
{
    WAVEHDR* hdr = &WaveInHdr[iCurrInHdr];
    while (!(volatile_read(&hdr->dwFlags) & WHDR_DONE))
        Sleep(100);
    std::atomic_thread_fence(std::memory_order_acquire);  // the samples are complete
    waveInUnprepareHeader(hWaveIn, hdr, sizeof(WAVEHDR));

    int n = (int)volatile_read(&hdr->dwBytesRecorded);
    if (n > NUMPTS)
        n = NUMPTS;
    std::memcpy(samples, hdr->lpData, (size_t)n);

    arm(hdr);
    waveInPrepareHeader(hWaveIn, hdr, sizeof(WAVEHDR));
    if (waveInAddBuffer(hWaveIn, hdr, sizeof(WAVEHDR)) != MMSYSERR_NOERROR) {
        message("Sound buffer error");
        return 0;
    }
    iCurrInHdr += 1;
    if (iCurrInHdr > iMaxHdr - 1)
        iCurrInHdr = 0;
    *data = samples;
    return n;
}
