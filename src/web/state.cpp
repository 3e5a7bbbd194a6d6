// What the web page shows, kept from the records the sink is handed.
//
// The sink renders each record to its JSON line once, on the thread that
// publishes it, and files it under one lock: in the ring for the event
// streams, and in the tables of systems, open calls and channels.  The
// server's threads only copy text out under the same lock.
#include "web/web.h"

#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <tuple>

#include "events/json.h"

call_history_fn web_call_history = web_memory_history;
std::string web_user, web_password;

namespace {

struct system_t {
    std::string source;
    int sys = -1;
    std::string name;
    double cch_freq = 0;
    bool identified = false;
    long long last_ms = 0;
    double last_offset = 0;
};

struct channel_t {
    std::string source;
    int sys = -1;
    long long channel = 0;
    double freq = 0;
    bool busy = false;
    long long calls = 0;
    long long last_ms = 0;
};

struct stats_point_t {
    std::string line;  // the stats record with "calls" added
};

struct history_t {
    event_t e;
    long long unit1, unit2, channel;
};

typedef std::tuple<std::string, int> system_key_t;
typedef std::tuple<std::string, int, long long> channel_key_t;

// Everything is reached through one pointer that is never freed, so that
// server threads still answering while the program exits find it whole.
struct state_t {
    std::mutex lock;
    std::condition_variable more;
    bool closing = false;

    std::deque<std::string> ring;  // event stream messages, the last WEB_RING
    unsigned long long last_seq = 0;

    std::map<system_key_t, system_t> systems;
    std::map<channel_key_t, std::string> open_calls;  // call_start lines
    std::map<channel_key_t, channel_t> channels;
    std::deque<std::string> events;  // records worth seeing, newest last
    std::map<std::string, std::deque<stats_point_t>> stats;
    std::map<std::string, long long> calls_since_stats;
    std::deque<history_t> history;  // call_end records, newest last
};

state_t& state()
{
    static state_t* s = new state_t;
    return *s;
}

// Records shown in the event list.
bool worth_seeing(const event_t& e)
{
    static const char* const types[] = {"SAM", "HEAD", "RQE", "MOVE", "BCAST", "control_channel",
                                        "TIMEOUT"};
    for (const char* t : types)
        if (e.type == t)
            return true;
    const event_field_t* em = event_field(e, "emergency");
    return em && em->kind == EVENT_BOOL && em->i;
}

long long int_field(const event_t& e, const char* name, long long otherwise)
{
    const event_field_t* f = event_field(e, name);
    return f && (f->kind == EVENT_INT || f->kind == EVENT_BOOL) ? f->i : otherwise;
}

double real_field(const event_t& e, const char* name)
{
    const event_field_t* f = event_field(e, name);
    return f && f->kind == EVENT_REAL ? f->real : f && f->kind == EVENT_INT ? (double)f->i : 0;
}

std::string hex_sys(int sys)
{
    if (sys < 0)
        return "null";
    char text[16];
    std::snprintf(text, sizeof text, "\"0x%4.4x\"", sys & 0xffff);
    return text;
}

void append_real(std::string* out, double v, int decimals)
{
    char num[64];
    std::snprintf(num, sizeof num, "%.*f", decimals, v);
    out->append(num);
}

}  // namespace

std::string web_record_json(const event_t& e, long long unix_ms)
{
    std::string line;
    json_line(&line, e, unix_ms);
    if (!e.source.empty()) {
        // {"time":"2026-12-07T07:25:03.123Z", ...
        size_t after_time = line.find(',');
        std::string source = ",\"source\":";
        json_string(&source, e.source);
        line.insert(after_time, source);
    }
    return line;
}

