// Channel allocation (GTC), clear-down (CLEAR) and traffic following.
//
//   GTC    1   2 .. 8  9 ........ 21  22  23  24 ....... 33  34 ........ 46  47-48
//          1   PFIX    IDENT1 (Tar)   0   D   CHAN           IDENT2 (Org)    .
//
//   CLEAR  1   2 ...... 11  12 ...... 21  22  23 ... 36  37  38  39  40  41  42  43  44  45  46  47  48
//          .   CHAN         CONT          1   .          1   .   1   .   1   .   1   .   1   .   1   .
//
// Bit 22 splits every checked address codeword: 0 makes it a GTC, 1 a
// CLEAR when the six pattern bits are all set.  A voice GTC (D = 0) that
// matches the target sends the receiver to the traffic channel; every CLEAR
// sends it back to the control channel of the settings.  Nothing is
// remembered between codewords: following is what the channel says (but
// see timeout.cpp for a clear-down that never comes).  The call tracker
// hears of every voice GTC and every CLEAR.
#include "calls.h"
#include "chanmap.h"
#include "event.h"
#include "families.h"
#include "fields.h"

static void follow(double freq)
{
    setfreq(freq);
    if (sound != 0)
        console_write("\a");
}

static void report_clear(const mpt1327_t* s)
{
    const char* stamp = time_stamp();
    unsigned chan = cw_bits(s->cw, 2, 11);
    unsigned cont = cw_bits(s->cw, 12, 21);
    double freq = chan_freq(chan);
    ptext_format("- CLEAR| Call clear-down                | Ch: %d  Freq: %s \n       | CCh: %d\t\t\t| %s",
                 chan, freq_text(freq).c_str(), cont, stamp);
    event_begin("CLEAR");
    event_int("channel", chan);
    event_int("cont", cont);
    event_freq("freq", freq);
    report_line(s);
    setfreq(control);
    timeout_clear();
    calls_clear(chan);
}

static void report_gtc(const mpt1327_t* s)
{
    unsigned pfix = cw_bits(s->cw, 2, 8);
    unsigned ident1 = cw_bits(s->cw, 9, 21);
    unsigned data = cw_bits(s->cw, 23, 23);
    unsigned chan = cw_bits(s->cw, 24, 33);
    unsigned ident2 = cw_bits(s->cw, 34, 46);

    ptext_format("-  GTC | Go To Channel ");
    ptext_append("%s", data ? "Data             | " : "Voice            | ");
    ptext_append("(%3d)  Org: %4d       Tar: %4d \n", pfix, ident2, ident1);
    ptext_append("       | Ch:%3d ", chan);
    double freq = chan_freq(chan);
    ptext_append("   Freq:%s Mhz    |         ", freq_text(freq).c_str());
    bool followed = false;
    if (!data) {
        ptext_append("%s", time_stamp());
        // Each rule acts on its own; two can hold for one allocation.
        bool rules[4] = {trg_pre == 9999, trg_pre == pfix && trg_id == 9999,
                         trg_pre == pfix && trg_id == ident2, trg_id == ident1};
        // A channel in no range of CHANMAP is not tuned (chan_freq said so).
        for (bool rule : rules) {
            if (rule) {
                if (!freq_unmapped(freq))
                    follow(freq);
                followed = true;
            }
        }
        if (followed && !freq_unmapped(freq))
            timeout_follow(chan, freq);
    }
    event_begin("GTC");
    event_int("prefix", pfix);
    event_int("ident1", ident1);
    event_int("ident2", ident2);
    event_int("channel", chan);
    event_freq("freq", freq);
    event_bool("data", data != 0);
    event_bool("followed", followed);
    report_line(s);
    if (!data) {
        call_t call;
        call.channel = chan;
        call.freq = freq;
        call.prefix = pfix;
        call.ident1 = ident1;
        call.ident2 = ident2;
        call.followed = followed;
        calls_gtc(call);
    }
}

void report_allocation(const mpt1327_t* s)
{
    if (cw_bits(s->cw, 22, 22) == 0)
        report_gtc(s);
    else if (cw_bits(s->cw, 37, 37) && cw_bits(s->cw, 39, 39) && cw_bits(s->cw, 41, 41) &&
             cw_bits(s->cw, 43, 43) && cw_bits(s->cw, 45, 45) && cw_bits(s->cw, 47, 47))
        report_clear(s);
}
