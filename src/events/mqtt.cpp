// Publishing report records to an MQTT broker with libmosquitto.
//
// The decoding thread only puts messages in a queue (mqtt_publish).  The
// client's own thread makes every libmosquitto call: it connects (again and
// again, with a delay growing to 30 s, until the broker is reached), runs
// the client's loop, and hands the queued messages to the client only
// while the connection is up, so that nothing is sent before the broker
// has accepted the connection.  The client keeps a message until the
// broker acknowledges it (PUBACK) and sends it again after a reconnection.
// outstanding counts the messages queued or handed over and not yet
// acknowledged; it bounds the queue at MQTT_QUEUE.
#include "events/mqtt.h"

#include <mosquitto.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
#include <utility>

#include "audio/net_error.h"
#include "mpt1327/ini.h"
#include "mpt1327/mpt1327.h"

const bool mqtt_available = true;

static bool enabled, started;
static std::string host;
static int port = 1883;
static struct mosquitto* mosq;
static std::atomic<int> outstanding;
static std::atomic<unsigned long long> dropped;
static bool full_said;

struct message_t {
    std::string topic, payload;
};
static std::mutex queue_mutex;
static std::deque<message_t> queue;  // not yet handed to the client
static bool connected;               // the client's thread only

static std::mutex stop_mutex;
static std::condition_variable stop_cv;
static bool stopping;
static std::atomic<bool> thread_done;

// Trouble with the broker is said once, until it is reached again.
static std::mutex say_mutex;
static bool trouble_said;

static void trouble(const std::string& what)
{
    std::lock_guard<std::mutex> lock(say_mutex);
    if (trouble_said)
        return;
    trouble_said = true;
    std::fprintf(stderr, "marrowit: MQTT broker %s:%d: %s; messages wait, reconnecting\n",
                 host.c_str(), port, what.c_str());
}

static void on_connect(struct mosquitto*, void*, int rc)
{
    if (rc != 0) {
        trouble(mosquitto_connack_string(rc));
        return;
    }
    connected = true;
    std::lock_guard<std::mutex> lock(say_mutex);
    if (trouble_said)
        std::fprintf(stderr, "marrowit: MQTT broker %s:%d reached\n", host.c_str(), port);
    trouble_said = false;
}

static void on_disconnect(struct mosquitto*, void*, int rc)
{
    connected = false;
    if (rc != 0) {
        std::string why = std::string("connection lost (") +
                          (rc == MOSQ_ERR_ERRNO ? net_error_text(errno) : mosquitto_strerror(rc)) + ")";
        trouble(why);
    }
}

static void on_publish(struct mosquitto*, void*, int)
{
    outstanding--;
}

// The prefix of every topic: TOPIC of the settings, the default when empty.
static std::string prefix()
{
    return mqtt_prefix.empty() ? std::string("marrowit") : mqtt_prefix;
}

// A TOPIC may not hold the wildcards '#' and '+'.
bool mqtt_topic_valid(const std::string& topic)
{
    return topic.find_first_of("#+") == std::string::npos && topic.find('\0') == std::string::npos;
}

int mqtt_split(const char* host_port, std::string* host_out, int* port_out)
{
    std::string hp = host_port;
    std::string host = hp;
    int port = 1883;
    std::string digits;
    bool has_port = false;
    if (!hp.empty() && hp[0] == '[') {  // [IPv6]:PORT, as for UDP input
        size_t close = hp.find(']');
        if (close == std::string::npos || (close + 1 < hp.size() && hp[close + 1] != ':')) {
            std::fprintf(stderr, "marrowit: invalid MQTT broker '%s' (see 'marrowit --help')\n",
                         host_port);
            return -1;
        }
        host = hp.substr(1, close - 1);
        has_port = close + 1 < hp.size();
        if (has_port)
            digits = hp.substr(close + 2);
    } else {
        size_t colon = hp.rfind(':');
        if (colon != std::string::npos && hp.find(':') == colon) {
            host = hp.substr(0, colon);
            digits = hp.substr(colon + 1);
            has_port = true;
        }
    }
    if (has_port) {
        const char* p = digits.c_str();
        char* end = nullptr;
        long v = std::strtol(p, &end, 10);
        if (!*p || *end || v < 1 || v > 65535) {
            std::fprintf(stderr, "marrowit: invalid MQTT port in '%s' (see 'marrowit --help')\n",
                         host_port);
            return -1;
        }
        port = (int)v;
    }
    if (host.empty()) {
        std::fprintf(stderr, "marrowit: no MQTT broker host in '%s' (see 'marrowit --help')\n",
                     host_port);
        return -1;
    }
    *host_out = host;
    *port_out = port;
    return 0;
}

int mqtt_open(const char* host_port)
{
    if (mqtt_split(host_port, &host, &port) != 0)
        return -1;
    ini_t ini;
    ini_load(&ini, settings_file);
    std::string topic = ini_get_string(&ini, "mqtt", "TOPIC", "marrowit");
    if (!mqtt_topic_valid(topic)) {
        std::fprintf(stderr,
                     "marrowit: invalid MQTT topic '%s' in [mqtt] TOPIC of %s: it may not hold "
                     "'#' or '+' (leave it empty for 'marrowit')\n",
                     topic.c_str(), settings_file);
        return -1;
    }
    if (!mqtt_library())
        return -1;
    enabled = true;
    return 0;
}

bool mqtt_enabled()
{
    return enabled;
}

static bool stop_requested()
{
    std::lock_guard<std::mutex> lock(stop_mutex);
    return stopping;
}

