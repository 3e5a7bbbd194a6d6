// Structured reports and their sinks.
#include "event.h"

#include <cstring>

#include "mpt1327.h"
#include "mpt1327/decoder.h"

event_t report_event;
bool event_withheld;
unsigned long long input_sample;
// One decoder's (decoder.h); the sinks are the process's.
decoder_var(report_event);
decoder_var(event_withheld);
decoder_var(input_sample);
bool event_silent;
decoder_var(event_silent);

static std::vector<event_sink_t> sinks;

void event_begin(const char* type)
{
    report_event.type = type;
    report_event.fields.clear();
}

static event_field_t& add(const char* name, event_kind_t kind)
{
    report_event.fields.push_back(event_field_t{name, kind, 0, 0.0, 0, std::string()});
    return report_event.fields.back();
}

void event_int(const char* name, long long value)
{
    add(name, EVENT_INT).i = value;
}

void event_real(const char* name, double value, int decimals)
{
    event_field_t& f = add(name, EVENT_REAL);
    f.real = value;
    f.decimals = decimals;
}

void event_text(const char* name, const char* value)
{
    add(name, EVENT_TEXT).text = value;
}

void event_bool(const char* name, bool value)
{
    add(name, EVENT_BOOL).i = value ? 1 : 0;
}

void event_null(const char* name)
{
    add(name, EVENT_NULL);
}

void event_list(const char* name, const std::vector<std::string>& items)
{
    add(name, EVENT_LIST).items = items;
}

void event_report()
{
    if (report_event.type.empty())
        return;
    if (!event_withheld)
        event_publish(report_event);
    report_event.type.clear();
}

const event_field_t* event_field(const event_t& e, const char* name)
{
    for (const event_field_t& f : e.fields)
        if (f.name == name)
            return &f;
    return nullptr;
}

void event_add_sink(event_sink_t sink)
{
    sinks.push_back(sink);
}

void event_remove_sinks()
{
    sinks.clear();
}

void event_publish(event_t& e)
{
    e.offset = input_seconds();
    e.sys = currentsys == 0xffff ? -1 : currentsys;
    event_deliver(e);
}

void (*event_amend)(event_t& e);

void event_deliver(event_t& e)
{
    if (event_silent)
        return;
    if (event_amend)
        event_amend(e);
    for (event_sink_t sink : sinks)
        sink(e);
}

static std::vector<input_ticker_t> tickers, enders;

void input_add_ticker(input_ticker_t ticker)
{
    tickers.push_back(ticker);
}

void input_remove_tickers()
{
    tickers.clear();
    enders.clear();
}

void input_tick()
{
    for (input_ticker_t t : tickers)
        t();
}

void input_add_end(input_ticker_t at_end)
{
    enders.push_back(at_end);
}

void input_end()
{
    for (input_ticker_t t : enders)
        t();
}
