// A build without libmosquitto: --mqtt is refused.
#include <cstdio>

#include "events/mqtt.h"

const bool mqtt_available = false;

int mqtt_open(const char*)
{
    std::fprintf(stderr, "marrowit: --mqtt is not available in this build (no libmosquitto)\n");
    return -1;
}

bool mqtt_enabled()
{
    return false;
}

void mqtt_publish(const event_t&, const std::string&) {}

void mqtt_finish() {}
