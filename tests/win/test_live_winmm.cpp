// Live capture through WINMM.
//
// The program itself runs against the real wave-input interface (under Wine
// on a machine without a sound card there is no recording device).  The
// capture module is exercised in process against a scripted wave-input
// device: this test program binds the module's imports of waveInGetNumDevs,
// waveInOpen, waveInPrepareHeader, waveInUnprepareHeader, waveInAddBuffer
// and waveInStart to the functions below (a MinGW program calls an imported
// function through its __imp_ pointer, and a definition here takes
// precedence over the import library).  waveInGetErrorTextA stays real.
#include <windows.h>
#include <mmsystem.h>
#include <fcntl.h>
#include <io.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <deque>
#include <random>
#include <set>
#include <thread>

#include "audio/audio.h"
#include "harness.h"

namespace {

const int PERIOD = 1080;

// The scripted device: it records from `source`, a byte at a time in order.
struct fake_device_t {
    UINT devices = 1;
    MMRESULT query_result = MMSYSERR_NOERROR;
    MMRESULT open_result = MMSYSERR_NOERROR;
    MMRESULT start_result = MMSYSERR_NOERROR;
    int fail_add = -1;             // this call of waveInAddBuffer (0 = the first) fails
    bool eager = true;             // fills a buffer the moment it is queued, once started
    std::vector<size_t> recorded;  // bytes recorded into the k-th filled buffer (default: all)

    std::string source;
    size_t pos = 0;
    int adds = 0;
    int fills = 0;
    bool started = false;
    std::deque<WAVEHDR*> queue;
    std::vector<DWORD> open_flags;
    std::vector<UINT> open_devices;
    std::vector<WAVEFORMATEX> formats;
    std::set<WAVEHDR*> headers;
};

fake_device_t dev;
const HWAVEIN HANDLE_VALUE = (HWAVEIN)(intptr_t)0x5157;

// The device finishes the oldest queued buffer.
void fill_next()
{
    WAVEHDR* h = dev.queue.front();
    dev.queue.pop_front();
    size_t n = std::min<size_t>(h->dwBufferLength, dev.source.size() - dev.pos);
    if ((size_t)dev.fills < dev.recorded.size())
        n = std::min(n, dev.recorded[(size_t)dev.fills]);
    std::memcpy(h->lpData, dev.source.data() + dev.pos, n);
    dev.pos += n;
    dev.fills++;
    h->dwBytesRecorded = (DWORD)n;
    h->dwFlags = (h->dwFlags & ~WHDR_INQUEUE) | WHDR_DONE;
}

UINT WINAPI fake_waveInGetNumDevs()
{
    return dev.devices;
}

MMRESULT WINAPI fake_waveInOpen(LPHWAVEIN phwi, UINT device, LPCWAVEFORMATEX format,
                                DWORD_PTR callback, DWORD_PTR instance, DWORD flags)
{
    EXPECT_EQ(callback, 0u);
    EXPECT_EQ(instance, 0u);
    dev.open_flags.push_back(flags);
    dev.open_devices.push_back(device);
    dev.formats.push_back(*format);
    if (flags & WAVE_FORMAT_QUERY)
        return dev.query_result;
    if (dev.open_result == MMSYSERR_NOERROR)
        *phwi = HANDLE_VALUE;
    return dev.open_result;
}

MMRESULT WINAPI fake_waveInPrepareHeader(HWAVEIN h, LPWAVEHDR hdr, UINT size)
{
    if (h != HANDLE_VALUE || size != sizeof(WAVEHDR))
        return MMSYSERR_INVALPARAM;
    hdr->dwFlags |= WHDR_PREPARED;
    return MMSYSERR_NOERROR;
}

MMRESULT WINAPI fake_waveInUnprepareHeader(HWAVEIN h, LPWAVEHDR hdr, UINT size)
{
    if (h != HANDLE_VALUE || size != sizeof(WAVEHDR))
        return MMSYSERR_INVALPARAM;
    if (hdr->dwFlags & WHDR_INQUEUE)
        return WAVERR_STILLPLAYING;
    hdr->dwFlags &= ~WHDR_PREPARED;
    return MMSYSERR_NOERROR;
}

MMRESULT WINAPI fake_waveInAddBuffer(HWAVEIN h, LPWAVEHDR hdr, UINT size)
{
    if (h != HANDLE_VALUE || size != sizeof(WAVEHDR))
        return MMSYSERR_INVALPARAM;
    if (dev.adds++ == dev.fail_add)
        return MMSYSERR_NOMEM;
    if (!(hdr->dwFlags & WHDR_PREPARED))
        return WAVERR_UNPREPARED;
    EXPECT_EQ(hdr->dwFlags, (DWORD)WHDR_PREPARED);  // re-armed: done flag clear
    EXPECT_EQ(hdr->dwBytesRecorded, 0u);
    dev.headers.insert(hdr);
    hdr->dwFlags |= WHDR_INQUEUE;
    dev.queue.push_back(hdr);
    if (dev.started && dev.eager)
        fill_next();
    return MMSYSERR_NOERROR;
}

MMRESULT WINAPI fake_waveInStart(HWAVEIN h)
{
    if (h != HANDLE_VALUE)
        return MMSYSERR_INVALHANDLE;
    if (dev.start_result != MMSYSERR_NOERROR)
        return dev.start_result;
    dev.started = true;
    while (dev.eager && !dev.queue.empty())
        fill_next();
    return MMSYSERR_NOERROR;
}

// What this process writes on stream while f runs.
template <class F>
std::string output_of(FILE* stream, F f)
{
    temp_dir_t dir;
    std::string path = dir.file("output.txt");
    std::fflush(stream);
    int saved = _dup(_fileno(stream));
    int fd = _open(path.c_str(), _O_CREAT | _O_TRUNC | _O_WRONLY | _O_BINARY, 0600);
    _dup2(fd, _fileno(stream));
    _close(fd);
    f();
    std::fflush(stream);
    _dup2(saved, _fileno(stream));
    _close(saved);
    return read_file(path);
}

// Failures are said on standard error; nothing reaches standard output.
template <class F>
std::string stderr_of(F f)
{
    std::string printed;
    EXPECT_EQ(output_of(stdout, [&]() { printed = output_of(stderr, f); }), "");
    return without_cr(printed);
}

std::string random_bytes(size_t n, unsigned seed)
{
    std::mt19937 rng(seed);
    std::string s(n, '\0');
    for (char& c : s)
        c = (char)(rng() & 0xff);
    return s;
}

std::string system_text(MMRESULT code)
{
    char text[256] = "";
    waveInGetErrorTextA(code, text, sizeof text);
    return text;
}

class WinmmCapture : public ::testing::Test {
protected:
    void SetUp() override { dev = fake_device_t(); }