void web_sink(const event_t& e)
{
    long long now = json_now_ms();
    std::string line = web_record_json(e, now);
    state_t& s = state();
    {
        std::lock_guard<std::mutex> hold(s.lock);
        s.last_seq++;
        std::string message = "id: " + std::to_string(s.last_seq) + "\ndata: " + line + "\n\n";
        s.ring.push_back(std::move(message));
        if (s.ring.size() > (size_t)WEB_RING)
            s.ring.pop_front();

        if (e.sys >= 0) {
            system_t& sys = s.systems[system_key_t(e.source, e.sys)];
            sys.source = e.source;
            sys.sys = e.sys;
            sys.last_ms = now;
            sys.last_offset = e.offset;
            if (e.type == "identity") {
                const event_field_t* name = event_field(e, "name");
                sys.name = name ? name->text : "";
                sys.cch_freq = real_field(e, "cch_freq");
                sys.identified = true;
            }
        }

        channel_key_t key(e.source, e.sys, int_field(e, "channel", -1));
        if (e.type == "call_start") {
            s.open_calls[key] = line;
            channel_t& c = s.channels[key];
            c.source = e.source;
            c.sys = e.sys;
            c.channel = std::get<2>(key);
            c.freq = real_field(e, "freq");
            c.busy = true;
            c.calls++;
            c.last_ms = now;
            s.calls_since_stats[e.source]++;
        } else if (e.type == "call_end") {
            s.open_calls.erase(key);
            auto c = s.channels.find(key);
            if (c != s.channels.end()) {
                c->second.busy = false;
                c->second.last_ms = now;
            }
            if (web_call_history == web_memory_history) {
                history_t h;
                h.e = e;
                h.e.fields.push_back(event_field_t{"time", EVENT_TEXT, 0, 0, 0, json_utc(now)});
                h.unit1 = int_field(e, "ident1", -1);
                h.unit2 = int_field(e, "ident2", -1);
                h.channel = int_field(e, "channel", -1);
                s.history.push_back(std::move(h));
                if (s.history.size() > (size_t)WEB_HISTORY)
                    s.history.pop_front();
            }
        } else if (e.type == "stats") {
            std::deque<stats_point_t>& series = s.stats[e.source];
            stats_point_t p;
            p.line = line;
            p.line.insert(p.line.size() - 1,
                          ",\"calls\":" + std::to_string(s.calls_since_stats[e.source]));
            s.calls_since_stats[e.source] = 0;
            series.push_back(std::move(p));
            if (series.size() > (size_t)WEB_STATS)
                series.pop_front();
        }
        if (worth_seeing(e)) {
            s.events.push_back(line);
            if (s.events.size() > (size_t)WEB_EVENTS)
                s.events.pop_front();
        }
    }
}

long long web_memory_history(const call_query_t& q, std::vector<event_t>* calls)
{
    state_t& s = state();
    std::lock_guard<std::mutex> hold(s.lock);
    long long total = 0;
    calls->clear();
    for (auto h = s.history.rbegin(); h != s.history.rend(); ++h) {
        if (q.unit >= 0 && h->unit1 != q.unit && h->unit2 != q.unit)
            continue;
        if (q.channel >= 0 && h->channel != q.channel)
            continue;
        if (total >= q.offset && total < q.offset + q.limit)
            calls->push_back(h->e);
        total++;
    }
    return total;
}

std::string web_state_json()
{
    state_t& s = state();
    std::lock_guard<std::mutex> hold(s.lock);
    std::string out = "{\"time\":\"" + json_utc(json_now_ms()) + "\",\"seq\":" +
                      std::to_string(s.last_seq) + ",\"systems\":[";
    bool first = true;
    for (const auto& kv : s.systems) {
        const system_t& y = kv.second;
        out += first ? "{" : ",{";
        first = false;
        out += "\"source\":";
        json_string(&out, y.source);
        out += ",\"sys\":" + hex_sys(y.sys) + ",\"name\":";
        if (y.identified)
            json_string(&out, y.name);
        else
            out += "null";
        out += ",\"cch_freq\":";
        if (y.identified)
            append_real(&out, y.cch_freq, 4);
        else
            out += "null";
        out += ",\"last_heard\":\"" + json_utc(y.last_ms) + "\",\"last_offset\":";
        append_real(&out, y.last_offset, 3);
        // The receiver's latest minute of statistics.
        auto st = s.stats.find(y.source);
        out += ",\"stats\":";
        if (st != s.stats.end() && !st->second.empty())
            out += st->second.back().line;
        else
            out += "null";
        out += "}";
    }
    out += "],\"calls\":[";
    first = true;
    for (const auto& kv : s.open_calls) {
        if (!first)
            out += ",";
        first = false;
        out += kv.second;
    }
    out += "],\"channels\":[";
    first = true;
    for (const auto& kv : s.channels) {
        const channel_t& c = kv.second;
        out += first ? "{" : ",{";
        first = false;
        out += "\"source\":";
        json_string(&out, c.source);
        out += ",\"sys\":" + hex_sys(c.sys) + ",\"channel\":" + std::to_string(c.channel) +
               ",\"freq\":";
        append_real(&out, c.freq, 4);
        out += std::string(",\"busy\":") + (c.busy ? "true" : "false") +
               ",\"calls\":" + std::to_string(c.calls) + ",\"last\":\"" + json_utc(c.last_ms) +
               "\"}";
    }
    out += "],\"events\":[";
    first = true;
    for (auto e = s.events.rbegin(); e != s.events.rend(); ++e) {
        if (!first)
            out += ",";
        first = false;
        out += *e;
    }
    out += "]}";
    return out;
}

