// A build without the HTTP server: --http is refused.
#include <cstdio>

#include "web/web.h"

const bool web_available = false;

int web_open(const std::string&, int, const char*)
{
    std::fprintf(stderr, "marrowit: --http is not available in this build (no cpp-httplib)\n");
    return -1;
}

void web_finish() {}

void web_close() {}

std::string web_recording_path(const std::string&, const std::string&)
{
    return "";
}
