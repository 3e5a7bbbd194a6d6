// Publishing report records to an MQTT broker (--mqtt HOST[:PORT]).
//
// Every record goes, as its JSON line, to the topic
// "<TOPIC>/<identity as four hex digits, or none>/<type>" with QoS 1;
// TOPIC, USER and PASSWORD come from [mqtt] in the settings file.  The
// client runs on its own thread: decoding only hands it messages and never
// waits for the broker.  While the broker cannot be reached (away at start,
// restarted, gone) the messages wait in a queue of MQTT_QUEUE and the client
// reconnects with a growing delay; the trouble is said once on standard
// error, and again only after the broker was reached.
#pragma once

#include <string>

#include "mpt1327/event.h"

const int MQTT_QUEUE = 10000;       // messages waiting for the broker at most
const int MQTT_DRAIN_SECONDS = 10;  // at the end of the input, to send what waits
const int MQTT_ANSWER_SECONDS = 3;  // for the broker to answer a connection it took

// Set the broker up ("HOST", "HOST:PORT" or "[IPv6]:PORT", port 1883 by
// default) and check TOPIC in the settings: it may not hold the wildcards
// '#' and '+'; an empty one is "marrowit".  The connection starts with the
// first message.  0, or -1 after saying why (also in a build without MQTT).
int mqtt_open(const char* host_port);
extern const bool mqtt_available;  // false in a build without libmosquitto

// Make libmosquitto available (loaded on Linux, linked on Windows): true,
// or false after saying why.
bool mqtt_library();
bool mqtt_enabled();

// Queue one record's JSON line; never blocks.
void mqtt_publish(const event_t& e, const std::string& line);

// At the end of the input: wait up to MQTT_DRAIN_SECONDS for the queue to
// be acknowledged, say what was not, and disconnect.
void mqtt_finish();
