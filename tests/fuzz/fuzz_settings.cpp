// Fuzz the settings reader: any bytes as solvane.ini, read for the start-up
// section and for a system section, then every value checked for sanity.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "mpt1327/ini.h"
#include "mpt1327/mpt1327.h"

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // Work in a directory of our own: the settings file and the log live in
    // the current directory.
    char dir[] = "/tmp/marrowit-fuzz-settings-XXXXXX";
    if (!mkdtemp(dir) || chdir(dir) != 0)
        std::abort();
    console = std::fopen("/dev/null", "w");
    settings_retry_ms = 0;  // most inputs end without a line end: no waiting for more
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string text((const char*)data, size);

    ini_t ini;
    ini_parse(&ini, text);
    char buf[16];
    ini_get_string(&ini, "general", "NAME", "x", buf, sizeof buf);
    if (std::strlen(buf) >= sizeof buf)
        std::abort();
    (void)ini_get_int(&ini, "0x1234", "STEP", 125);

    std::FILE* f = std::fopen("solvane.ini", "wb");
    if (!f)
        std::abort();
    std::fwrite(data, 1, size, f);
    std::fclose(f);
    for (const char* s : {"0xffff", "0x1234"}) {
        std::strcpy(sys, s);
        mpt1327_setup();
        if (std::strlen(sysname) > 254)
            std::abort();
        char line[64];
        std::snprintf(line, sizeof line, "%.4f", chan_freq(1023));
    }
    // A log the file switched on is a real file here: start each input afresh.
    if (logfile) {
        std::fclose(logfile);
        logfile = nullptr;
        std::remove("logfile.txt");
    }
    return 0;
}
