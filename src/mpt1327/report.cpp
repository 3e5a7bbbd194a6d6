// Report output: every line the decoder produces reaches the console, and
// the log when it is open, through pprint and printbins.
//
// The activity words "ALOHA", "REQ / AHOY" and "MISC" are not lines: they are
// shown in place and blanked again by the next one, so an idle control
// channel blinks instead of scrolling, and they never reach the log.
#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <ctime>

#include "event.h"
#include "families.h"
#include "decoder.h"
#include "output.h"

char ptext[256];
FILE* logfile = nullptr;
FILE* console = stdout;
int removemsg = 0;
// The console and the log show one decoder (mpt1327/decoder.h): the others
// that --all opens are muted, and are seen in the JSON lines, MQTT, the
// database and the web page.
bool report_muted = false;
decoder_var(report_muted);
decoder_var(removemsg);

// A log that cannot be written (a full disk) does not stop the decoder, but
// the user is told once, on standard error, until writes succeed again.
static bool log_trouble;

// After every write: flush the log, and the console, which shows
// everything at once and ends the program when it cannot be written.  wrote_log says whether this write went to the log,
// so that only a write that got through clears a reported failure.
static void flush_all(bool wrote_log)
{
    if (logfile) {
        if (std::fflush(logfile) != 0 || std::ferror(logfile)) {
            if (!log_trouble)
                std::fprintf(stderr, "marrowit: cannot write %s: %s; report lines are missing from it\n",
                             log_file, std::strerror(errno));
            log_trouble = true;
            std::clearerr(logfile);
        } else if (wrote_log) {
            log_trouble = false;
        }
    } else {
        std::fflush(nullptr);
    }
    output_check(console);
}

static bool is_indicator(const char* line)
{
    return std::strncmp(line, "ALO", 3) == 0 || std::strncmp(line, "REQ", 3) == 0 ||
           std::strncmp(line, "MIS", 3) == 0;
}

void pprint(const char* line)
{
    if (report_muted)
        return;
    if (is_indicator(line)) {
        if (removemsg == 0) {
            std::fprintf(console, "%s       ", line);
            for (size_t i = std::strlen(line) + 7; i > 0; i--)
                std::fputc('\b', console);
            removemsg = 1;
        } else {
            std::fputs("          ", console);
            for (int i = 0; i < 10; i++)
                std::fputc('\b', console);
            removemsg = 0;
        }
    } else {
        removemsg = 0;
        std::fprintf(console, "%s\n", line);
        if (logger == 1 && logfile) {
            std::fprintf(logfile, "%s\n", line);
            flush_all(true);
            return;
        }
    }
    flush_all(false);
}

void printbins(unsigned short word)
{
    if (report_muted)
        return;
    char digits[18];
    int n = 0;
    for (int bit = 15; bit >= 0; bit--) {
        digits[n++] = (word >> bit) & 1 ? '1' : '0';
        if (bit == 8)
            digits[n++] = ' ';
    }
    digits[n] = 0;
    std::fprintf(console, "   %s", digits);
    if (logfile)
        std::fprintf(logfile, " %s", digits);
    flush_all(logfile != nullptr);
}

void console_write(const char* text)
{
    if (report_muted)
        return;
    std::fputs(text, console);
    output_check(console);
}

void console_silence()
{
#ifdef _WIN32
    FILE* null = std::fopen("NUL", "w");
#else
    FILE* null = std::fopen("/dev/null", "w");
#endif
    if (null)
        console = null;
}

void ptext_format(const char* fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(ptext, sizeof ptext, fmt, ap);
    va_end(ap);
}

void ptext_append(const char* fmt, ...)
{
    size_t used = std::strlen(ptext);
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(ptext + used, sizeof ptext - used, fmt, ap);
    va_end(ap);
}

void report_line(const mpt1327_t* state)
{
    if (verb == 1)
        for (int i = 0; i < 4; i++)
            printbins(state->cw[i]);
    pprint(ptext);
    event_report();
}

const char* time_stamp()
{
    std::time_t now = std::time(nullptr);
    const char* text = std::ctime(&now);
    return text ? text : "??? ??? ?? ??:??:?? ????\n";
}
