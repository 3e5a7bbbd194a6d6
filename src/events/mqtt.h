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

// Split "HOST", "HOST:PORT" or "[IPv6]:PORT" (port 1883 by default): 0, or
// -1 after saying why.
int mqtt_split(const char* host_port, std::string* host, int* port);
// A topic prefix without the wildcards '#' and '+'.
bool mqtt_topic_valid(const std::string& topic);

// ---- mqtt:HOST[:PORT] as the input (mqtt_input.cpp) ------------------------
//
// The records other receivers publish are taken in from the broker: every
// message under "<TOPIC>/#" (TOPIC of [mqtt], "marrowit" by default) whose
// topic ends in "/<SYS>/<type>" and whose text is one of their JSON objects
// becomes a record again, with its own time, offset and sys, and the source
// "the topic less its last two levels" (a receiver with TOPIC=marrowit/north
// is "marrowit/north"), and is handed to the sinks (--json, --db, ...).

// false in a build without libmosquitto or nlohmann-json
extern const bool mqtt_input_available;

// Check the broker and the topic, and load libmosquitto: 0, or -1 after
// saying why.
int mqtt_input_open(const char* host_port);
// Take records until asked to stop (0) or until the broker has been away
// for [mqtt] GIVEUP seconds (default 60; 0 never): 255 after saying so.
int mqtt_input_run();
// One message as a record: false when it is not a record of a receiver
// under prefix (why in *why).  *ms: the record's wall clock.
bool mqtt_record(const std::string& prefix, const std::string& topic, const std::string& payload,
                 event_t* e, long long* ms, std::string* why);

// Make libmosquitto available (loaded on Linux, linked on Windows): true,
// or false after saying why.
bool mqtt_library();
bool mqtt_enabled();

// Queue one record's JSON line; never blocks.
void mqtt_publish(const event_t& e, const std::string& line);

// At the end of the input: wait up to MQTT_DRAIN_SECONDS for the queue to
// be acknowledged, say what was not, and disconnect.
void mqtt_finish();