std::string web_stats_json()
{
    state_t& s = state();
    std::lock_guard<std::mutex> hold(s.lock);
    std::string out = "{\"stats\":[";
    bool first = true;
    for (const auto& kv : s.stats)
        for (const stats_point_t& p : kv.second) {
            if (!first)
                out += ",";
            first = false;
            out += p.line;
        }
    out += "]}";
    return out;
}

std::string web_calls_json(const call_query_t& query)
{
    std::vector<event_t> calls;
    long long total = web_call_history(query, &calls);
    if (total < 0)
        return "";
    std::string out = "{\"total\":" + std::to_string(total) +
                      ",\"offset\":" + std::to_string(query.offset) +
                      ",\"limit\":" + std::to_string(query.limit) + ",\"calls\":[";
    for (size_t k = 0; k < calls.size(); k++) {
        event_t& e = calls[k];
        std::string time;
        for (size_t f = 0; f < e.fields.size(); f++)
            if (e.fields[f].name == "time" && e.fields[f].kind == EVENT_TEXT) {
                time = e.fields[f].text;
                e.fields.erase(e.fields.begin() + (std::ptrdiff_t)f);
                break;
            }
        std::string line = web_record_json(e, 0);
        // {"time":"1970-01-01T00:00:00.000Z", ...: the time the history kept.
        if (time.size() == 24 && time.find_first_of("\"\\") == std::string::npos)
            line.replace(9, 24, time);
        if (k)
            out += ",";
        out += line;
    }
    out += "]}";
    return out;
}

void web_ring_after(unsigned long long* seq, std::string* messages, bool* skipped, int wait_ms)
{
    state_t& s = state();
    std::unique_lock<std::mutex> hold(s.lock);
    messages->clear();
    *skipped = false;
    // The sink wakes nobody: a client that has seen everything looks again
    // after wait_ms, so that a burst of records costs the decoder no
    // wake-ups, whatever the number of clients.
    if (s.last_seq <= *seq && wait_ms > 0 && !s.closing) {
        s.more.wait_for(hold, std::chrono::milliseconds(wait_ms), [&] { return s.closing; });
        if (s.last_seq <= *seq)
            return;
    }
    unsigned long long oldest = s.last_seq - s.ring.size() + 1;
    if (*seq + 1 < oldest) {
        *skipped = *seq != 0;
        *seq = oldest - 1;
    }
    // At most WEB_STREAM_BYTES at a time (and at least one record): what a
    // client that does not read holds up stays small.
    for (unsigned long long k = *seq + 1 - oldest; k < s.ring.size(); k++) {
        if (!messages->empty() && messages->size() + s.ring[k].size() > (size_t)WEB_STREAM_BYTES)
            break;
        messages->append(s.ring[k]);
        ++*seq;
    }
}

unsigned long long web_ring_last()
{
    state_t& s = state();
    std::lock_guard<std::mutex> hold(s.lock);
    return s.last_seq;
}

void web_ring_wake()
{
    state_t& s = state();
    {
        std::lock_guard<std::mutex> hold(s.lock);
        s.closing = true;
    }
    s.more.notify_all();
}

void web_reset()
{
    state_t& s = state();
    std::lock_guard<std::mutex> hold(s.lock);
    s.closing = false;
    s.ring.clear();
    s.last_seq = 0;
    s.systems.clear();
    s.open_calls.clear();
    s.channels.clear();
    s.events.clear();
    s.stats.clear();
    s.calls_since_stats.clear();
    s.history.clear();
}

bool web_split(const char* where, std::string* address, int* port)
{
    std::string s = where;
    size_t colon = s.rfind(':');
    std::string digits = colon == std::string::npos ? s : s.substr(colon + 1);
    *address = colon == std::string::npos ? "127.0.0.1" : s.substr(0, colon);
    if (address->size() > 2 && address->front() == '[' && address->back() == ']')
        *address = address->substr(1, address->size() - 2);
    else if (address->find(':') != std::string::npos)
        return false;  // an IPv6 address is written in brackets
    if (address->empty() || digits.empty() || digits.size() > 5 ||
        digits.find_first_not_of("0123456789") != std::string::npos)
        return false;
    *port = std::stoi(digits);
    return *port >= 1 && *port <= 65535;
}
