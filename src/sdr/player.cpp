// --play: the followed call on the sound card, as a scanner plays it.
//
// The player listens to the call tracker.  Of the calls the TARGET rules
// follow, the newest one is played: a newer followed call takes the sound
// card from an older one, and when the call played ends the newest followed
// call still open (if any) is played again.  Its traffic channel is cut out
// of every block of IQ, as the recorder cuts it (channel.h, with the
// squelch: no carrier is silence), at 16000 Hz, half of full scale for the
// full deviation; between calls the player writes silence, so what reaches
// the sound card keeps the input's time.
//
// The samples go through a ring of two seconds to a thread of the player's
// own that writes them to the sound card (src/play/).  Decoding never waits
// for the card: a block that does not fit in the ring (a card that stopped
// taking samples, or is slower than the input) is dropped and counted, and
// the end of the input says how much was dropped.
//
// An IQ recording (iq:FILE) is read as fast as the machine allows without
// --play; with it, it is read at the pace it was captured at, so that the
// calls sound as they did on the air (a minute of capture takes a minute).
// Standard input (iq:-) and SDRs already come at that pace.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "channel.h"
#include "mpt1327/calls.h"
#include "mpt1327/chanmap.h"
#include "mpt1327/decoder.h"
#include "mpt1327/event.h"
#include "play/play.h"
#include "sdr.h"

namespace {

const int play_rate = 16000;
const size_t ring_size = 2 * play_rate;  // two seconds

channel_plan_t plan;
bool started;
channel_t* playing;          // the call's channel, or null: silence
unsigned playing_channel;
std::vector<float> audio;
std::vector<short> pcm;
std::set<unsigned> said_outside;
unsigned long long iq_in;    // IQ samples seen
unsigned long long out;      // samples written to the ring or dropped

// The ring between the decoder and the player's thread.
std::vector<short> ring(ring_size);
std::atomic<unsigned long long> written{0}, taken{0};
std::mutex lock;
std::condition_variable wake, drained;
bool ending;                 // the input ended: play what is left, then stop
bool finished;               // the thread has stopped
std::atomic<bool> dead{false};  // the sound card failed: nothing more is queued
std::string device_error;
unsigned long long dropped;
// Never destroyed: a program that ends without at_end (a read error) must
// not find a thread still joinable.
std::thread* worker;

// Pacing of a recording: the wall-clock time of its first block.
bool paced;
std::chrono::steady_clock::time_point began;

void thread_main()
{
    std::vector<short> chunk((size_t)play_rate / 10);
    for (;;) {
        {
            std::unique_lock<std::mutex> g(lock);
            // The decoder notifies without the lock: a wake-up missed
            // between the test and the wait costs at most a block.
            wake.wait_for(g, std::chrono::milliseconds(20),
                          [] { return written > taken || ending; });
            if (written == taken && !ending)
                continue;
            if (written == taken && ending)
                break;
        }
        unsigned long long from = taken, to = written;
        size_t n = (size_t)std::min<unsigned long long>(to - from, chunk.size());
        for (size_t i = 0; i < n; i++)
            chunk[i] = ring[(size_t)((from + i) % ring_size)];
        taken = from + n;
        std::string why;
        if (play_write(chunk.data(), (int)n, &why) != 0) {
            device_error = why;
            dead = true;
            break;
        }
    }
    play_close();
    std::lock_guard<std::mutex> g(lock);
    finished = true;
    drained.notify_all();
}

void queue(const short* s, size_t n)
{
    if (dead)
        return;
    if (ring_size - (size_t)(written - taken) < n) {
        dropped += n;
        return;
    }
    unsigned long long w = written;
    for (size_t i = 0; i < n; i++)
        ring[(size_t)((w + i) % ring_size)] = s[i];
    written = w + n;
    wake.notify_one();
}

// x in [-1, 1] to 16 bits, rounded and clipped.
short to_s16(float x)
{
    float v = x * 32768.0f;
    v = v > 32767.0f ? 32767.0f : v < -32768.0f ? -32768.0f : v;
    return (short)(v + (v >= 0 ? 0.5f : -0.5f));
}

bool playable(const call_t& c)
{
    if (!c.followed || freq_unmapped(c.freq))  // no range of CHANMAP: said already
        return false;
    if (sdr_in_band(c.freq))
        return true;
    if (said_outside.insert(c.channel).second)
        std::fprintf(stderr,
                     "marrowit: --play: channel %u at %.4f MHz lies outside the captured band "
                     "(%s); its calls are not played\n",
                     c.channel, c.freq, sdr_usable_band().c_str());
    return false;
}

void play_call(const call_t& c)
{
    if (playing)
        channel_close(playing);
    playing = channel_open(plan, sdr_offset_hz(c.freq), play_rate, true);
    playing_channel = c.channel;
    if (audio.size() < (size_t)channel_max_out(playing)) {
        audio.resize((size_t)channel_max_out(playing));
        pcm.resize(audio.size());
    }
}

// With --all the speaker is the first system's, as the console is: the
// calls of the other decoders (mpt1327/decoder.h) are recorded, not played.
void on_start(call_t* call)
{
    if (decoder_current() == 0 && playable(*call))
        play_call(*call);
}

// The call played ended: the newest followed call still open, if any.
void on_end(call_t* call, call_end_t)
{
    if (!playing || call->channel != playing_channel || decoder_current() != 0)
        return;
    channel_close(playing);
    playing = nullptr;
    const std::vector<call_t>& open = calls_open();
    for (size_t k = open.size(); k-- > 0;)
        if (open[k].followed && !freq_unmapped(open[k].freq) && sdr_in_band(open[k].freq)) {
            play_call(open[k]);
            return;
        }
}

// The end of the input: what is queued is played (for as long as it lasts
// and a second more), and what was dropped is said.
void at_end()
{
    std::unique_lock<std::mutex> g(lock);
    ending = true;
    wake.notify_one();
    double queued = (double)(written - taken) / play_rate;
    bool done = drained.wait_for(g, std::chrono::milliseconds((long)(1000 * queued) + 1000),
                                 [] { return finished; });
    g.unlock();
    if (done)
        worker->join();
    else
        worker->detach();  // a card that takes nothing: the program ends all the same
    if (dead)
        std::fprintf(stderr, "marrowit: --play: sound device '%s': %s; the calls were not played "
                             "from there on\n",
                     sdr_options.play_device, device_error.c_str());
    if (dropped > 0)
        std::fprintf(stderr,
                     "marrowit: --play: %.1f s of audio dropped: the sound device did not take "
                     "it in time\n",
                     (double)dropped / play_rate);
}

}  // namespace

