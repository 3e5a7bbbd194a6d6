// Fuzz the recording reader: any bytes as a sound file, read to its end
// through libsndfile and the rate converter.  Run with -close_fd_mask=2:
// the reader's messages about bad files go to standard error.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "audio/audio.h"

static int fd = -1;
static std::string path;

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fd = memfd_create("recording", 0);
    if (fd < 0)
        std::abort();
    path = "/proc/self/fd/" + std::to_string(fd);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (ftruncate(fd, 0) != 0 || pwrite(fd, data, size, 0) != (ssize_t)size)
        std::abort();
    audio_setup_t setup = {0, 1, 10800, 0};
    if (file_init(path.c_str(), &setup) == 0 && file_read_begin() == 0) {
        unsigned char* buffer;
        long total = 0;
        int n;
        while ((n = file_read(&buffer)) > 0) {
            if (n > setup.buffer_bytes)
                std::abort();
            total += n;
            for (int i = 0; i < n; i++)
                total += buffer[i] & 1;
        }
        (void)total;
    }
    file_close();
    return 0;
}
