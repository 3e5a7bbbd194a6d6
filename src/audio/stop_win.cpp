// Requests to stop on Windows: Ctrl-C and Ctrl-Break, whose handler Windows
// runs on a thread of its own.  A read from standard input or a file is not
// broken off; the request is taken between buffers.
#include <windows.h>

#include <atomic>

#include "stop.h"

static std::atomic<int> requests;

bool stop_note_request()
{
    return ++requests == 1;
}

static BOOL WINAPI on_control(DWORD type)
{
    if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT)
        return FALSE;
    // FALSE the second time: the default handler ends the program.
    return stop_note_request() ? TRUE : FALSE;
}

int stop_catch(std::string*)
{
    SetConsoleCtrlHandler(on_control, TRUE);
    return 0;
}

bool stop_requested()
{
    return requests > 0;
}

size_t stop_read(FILE* f, void* to, size_t n, bool* ended, bool* failed)
{
    size_t got = std::fread(to, 1, n, f);
    *failed = got < n && std::ferror(f);
    *ended = got < n && !*failed;
    return got;
}
