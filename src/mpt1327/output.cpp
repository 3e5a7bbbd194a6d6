#include "output.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

void output_check(std::FILE* stream)
{
    // errno is the failed write's: the check follows every write at once.
    if (std::fflush(stream) == 0 && !std::ferror(stream))
        return;
    int err = errno ? errno : EIO;
    static bool said;  // a writer run on the way out must not end it twice
    if (said)
        return;
    said = true;
    std::fprintf(stderr, "marrowit: cannot write %s: %s\n",
                 stream == stdout ? "standard output" : "the console", std::strerror(err));
    std::exit(OUTPUT_FAILED);
}

void output_check_open()
{
    if (!stdout_closed())
        return;
    std::fprintf(stderr, "marrowit: cannot write standard output: %s\n", std::strerror(EBADF));
    std::exit(OUTPUT_FAILED);
}
