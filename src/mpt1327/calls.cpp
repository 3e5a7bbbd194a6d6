// The call tracker.
#include "calls.h"

#include "chanmap.h"
#include "event.h"
#include "mpt1327.h"
#include "mpt1327/decoder.h"

static std::vector<call_t> open_calls;
static std::vector<call_listener_t> listeners;
decoder_var(open_calls);  // one decoder's (decoder.h); the listeners are the process's

const char* call_end_name(call_end_t why)
{
    switch (why) {
    case CALL_CLEAR:
        return "clear";
    case CALL_REALLOCATED:
        return "reallocated";
    case CALL_INPUT_END:
        return "input_end";
    case CALL_STOPPED:
        return "stopped";
    default:
        return "timeout";
    }
}

void calls_add_listener(const call_listener_t& l)
{
    listeners.push_back(l);
}

const std::vector<call_t>& calls_open()
{
    return open_calls;
}

static void call_fields(event_t* e, const call_t& c)
{
    e->fields.clear();
    e->fields.push_back(event_field_t{"prefix", EVENT_INT, c.prefix, 0, 0, {}});
    e->fields.push_back(event_field_t{"ident1", EVENT_INT, c.ident1, 0, 0, {}});
    e->fields.push_back(event_field_t{"ident2", EVENT_INT, c.ident2, 0, 0, {}});
    e->fields.push_back(event_field_t{"channel", EVENT_INT, c.channel, 0, 0, {}});
    // A channel in no range of CHANMAP has no frequency: null.
    if (freq_unmapped(c.freq))
        e->fields.push_back(event_field_t{"freq", EVENT_NULL, 0, 0, 0, {}});
    else
        e->fields.push_back(event_field_t{"freq", EVENT_REAL, 0, c.freq, 4, {}});
    e->fields.push_back(event_field_t{"data", EVENT_BOOL, 0, 0, 0, {}});
    e->fields.push_back(event_field_t{"followed", EVENT_BOOL, c.followed, 0, 0, {}});
}

void calls_end(unsigned channel, call_end_t why)
{
    for (size_t k = 0; k < open_calls.size(); k++) {
        if (open_calls[k].channel != channel)
            continue;
        call_t call = open_calls[k];
        open_calls.erase(open_calls.begin() + (std::ptrdiff_t)k);
        for (const call_listener_t& l : listeners)
            if (l.end && !event_silent)
                l.end(&call, why);
        event_t e;
        e.type = "call_end";
        call_fields(&e, call);
        e.fields.push_back(event_field_t{"duration", EVENT_REAL, 0,
                                         (double)(input_sample - call.start_sample) / INPUT_RATE,
                                         3, {}});
        e.fields.push_back(event_field_t{"ended", EVENT_TEXT, 0, 0, 0, call_end_name(why)});
        if (!call.file.empty())
            e.fields.push_back(event_field_t{"file", EVENT_TEXT, 0, 0, 0, call.file});
        event_publish(e);
        return;
    }
}

void calls_gtc(const call_t& c)
{
    calls_end(c.channel, CALL_REALLOCATED);
    call_t call = c;
    call.start_sample = input_sample;
    call.sys = currentsys == 0xffff ? -1 : currentsys;
    for (const call_listener_t& l : listeners)
        if (l.start && !event_silent)
            l.start(&call);
    open_calls.push_back(call);
    event_t e;
    e.type = "call_start";
    call_fields(&e, call);
    if (!call.file.empty())
        e.fields.push_back(event_field_t{"file", EVENT_TEXT, 0, 0, 0, call.file});
    event_publish(e);
}

void calls_clear(unsigned channel)
{
    calls_end(channel, CALL_CLEAR);
}

void calls_end_all(call_end_t why)
{
    while (!open_calls.empty())
        calls_end(open_calls.front().channel, why);
}

void calls_reset()
{
    open_calls.clear();
    listeners.clear();
}
