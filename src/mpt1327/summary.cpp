#include "summary.h"

#include <cstdio>

#include "event.h"
#include "mpt1327.h"

bool summary_quiet = false;
bool summary_iq = false;

// "1 sync word", "2 sync words".
static std::string count(unsigned long long n, const char* what)
{
    char text[64];
    std::snprintf(text, sizeof text, "%llu %s%s", n, what, n == 1 ? "" : "s");
    return text;
}

std::string summary_text(bool raw_samples)
{
    char head[64];
    std::snprintf(head, sizeof head, "marrowit: %.1f s of audio: ", input_seconds());
    std::string s = head + count(decode_counts.syncs, "sync word") + ", " +
                    count(decode_counts.passed, "codeword") + " passed, " +
                    std::to_string(decode_counts.failed) + " failed, ";

    // Noise can pass the check now and then with a stray identity: a long
    // list is cut.
    const size_t shown = 8;
    const std::vector<unsigned short>& systems = decode_counts.systems;
    if (systems.empty()) {
        s += "no system identity";
    } else {
        s += count(systems.size(), "system") + " (";
        for (size_t i = 0; i < systems.size() && i < shown; i++) {
            char id[8];
            std::snprintf(id, sizeof id, "0x%4.4x", systems[i]);
            s += (i ? " " : "") + std::string(id);
        }
        if (systems.size() > shown)
            s += " and " + std::to_string(systems.size() - shown) + " more";
        s += ")";
    }

    if (decode_counts.passed == 0) {
        s += "; nothing decoded: not an MPT 1327 control channel?";
        if (raw_samples)
            s += " a WAV file sent as raw samples? the wrong --format or --rate?";
        if (summary_iq)
            s += " the wrong --center, --ppm or --rate, or CCHFREQUENCY in the settings not the"
                 " control channel?";
        s += " a network using other synchronisation words (SYNC in the settings)?"
             " the level too low or clipped?";
    }
    return s + "\n";
}

void summary_print(bool raw_samples)
{
    if (summary_quiet)
        return;
    std::fputs(summary_text(raw_samples).c_str(), stderr);
    std::fflush(stderr);
}
