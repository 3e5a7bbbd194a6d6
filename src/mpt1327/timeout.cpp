// Giving up a followed call whose clear-down was missed.
//
// A followed GTC sends the receiver to a traffic channel, and only a CLEAR
// brings it back.  A CLEAR lost to a fade would leave it there for good, so
// with CALLTIMEOUT set the decoder gives up the call when no codeword has
// passed the check for that many seconds of input: the receiver is sent to
// the control channel as after a CLEAR (whatever RADIO is), the open calls
// that were followed end (but those being recorded from an SDR, which end
// by their own channel's silence), and one report in the form of the
// CLEAR's says so:
//
//   - TIMEO| Call time-out, back to control | Ch: 100  Freq: 421.2500
//          | Silent: 30 s          | Mon Dec  7 09:12:44 2026
//
// The channel and frequency are those of the last followed GTC; "Silent"
// is CALLTIMEOUT.  No codeword stands behind the report, so BINARY dumps
// nothing before it.  Overs on a traffic channel begin with codewords, so a
// value well above the longest over, about 30 s, ends stuck calls without
// cutting live ones.
//
// Time is input time in samples, so a recording behaves as live audio
// does.  The silence is measured from the follow or the last checked
// codeword, exactly; the time-out is noticed at the next checked codeword
// or at the end of the next buffer of input, whichever comes first.
#include "calls.h"
#include "event.h"
#include "families.h"
#include "mpt1327/decoder.h"

static bool following;                // the receiver was sent to a traffic channel
static unsigned followed_channel;     // by the GTC for this channel
static double followed_freq;          // at this frequency
static unsigned long long heard;      // input sample of the follow or the last checked codeword
// One decoder's (decoder.h).
decoder_var(following);
decoder_var(followed_channel);
decoder_var(followed_freq);
decoder_var(heard);

void timeout_follow(unsigned channel, double freq)
{
    following = true;
    followed_channel = channel;
    followed_freq = freq;
    heard = input_sample;
}

void timeout_clear()
{
    following = false;
}

void timeout_reset()
{
    following = false;
    heard = 0;
}

static bool due()
{
    return following && calltimeout != 0 &&
           input_sample - heard >= (unsigned long long)calltimeout * INPUT_RATE;
}

static void give_up()
{
    following = false;
    ptext_format("- TIMEO| Call time-out, back to control | Ch: %d  Freq: %.4f \n"
                 "       | Silent: %u s\t| %s",
                 followed_channel, followed_freq, calltimeout, time_stamp());
    event_begin("TIMEOUT");
    event_int("channel", followed_channel);
    event_real("freq", followed_freq, 4);
    event_int("silent", calltimeout);
    event_real("control", control, 4);
    pprint(ptext);
    event_report();
    setfreq(control);
    std::vector<unsigned> ended;
    // A call being recorded from an SDR is not given up: its own traffic
    // channel says when it ends (the recorder's CALLTIMEOUT of silence).
    for (const call_t& c : calls_open())
        if (c.followed && c.file.empty())
            ended.push_back(c.channel);
    for (unsigned channel : ended)
        calls_end(channel, CALL_TIMEOUT);
}

void timeout_codeword()
{
    if (due())
        give_up();
    heard = input_sample;
}

void timeout_tick()
{
    if (due())
        give_up();
}
