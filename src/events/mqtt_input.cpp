// mqtt:HOST[:PORT] as the input: the records other receivers publish,
// taken in from the broker and handed to this program's sinks.
//
// Everything runs on the main thread: the client's loop waits for the
// broker's messages at most 100 ms at a time, so that a request to stop and
// a changed aliases file are seen; each message becomes a record again
// (mqtt_record) inside the loop and goes to the sinks there.  A lost
// connection is made again with a delay growing to 30 s; a broker away for
// GIVEUP seconds ends the run.
#include <mosquitto.h>

#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <map>
#include <nlohmann/json.hpp>
#include <thread>

#include "audio/net_error.h"
#include "audio/stop.h"
#include "events/json.h"
#include "events/mqtt.h"
#include "mpt1327/ini.h"
#include "mpt1327/mpt1327.h"
#include "mpt1327/summary.h"
#include "names/names.h"

const bool mqtt_input_available = true;

namespace {

std::string host, prefix, user, password;
int port = 1883;
unsigned giveup = 60;
struct mosquitto* mosq;
bool connected, subscribed_said;
std::map<std::string, unsigned long long> records;  // by source
unsigned long long ignored;
bool ignored_said;

// Days since 1970-01-01 of a proleptic Gregorian date.
long long days_from_civil(long long y, unsigned m, unsigned d)
{
    y -= m <= 2;
    long long era = (y >= 0 ? y : y - 399) / 400;
    unsigned yoe = (unsigned)(y - era * 400);
    unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + (long long)doe - 719468;
}

// "2026-12-07T08:39:53.966Z", as json_utc writes it.
bool parse_utc(const std::string& s, long long* ms)
{
    int y, mo, d, h, mi, sec, milli;
    char z;
    if (s.size() != 24 || std::sscanf(s.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d.%3d%c", &y, &mo, &d, &h, &mi,
                                      &sec, &milli, &z) != 8 || z != 'Z' || mo < 1 || mo > 12 ||
        d < 1 || d > 31 || h > 23 || mi > 59 || sec > 60)
        return false;
    *ms = ((days_from_civil(y, (unsigned)mo, (unsigned)d) * 24 + h) * 60 + mi) * 60000LL +
          sec * 1000LL + milli;
    return true;
}

// The reading of one object: its first level only, values of the kinds
// records hold (numbers, texts, true and false, null, lists of texts).
struct record_reader_t : nlohmann::json_sax<nlohmann::json> {
    event_t* e;
    long long* ms;
    std::string why, name;
    int depth = 0;
    bool in_list = false, have_type = false, have_time = false;

