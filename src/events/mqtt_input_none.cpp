// A build without libmosquitto or nlohmann-json: mqtt: input is refused.
#include <cstdio>

#include "events/mqtt.h"

const bool mqtt_input_available = false;

int mqtt_input_open(const char*)
{
    std::fprintf(stderr, "marrowit: mqtt: input is not available in this build\n");
    return -1;
}

int mqtt_input_run()
{
    return 255;
}

bool mqtt_record(const std::string&, const std::string&, const std::string&, event_t*, long long*,
                 std::string* why)
{
    *why = "not in this build";
    return false;
}