    // audio_init's result and what it printed.
    int init(std::string* printed)
    {
        setup = {0, 1, 10800, 0};
        int r = 0;
        *printed = stderr_of([&]() { r = live_init("/dev/dsp", &setup); });
        return r;
    }

    void open_and_start()
    {
        std::string printed;
        ASSERT_EQ(init(&printed), 0);
        ASSERT_EQ(stderr_of([]() { ASSERT_EQ(live_read_begin(), 0); }), "");
    }

    audio_setup_t setup;
};

}  // namespace

// The module's imports, bound to the scripted device.
extern "C" {
decltype(&waveInGetNumDevs) __imp_waveInGetNumDevs = fake_waveInGetNumDevs;
decltype(&waveInOpen) __imp_waveInOpen = fake_waveInOpen;
decltype(&waveInPrepareHeader) __imp_waveInPrepareHeader = fake_waveInPrepareHeader;
decltype(&waveInUnprepareHeader) __imp_waveInUnprepareHeader = fake_waveInUnprepareHeader;
decltype(&waveInAddBuffer) __imp_waveInAddBuffer = fake_waveInAddBuffer;
decltype(&waveInStart) __imp_waveInStart = fake_waveInStart;
}

TEST_F(WinmmCapture, OpensTheDefaultDeviceForEightBitMono)
{
    std::string printed;
    ASSERT_EQ(init(&printed), 0);
    EXPECT_EQ(printed, "");
    EXPECT_EQ(setup.buffer_bytes, PERIOD);
    ASSERT_EQ(dev.open_flags.size(), 2u);
    EXPECT_EQ(dev.open_flags[0], (DWORD)WAVE_FORMAT_QUERY);
    // No conversion asked of the NT family; the 95 family opens plainly.
    DWORD direct = (GetVersion() & 0x80000000u) ? 0 : WAVE_FORMAT_DIRECT;
    EXPECT_EQ(dev.open_flags[1], direct);
    for (size_t i = 0; i < 2; i++) {
        EXPECT_EQ(dev.open_devices[i], WAVE_MAPPER);
        const WAVEFORMATEX& f = dev.formats[i];
        EXPECT_EQ(f.wFormatTag, WAVE_FORMAT_PCM);
        EXPECT_EQ(f.nChannels, 1);
        EXPECT_EQ(f.nSamplesPerSec, 10800u);
        EXPECT_EQ(f.nAvgBytesPerSec, 10800u);
        EXPECT_EQ(f.nBlockAlign, 1);
        EXPECT_EQ(f.wBitsPerSample, 8);
        EXPECT_EQ(f.cbSize, 0);
    }
}

// The device here runs ahead of the program: it refills a buffer the
// moment the program hands it back.  Every read must still return the
// samples of its own tenth of a second, in capture order, across several
// turns of the ring.
TEST_F(WinmmCapture, ReadsBuffersInCaptureOrderWhileTheDeviceRefillsThem)
{
    dev.source = random_bytes(35 * PERIOD, 5);
    open_and_start();
    EXPECT_EQ(dev.headers.size(), 10u);
    std::set<char*> buffers;
    for (WAVEHDR* h : dev.headers) {
        EXPECT_EQ(h->dwBufferLength, (DWORD)PERIOD);
        buffers.insert(h->lpData);
    }
    EXPECT_EQ(buffers.size(), 10u);
    for (int k = 0; k < 25; k++) {
        unsigned char* data = nullptr;
        ASSERT_EQ(live_read(&data), PERIOD) << "read " << k;
        EXPECT_EQ(std::string((const char*)data, PERIOD), dev.source.substr((size_t)k * PERIOD, PERIOD))
            << "read " << k;
    }
    EXPECT_EQ(dev.headers.size(), 10u);  // the same ten headers, re-armed
}