int player_start()
{
    if (started)
        return 0;
    std::string why;
    if (play_open(sdr_options.play_device, play_rate, &why) != 0) {
        std::fprintf(stderr, "marrowit: --play: cannot play on sound device '%s': %s\n",
                     sdr_options.play_device, why.c_str());
        return -1;
    }
    started = true;
    channel_plan(&plan, sdr_options.rate);
    paced = sdr_options.path && std::strcmp(sdr_options.path, "-") != 0;
    call_listener_t l;
    l.start = on_start;
    l.end = on_end;
    calls_add_listener(l);
    input_add_end(at_end);
    worker = new std::thread(thread_main);
    return 0;
}

void player_process(const iq_sample_t* in, int n)
{
    if (!started)
        return;
    unsigned long long before = iq_in;
    iq_in += (unsigned long long)n;
    if (paced) {
        if (before == 0)
            began = std::chrono::steady_clock::now();
        std::this_thread::sleep_until(
            began + std::chrono::microseconds((long long)(1e6 * (double)iq_in / plan.rate)));
    }
    // The samples the input's time calls for by the end of this block.
    unsigned long long due = (unsigned long long)((double)iq_in * play_rate / plan.rate);
    size_t count = 0;
    if (playing) {
        count = (size_t)channel_process(playing, in, n, audio.data());
        for (size_t i = 0; i < count; i++)
            pcm[i] = to_s16(0.5f * audio[i]);
    } else if (due > out) {
        count = (size_t)(due - out);
        if (pcm.size() < count)
            pcm.resize(count);
        std::fill(pcm.begin(), pcm.begin() + (std::ptrdiff_t)count, (short)0);
    }
    out += count;
    queue(pcm.data(), count);
}
