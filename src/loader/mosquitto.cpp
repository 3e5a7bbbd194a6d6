// libmosquitto, loaded for --mqtt: the functions the publisher uses.
#include <mosquitto.h>

#include "events/mqtt.h"
#include "loader/loaded.h"

static loaded_library_t mosq = {MOSQUITTO_SONAME, "libmosquitto", nullptr, false};

bool mqtt_library()
{
    return loaded_open(&mosq);
}

extern "C" {
LOADED_FORWARD(mosq, int, mosquitto_lib_init, (void), ())
LOADED_FORWARD(mosq, struct mosquitto*, mosquitto_new, (const char* id, bool clean, void* obj),
               (id, clean, obj))
LOADED_FORWARD(mosq, int, mosquitto_username_pw_set,
               (struct mosquitto * m, const char* user, const char* password), (m, user, password))
LOADED_FORWARD(mosq, int, mosquitto_connect,
               (struct mosquitto * m, const char* host, int port, int keepalive),
               (m, host, port, keepalive))
LOADED_FORWARD(mosq, int, mosquitto_reconnect, (struct mosquitto * m), (m))
LOADED_FORWARD(mosq, int, mosquitto_disconnect, (struct mosquitto * m), (m))
LOADED_FORWARD(mosq, int, mosquitto_publish,
               (struct mosquitto * m, int* mid, const char* topic, int len, const void* payload,
                int qos, bool retain),
               (m, mid, topic, len, payload, qos, retain))
LOADED_FORWARD(mosq, int, mosquitto_loop, (struct mosquitto * m, int timeout, int max_packets),
               (m, timeout, max_packets))
LOADED_FORWARD(mosq, int, mosquitto_int_option,
               (struct mosquitto * m, enum mosq_opt_t option, int value), (m, option, value))
LOADED_FORWARD(mosq, int, mosquitto_max_inflight_messages_set,
               (struct mosquitto * m, unsigned int n), (m, n))
LOADED_FORWARD(mosq, void, mosquitto_connect_callback_set,
               (struct mosquitto * m, void (*cb)(struct mosquitto*, void*, int)), (m, cb))
LOADED_FORWARD(mosq, void, mosquitto_disconnect_callback_set,
               (struct mosquitto * m, void (*cb)(struct mosquitto*, void*, int)), (m, cb))
LOADED_FORWARD(mosq, void, mosquitto_publish_callback_set,
               (struct mosquitto * m, void (*cb)(struct mosquitto*, void*, int)), (m, cb))
LOADED_FORWARD(mosq, int, mosquitto_subscribe,
               (struct mosquitto * m, int* mid, const char* sub, int qos), (m, mid, sub, qos))
LOADED_FORWARD(mosq, void, mosquitto_subscribe_callback_set,
               (struct mosquitto * m, void (*cb)(struct mosquitto*, void*, int, int, const int*)),
               (m, cb))
LOADED_FORWARD(mosq, void, mosquitto_message_callback_set,
               (struct mosquitto * m,
                void (*cb)(struct mosquitto*, void*, const struct mosquitto_message*)),
               (m, cb))
LOADED_FORWARD(mosq, const char*, mosquitto_strerror, (int e), (e))
LOADED_FORWARD(mosq, const char*, mosquitto_connack_string, (int code), (code))
}
