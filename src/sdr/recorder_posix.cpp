// The call recorder's platform needs on POSIX systems.
#include <sys/stat.h>

#include "recorder_platform.h"

std::tm utc_calendar(std::time_t t)
{
    std::tm tm_utc{};
    gmtime_r(&t, &tm_utc);
    return tm_utc;
}

int make_folder(const char* path)
{
    return mkdir(path, 0777);
}