    bool fail(const std::string& what)
    {
        if (why.empty())
            why = what;
        return false;
    }
    event_field_t* field(event_kind_t kind)
    {
        e->fields.push_back(event_field_t{name, kind, 0, 0, 0, {}});
        return &e->fields.back();
    }
    bool null() override
    {
        if (in_list)
            return fail("a list holds a null");
        if (name == "sys")
            e->sys = -1;
        else if (name == "offset")
            e->offset = -1;
        else
            field(EVENT_NULL);
        return true;
    }
    bool boolean(bool v) override
    {
        if (in_list || name == "time" || name == "type" || name == "sys" || name == "offset")
            return fail("'" + name + "' is true or false");
        field(EVENT_BOOL)->i = v;
        return true;
    }
    bool integer(long long v)
    {
        if (in_list || name == "time" || name == "type" || name == "sys")
            return fail("'" + name + "' is a number");
        if (name == "offset")
            e->offset = (double)v;
        else
            field(EVENT_INT)->i = v;
        return true;
    }
    bool number_integer(number_integer_t v) override { return integer(v); }
    bool number_unsigned(number_unsigned_t v) override
    {
        return integer(v > (unsigned long long)LLONG_MAX ? LLONG_MAX : (long long)v);
    }
    bool number_float(number_float_t v, const string_t& text) override
    {
        if (in_list || name == "time" || name == "type" || name == "sys")
            return fail("'" + name + "' is a number");
        if (name == "offset") {
            e->offset = v;
            return true;
        }
        // The decimals as written, so that the number is written back the same.
        size_t dot = text.find('.');
        int decimals = 6;
        if (text.find_first_of("eE") == std::string::npos)
            decimals = dot == std::string::npos ? 0 : (int)(text.size() - dot - 1);
        event_field_t* f = field(EVENT_REAL);
        f->real = v;
        f->decimals = decimals;
        return true;
    }
    bool string(string_t& v) override
    {
        if (in_list) {
            e->fields.back().items.push_back(v);
            return true;
        }
        if (name == "time") {
            have_time = parse_utc(v, ms);
            return have_time || fail("'time' is not a UTC time");
        }
        if (name == "type") {
            have_type = !v.empty();
            e->type = v;
            return have_type || fail("'type' is empty");
        }
        if (name == "sys") {
            if (v.size() != 6 || v.compare(0, 2, "0x") != 0 ||
                v.find_first_not_of("0123456789abcdef", 2) != std::string::npos)
                return fail("'sys' is not an identity such as 0x1234");
            e->sys = (int)std::strtol(v.c_str() + 2, nullptr, 16);
            return true;
        }
        if (name == "source") {
            e->source = v;
            return true;
        }
        field(EVENT_TEXT)->text = v;
        return true;
    }
    bool binary(binary_t&) override { return fail("binary"); }
    bool start_object(std::size_t) override
    {
        return ++depth == 1 || fail("an object inside the record");
    }
    bool key(string_t& k) override
    {
        name = k;
        return true;
    }
    bool end_object() override
    {
        depth--;
        return true;
    }
    bool start_array(std::size_t) override
    {
        if (depth != 1 || in_list)
            return fail("a list that is not a list of texts");
        if (name == "time" || name == "type" || name == "sys" || name == "offset")
            return fail("'" + name + "' is a list");
        in_list = true;
        field(EVENT_LIST);
        return true;
    }
    bool end_array() override
    {
        in_list = false;
        return true;
    }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override
    {
        return fail("not JSON");
    }
};

void ignore(const std::string& topic, const std::string& why)
{
    ignored++;
    if (ignored_said)
        return;
    ignored_said = true;
    std::fprintf(stderr,
                 "marrowit: mqtt: ignoring messages that are not a receiver's records (the first: "
                 "topic %s, %s)\n",
                 topic.c_str(), why.c_str());
}

void on_message(struct mosquitto*, void*, const struct mosquitto_message* m)
{
    std::string topic = m->topic ? m->topic : "";
    std::string payload((const char*)m->payload, m->payload ? (size_t)m->payloadlen : 0);
    event_t e;
    long long ms = 0;
    std::string why;
    if (!mqtt_record(prefix, topic, payload, &e, &ms, &why)) {
        ignore(topic, why);
        return;
    }
    records[e.source]++;
    json_record_ms = ms;
    event_deliver(e);
    json_record_ms = 0;
}

void on_connect(struct mosquitto*, void*, int rc)
{
    if (rc != 0) {
        std::fprintf(stderr, "marrowit: MQTT broker %s:%d: %s\n", host.c_str(), port,
                     mosquitto_connack_string(rc));
        return;
    }
    connected = true;
    mosquitto_subscribe(mosq, nullptr, (prefix + "/#").c_str(), 1);
}

void on_subscribe(struct mosquitto*, void*, int, int, const int*)
{
    if (subscribed_said)
        return;
    subscribed_said = true;
    std::fprintf(stderr, "marrowit: taking records from the MQTT broker %s:%d, topic %s/#\n",
                 host.c_str(), port, prefix.c_str());
}

void on_disconnect(struct mosquitto*, void*, int)
{
    connected = false;
}

std::string why_of(int rc)
{
    return rc == MOSQ_ERR_ERRNO ? net_error_text(errno) : mosquitto_strerror(rc);
}

// Wait up to seconds, less when asked to stop.
void pause(double seconds)
{
    auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!stop_requested() && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        names_tick();
    }
}

}  // namespace

bool mqtt_record(const std::string& under, const std::string& topic, const std::string& payload,
                 event_t* e, long long* ms, std::string* why)
{
    *e = event_t();
    // <source>/<sys or none>/<type>, the source under the prefix subscribed to.
    size_t last = topic.rfind('/');
    size_t second = last == std::string::npos || last == 0 ? std::string::npos : topic.rfind('/', last - 1);
    if (second == std::string::npos || second < under.size() || topic.compare(0, under.size(), under) != 0 ||
        topic[under.size()] != '/') {
        *why = "not <TOPIC>/<SYS>/<type>";
        return false;
    }
    record_reader_t reader;
    reader.e = e;
    reader.ms = ms;
    reader.e->offset = -1;
    if (!nlohmann::json::sax_parse(payload, &reader) || reader.depth != 0) {
        *why = reader.why.empty() ? "not a JSON object" : reader.why;
        return false;
    }
    if (!reader.have_type || !reader.have_time) {
        *why = "no 'type' or 'time'";
        return false;
    }
    char sysid[16] = "none";
    if (e->sys >= 0)
        std::snprintf(sysid, sizeof sysid, "%04x", (unsigned)e->sys);
    if (topic.substr(last + 1) != e->type || topic.substr(second + 1, last - second - 1) != sysid) {
        *why = "the topic does not end in the record's system and type";
        return false;
    }
    if (e->source.empty())
        e->source = topic.substr(0, second);
    return true;
}