// Wait for the delay, or less when asked to stop; false when asked to stop.
static bool back_off(int* delay)
{
    std::unique_lock<std::mutex> lock(stop_mutex);
    stop_cv.wait_for(lock, std::chrono::seconds(*delay), [] { return stopping; });
    *delay = *delay * 2 > 30 ? 30 : *delay * 2;
    return !stopping;
}

// Hand what waits to the client.
static void hand_over()
{
    std::deque<message_t> batch;
    {
        std::lock_guard<std::mutex> lock(queue_mutex);
        batch.swap(queue);
    }
    for (const message_t& m : batch) {
        int rc = mosquitto_publish(mosq, nullptr, m.topic.c_str(), (int)m.payload.size(),
                                   m.payload.data(), 1, false);
        if (rc != MOSQ_ERR_SUCCESS && rc != MOSQ_ERR_NO_CONN) {  // not kept by the client
            outstanding--;
            dropped++;
        }
    }
}

static void client_thread()
{
    int delay = 1;
    bool reached = false;
    while (!stop_requested()) {
        int rc = reached ? mosquitto_reconnect(mosq) : mosquitto_connect(mosq, host.c_str(), port, 30);
        if (rc != MOSQ_ERR_SUCCESS) {
            trouble(rc == MOSQ_ERR_ERRNO ? net_error_text(errno) : mosquitto_strerror(rc));
            if (!back_off(&delay))
                break;
            continue;
        }
        reached = true;
        // A broker that takes the connection must answer it (CONNACK);
        // one that does not is said, and the connection made again.
        auto asked = std::chrono::steady_clock::now();
        bool silent = false;
        while (rc == MOSQ_ERR_SUCCESS && !stop_requested()) {
            if (connected)
                hand_over();
            else if (std::chrono::steady_clock::now() - asked >
                     std::chrono::seconds(MQTT_ANSWER_SECONDS)) {
                silent = true;
                mosquitto_disconnect(mosq);
                break;
            }
            rc = mosquitto_loop(mosq, 50, 1);
        }
        connected = false;
        if (stop_requested())
            break;
        if (silent) {
            char why[96];
            std::snprintf(why, sizeof why, "took the connection but did not answer in %d s",
                          MQTT_ANSWER_SECONDS);
            trouble(why);
        } else if (rc != MOSQ_ERR_CONN_LOST)
            trouble(rc == MOSQ_ERR_ERRNO ? net_error_text(errno) : mosquitto_strerror(rc));
        delay = 1;
        if (!back_off(&delay))
            break;
    }
    if (connected) {
        mosquitto_disconnect(mosq);
        mosquitto_loop(mosq, 50, 1);
    }
    thread_done = true;
}

// The connection starts with the first message, when the settings (user,
// password, topic) have been read.
static void start()
{
    started = true;
    mosquitto_lib_init();
    mosq = mosquitto_new(nullptr, true, nullptr);
    if (!mosq) {
        trouble("cannot make a client");
        return;
    }
    mosquitto_int_option(mosq, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
    if (!mqtt_user.empty())
        mosquitto_username_pw_set(mosq, mqtt_user.c_str(),
                                  mqtt_password.empty() ? nullptr : mqtt_password.c_str());
    mosquitto_max_inflight_messages_set(mosq, 100);
    mosquitto_connect_callback_set(mosq, on_connect);
    mosquitto_disconnect_callback_set(mosq, on_disconnect);
    mosquitto_publish_callback_set(mosq, on_publish);
    std::thread(client_thread).detach();
}

static std::string topic(const event_t& e)
{
    char sysid[16] = "none";
    if (e.sys >= 0)
        std::snprintf(sysid, sizeof sysid, "%4.4x", (unsigned)e.sys);
    std::string first = prefix();
    if (!mqtt_topic_valid(first)) {  // TOPIC made invalid while running
        static bool said;
        if (!said)
            std::fprintf(stderr, "marrowit: invalid MQTT topic '%s' in the settings; using 'marrowit'\n",
                         first.c_str());
        said = true;
        first = "marrowit";
    }
    return first + "/" + sysid + "/" + e.type;
}

void mqtt_publish(const event_t& e, const std::string& line)
{
    if (!enabled)
        return;
    if (!started)
        start();
    if (!mosq)
        return;
    if (outstanding >= MQTT_QUEUE) {
        dropped++;
        if (!full_said)
            std::fprintf(stderr, "marrowit: MQTT queue full (%d messages); dropping messages\n",
                         MQTT_QUEUE);
        full_said = true;
        return;
    }
    if (outstanding < MQTT_QUEUE / 2)
        full_said = false;  // said again only after the queue has half emptied
    outstanding++;
    std::lock_guard<std::mutex> lock(queue_mutex);
    queue.push_back(message_t{topic(e), line});
}

void mqtt_finish()
{
    if (!mosq)
        return;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(MQTT_DRAIN_SECONDS);
    while (outstanding > 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    unsigned long long lost = dropped.load() + (unsigned long long)(outstanding > 0 ? outstanding.load() : 0);
    if (lost)
        std::fprintf(stderr, "marrowit: %llu messages not delivered to the MQTT broker %s:%d\n", lost,
                     host.c_str(), port);
    {
        std::lock_guard<std::mutex> lock(stop_mutex);
        stopping = true;
    }
    stop_cv.notify_all();
    // A connection attempt under way may take long: the process ends anyway.
    deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    while (!thread_done && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
}
