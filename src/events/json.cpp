// JSON Lines rendering of report records.
#include "events/json.h"

#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>

long long json_now_ms()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

long long json_record_ms;

long long json_record_time()
{
    return json_record_ms ? json_record_ms : json_now_ms();
}

// The proleptic Gregorian date of a day number (days since 1970-01-01).
static void civil_date(long long days, long long* y, unsigned* m, unsigned* d)
{
    days += 719468;
    long long era = (days >= 0 ? days : days - 146096) / 146097;
    unsigned doe = (unsigned)(days - era * 146097);
    unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    unsigned mp = (5 * doy + 2) / 153;
    *d = doy - (153 * mp + 2) / 5 + 1;
    *m = mp < 10 ? mp + 3 : mp - 9;
    *y = (long long)yoe + era * 400 + (*m <= 2);
}

std::string json_utc(long long unix_ms)
{
    long long ms = unix_ms % 86400000;
    long long days = unix_ms / 86400000;
    if (ms < 0) {
        ms += 86400000;
        days--;
    }
    long long y;
    unsigned m, d;
    civil_date(days, &y, &m, &d);
    char text[40];
    std::snprintf(text, sizeof text, "%04lld-%02u-%02uT%02lld:%02lld:%02lld.%03lldZ", y, m, d,
                  ms / 3600000, ms / 60000 % 60, ms / 1000 % 60, ms % 1000);
    return text;
}

// Length of the valid UTF-8 sequence at p (n bytes left), 0 if none.
static size_t utf8_length(const unsigned char* p, size_t n)
{
    unsigned c = p[0];
    size_t len;
    unsigned min;
    if (c < 0x80)
        return 1;
    if (c >= 0xc2 && c <= 0xdf)
        len = 2, min = 0x80;
    else if (c >= 0xe0 && c <= 0xef)
        len = 3, min = 0x800;
    else if (c >= 0xf0 && c <= 0xf4)
        len = 4, min = 0x10000;
    else
        return 0;
    if (len > n)
        return 0;
    unsigned v = c & (0x3f >> (len - 1));
    for (size_t k = 1; k < len; k++) {
        if ((p[k] & 0xc0) != 0x80)
            return 0;
        v = v << 6 | (p[k] & 0x3f);
    }
    if (v < min || v > 0x10ffff || (v >= 0xd800 && v <= 0xdfff))
        return 0;
    return len;
}

void json_string(std::string* out, const std::string& text)
{
    const unsigned char* p = (const unsigned char*)text.data();
    size_t n = text.size();
    out->push_back('"');
    // Names and most texts are plain ASCII and go as they are.
    size_t plain = 0;
    while (plain < n && p[plain] >= 0x20 && p[plain] < 0x7f && p[plain] != '"' && p[plain] != '\\')
        plain++;
    out->append(text, 0, plain);
    for (size_t i = plain; i < n;) {
        unsigned c = p[i];
        if (c == '"' || c == '\\') {
            out->push_back('\\');
            out->push_back((char)c);
        } else if (c == '\n') {
            out->append("\\n");
        } else if (c == '\r') {
            out->append("\\r");
        } else if (c == '\t') {
            out->append("\\t");
        } else if (c < 0x20 || c == 0x7f) {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\u%04x", c);
            out->append(esc);
        } else if (c >= 0x80) {
            size_t len = utf8_length(p + i, n - i);
            if (len == 0) {  // Latin-1
                out->push_back((char)(0xc0 | c >> 6));
                out->push_back((char)(0x80 | (c & 0x3f)));
                i++;
            } else {
                out->append((const char*)p + i, len);
                i += len;
            }
            continue;
        } else {
            out->push_back((char)c);
        }
        i++;
    }
    out->push_back('"');
}

static void json_value(std::string* out, const event_field_t& f)
{
    char num[64];
    switch (f.kind) {
    case EVENT_INT:
        out->append(num, std::to_chars(num, num + sizeof num, f.i).ptr);
        break;
    case EVENT_REAL:
        if (std::isfinite(f.real)) {
            std::snprintf(num, sizeof num, "%.*f", f.decimals, f.real);
            out->append(num);
        } else {
            out->append("null");
        }
        break;
    case EVENT_TEXT:
        json_string(out, f.text);
        break;
    case EVENT_BOOL:
        out->append(f.i ? "true" : "false");
        break;
    case EVENT_NULL:
        out->append("null");
        break;
    case EVENT_LIST:
        out->push_back('[');
        for (size_t k = 0; k < f.items.size(); k++) {
            if (k)
                out->push_back(',');
            json_string(out, f.items[k]);
        }
        out->push_back(']');
        break;
    }
}

// Seconds with three decimals, from whole milliseconds.
static void append_seconds(std::string* out, double seconds)
{
    long long ms = std::llround(seconds * 1000);
    char num[32];
    char* end = std::to_chars(num, num + sizeof num, ms / 1000).ptr;
    *end++ = '.';
    unsigned frac = (unsigned)(ms % 1000);
    *end++ = (char)('0' + frac / 100);
    *end++ = (char)('0' + frac / 10 % 10);
    *end++ = (char)('0' + frac % 10);
    out->append(num, end);
}

void json_line(std::string* out, const event_t& e, long long unix_ms)
{
    // Many records share a millisecond when a recording is decoded.  (The
    // web server renders records on its own threads.)
    static thread_local long long utc_ms = -1;
    static thread_local std::string utc;
    if (unix_ms != utc_ms) {
        utc = json_utc(unix_ms);
        utc_ms = unix_ms;
    }
    out->clear();
    out->append("{\"time\":\"");
    out->append(utc);
    out->append("\",\"offset\":");
    if (e.offset >= 0 && e.offset < 1e15)
        append_seconds(out, e.offset);
    else
        out->append("null");
    out->append(",\"sys\":");
    if (e.sys < 0) {
        out->append("null");
    } else {
        static const char hex[] = "0123456789abcdef";
        char text[9] = {'"', '0', 'x', hex[e.sys >> 12 & 15], hex[e.sys >> 8 & 15],
                        hex[e.sys >> 4 & 15], hex[e.sys & 15], '"', 0};
        out->append(text, 8);
    }
    if (!e.source.empty()) {  // a record taken in from another receiver
        out->append(",\"source\":");
        json_string(out, e.source);
    }
    out->append(",\"type\":");
    json_string(out, e.type);
    for (const event_field_t& f : e.fields) {
        out->push_back(',');
        json_string(out, f.name);
        out->push_back(':');
        json_value(out, f);
    }
    out->push_back('}');
}

std::string json_line(const event_t& e, long long unix_ms)
{
    std::string out;
    json_line(&out, e, unix_ms);
    return out;
}