int mqtt_input_open(const char* host_port)
{
    if (mqtt_split(host_port, &host, &port) != 0)
        return -1;
    ini_t ini;
    ini_load(&ini, settings_file);
    prefix = ini_get_string(&ini, "mqtt", "TOPIC", "marrowit");
    if (prefix.empty())
        prefix = "marrowit";
    if (!mqtt_topic_valid(prefix)) {
        std::fprintf(stderr,
                     "marrowit: invalid MQTT topic '%s' in [mqtt] TOPIC of %s: it may not hold "
                     "'#' or '+' (leave it empty for 'marrowit')\n",
                     prefix.c_str(), settings_file);
        return -1;
    }
    user = ini_get_string(&ini, "mqtt", "USER", "");
    password = ini_get_string(&ini, "mqtt", "PASSWORD", "");
    giveup = ini_get_int(&ini, "mqtt", "GIVEUP", 60);
    return mqtt_library() ? 0 : -1;
}

int mqtt_input_run()
{
    std::string why;
    if (stop_catch(&why) != 0) {
        std::fprintf(stderr, "marrowit: cannot start: %s\n", why.c_str());
        return 255;
    }
    mosquitto_lib_init();
    mosq = mosquitto_new(nullptr, true, nullptr);
    if (!mosq) {
        std::fprintf(stderr, "marrowit: cannot make an MQTT client\n");
        return 255;
    }
    mosquitto_int_option(mosq, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
    if (!user.empty())
        mosquitto_username_pw_set(mosq, user.c_str(), password.empty() ? nullptr : password.c_str());
    mosquitto_connect_callback_set(mosq, on_connect);
    mosquitto_disconnect_callback_set(mosq, on_disconnect);
    mosquitto_subscribe_callback_set(mosq, on_subscribe);
    mosquitto_message_callback_set(mosq, on_message);

    int status = 0;
    bool reached = false, trouble_said = false;
    double delay = 1;
    auto away_since = std::chrono::steady_clock::now();
    while (!stop_requested()) {
        int rc = reached ? mosquitto_reconnect(mosq) : mosquitto_connect(mosq, host.c_str(), port, 30);
        auto asked = std::chrono::steady_clock::now();
        while (rc == MOSQ_ERR_SUCCESS && !stop_requested()) {
            rc = mosquitto_loop(mosq, 100, 1);
            names_tick();
            if (connected) {
                reached = true;
                delay = 1;
                away_since = std::chrono::steady_clock::now();
                if (trouble_said)
                    std::fprintf(stderr, "marrowit: MQTT broker %s:%d reached\n", host.c_str(), port);
                trouble_said = false;
            } else if (std::chrono::steady_clock::now() - asked >
                       std::chrono::seconds(MQTT_ANSWER_SECONDS)) {
                rc = MOSQ_ERR_PROTOCOL;  // took the connection, never answered it
            }
        }
        connected = false;
        if (stop_requested())
            break;
        why = rc == MOSQ_ERR_PROTOCOL ? "no answer" : why_of(rc);
        double away = std::chrono::duration<double>(std::chrono::steady_clock::now() - away_since).count();
        if (giveup > 0 && away >= giveup) {
            std::fprintf(stderr, "marrowit: MQTT broker %s:%d not reached for %u s (%s); stopping\n",
                         host.c_str(), port, giveup, why.c_str());
            status = 255;
            break;
        }
        if (!trouble_said)
            std::fprintf(stderr, "marrowit: MQTT broker %s:%d: %s; reconnecting\n", host.c_str(), port,
                         why.c_str());
        trouble_said = true;
        pause(giveup > 0 && delay > giveup - away ? giveup - away : delay);
        delay = delay * 2 > 30 ? 30 : delay * 2;
    }
    mosquitto_disconnect(mosq);
    input_end();
    if (!summary_quiet) {
        unsigned long long n = 0;
        std::string from;
        for (const auto& r : records) {
            n += r.second;
            from += (from.empty() ? "" : ", ") + r.first;
        }
        std::fprintf(stderr, "marrowit: mqtt:%s:%d: %llu records from %zu receiver%s%s%s%s", host.c_str(),
                     port, n, records.size(), records.size() == 1 ? "" : "s",
                     from.empty() ? "" : " (", from.c_str(), from.empty() ? "" : ")");
        if (ignored)
            std::fprintf(stderr, ", %llu other messages ignored", ignored);
        std::fprintf(stderr, "\n");
    }
    return status;
}