TEST_F(WinmmCapture, PartlyFilledBufferGivesItsRecordedCount)
{
    dev.source = random_bytes(3 * PERIOD, 6);
    dev.recorded = {PERIOD, 300, PERIOD};
    open_and_start();
    unsigned char* data = nullptr;
    ASSERT_EQ(live_read(&data), PERIOD);
    ASSERT_EQ(live_read(&data), 300);
    EXPECT_EQ(std::string((const char*)data, 300), dev.source.substr(PERIOD, 300));
    ASSERT_EQ(live_read(&data), PERIOD);
    EXPECT_EQ(std::string((const char*)data, PERIOD), dev.source.substr(PERIOD + 300, PERIOD));
}

TEST_F(WinmmCapture, EmptyBufferEndsCaptureSilently)
{
    dev.source = random_bytes(PERIOD, 7);
    dev.recorded = {PERIOD, 0};
    open_and_start();
    unsigned char* data = nullptr;
    ASSERT_EQ(live_read(&data), PERIOD);
    int n = -1;
    EXPECT_EQ(stderr_of([&]() { n = live_read(&data); }), "");
    EXPECT_EQ(n, 0);
}

// The program polls the done flag; here the device finishes the first
// buffer a while after capture started.
TEST_F(WinmmCapture, WaitsForTheDeviceToFinishABuffer)
{
    dev.source = random_bytes(PERIOD, 8);
    dev.eager = false;
    open_and_start();
    std::thread device([]() {
        Sleep(250);
        fill_next();
    });
    unsigned char* data = nullptr;
    int n = live_read(&data);
    device.join();
    ASSERT_EQ(n, PERIOD);
    EXPECT_EQ(std::string((const char*)data, PERIOD), dev.source);
}

TEST_F(WinmmCapture, FailuresPrintTheirMessage)
{
    std::string printed;
    dev.devices = 0;
    EXPECT_EQ(init(&printed), -1);
    EXPECT_EQ(printed, "No recording devices found\n");
    EXPECT_TRUE(dev.open_flags.empty());

    // A format the device refuses: the system's text, as it is.
    dev = fake_device_t();
    dev.query_result = WAVERR_BADFORMAT;
    EXPECT_EQ(init(&printed), -1);
    EXPECT_EQ(printed, "marrowit: capture device 'default': " + system_text(WAVERR_BADFORMAT) + "\n");
    EXPECT_FALSE(system_text(WAVERR_BADFORMAT).empty());
    EXPECT_EQ(dev.open_flags.size(), 1u);  // never opened

    // Any other answer to the query is left to the real open.
    dev = fake_device_t();
    dev.query_result = MMSYSERR_ALLOCATED;
    EXPECT_EQ(init(&printed), 0);
    EXPECT_EQ(printed, "");
    dev = fake_device_t();
    dev.query_result = MMSYSERR_ALLOCATED;
    dev.open_result = MMSYSERR_ALLOCATED;
    EXPECT_EQ(init(&printed), -1);
    EXPECT_EQ(printed, "marrowit: capture device 'default': " + system_text(MMSYSERR_ALLOCATED) + "\n");

    dev = fake_device_t();
    dev.fail_add = 3;
    ASSERT_EQ(init(&printed), 0);
    int r = 0;
    EXPECT_EQ(stderr_of([&]() { r = live_read_begin(); }), "Sound buffer error\n");
    EXPECT_EQ(r, -1);

    dev = fake_device_t();
    dev.start_result = MMSYSERR_NOMEM;
    ASSERT_EQ(init(&printed), 0);
    EXPECT_EQ(stderr_of([&]() { r = live_read_begin(); }), "Failed to read sound data\n");
    EXPECT_EQ(r, -1);

    // A buffer that cannot be queued again after a read.
    dev = fake_device_t();
    dev.source = random_bytes(20 * PERIOD, 9);
    dev.fail_add = 12;
    ASSERT_EQ(init(&printed), 0);
    ASSERT_EQ(stderr_of([&]() { r = live_read_begin(); }), "");
    unsigned char* data = nullptr;
    ASSERT_EQ(live_read(&data), PERIOD);
    ASSERT_EQ(live_read(&data), PERIOD);
    EXPECT_EQ(stderr_of([&]() { r = live_read(&data); }), "Sound buffer error\n");
    EXPECT_EQ(r, 0);
}

// The real program on a machine without a recording device.
TEST(WinmmProgram, NoRecordingDeviceEndsTheProgram)
{
    // With a sound card the program would listen until stopped.
    if (!std::getenv("MARROWIT_NO_SOUND_CARD"))
        GTEST_SKIP() << "set MARROWIT_NO_SOUND_CARD=1 where there is no recording device";
    temp_dir_t dir;
    run_result_t r = run_program(marrowit_path(), {}, dir.path);
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(without_cr(r.err), "No recording devices found\n");
}
