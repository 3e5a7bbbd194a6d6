// Builds without libsndfile write raw samples only.
#include "container.h"

int gen_write_container(const std::vector<float>&, const gen_audio_t&, const std::string& kind,
                        const std::string&, std::string* error)
{
    if (kind == "wav" || kind == "wav16" || kind == "au" || kind == "flac" || kind == "aiff")
        *error = "this build cannot write '" + kind + "' files; use u8 or s16";
    else
        *error = "unknown output kind '" + kind + "'";
    return -1;
}
