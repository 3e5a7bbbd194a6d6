// The call recorder's platform needs on Windows.
#include <direct.h>

#include "recorder_platform.h"

std::tm utc_calendar(std::time_t t)
{
    std::tm tm_utc{};
    gmtime_s(&tm_utc, &t);
    return tm_utc;
}

int make_folder(const char* path)
{
    return _mkdir(path);
}
