// Sockets on Windows (Winsock 2).  A request to stop is a console control
// event (Ctrl-C or Ctrl-Break): its handler, which Windows runs on a thread
// of its own, sets an event that net_wait waits for beside the socket's.
#include <winsock2.h>
#include <windows.h>

#include <cstring>

#include "net.h"
#include "stop.h"

static HANDLE stop_event;
static WSAEVENT socket_event = WSA_INVALID_EVENT;
static net_socket_t watched = INVALID_SOCKET;

int net_start(std::string* why)
{
    static bool started;
    WSADATA data;
    int err = started ? 0 : WSAStartup(MAKEWORD(2, 2), &data);
    if (err != 0) {
        *why = net_error_text(err);
        return -1;
    }
    started = true;
    return 0;
}

bool net_socket(int family, int type, int protocol, net_socket_t* s)
{
    *s = socket(family, type, protocol);
    if (*s == INVALID_SOCKET)
        return false;
    SetHandleInformation((HANDLE)*s, HANDLE_FLAG_INHERIT, 0);
    return true;
}

void net_close(net_socket_t s)
{
    if (s == watched)
        watched = INVALID_SOCKET;
    closesocket(s);
}

int net_error()
{
    return WSAGetLastError();
}

void net_clear_error()
{
    WSASetLastError(0);
}

bool net_port_in_use(int err)
{
    return err == WSAEADDRINUSE || err == WSAEACCES;
}

// The errors a listener or a client meets, in the words the POSIX build
// uses; the C library's text for errno values, the system's text for the
// others, without its full stop and line end.
std::string net_error_text(int err)
{
    static const struct {
        int err;
        const char* text;
    } known[] = {
        {WSAEADDRINUSE, "Address already in use"},
        {WSAEADDRNOTAVAIL, "Cannot assign requested address"},
        {WSAEACCES, "Permission denied"},
        {WSAEAFNOSUPPORT, "Address family not supported by protocol"},
        {WSAENETDOWN, "Network is down"},
        {WSAENOBUFS, "No buffer space available"},
        {WSAEMFILE, "Too many open files"},
        {WSAECONNREFUSED, "Connection refused"},
        {WSAECONNRESET, "Connection reset by peer"},
        {WSAECONNABORTED, "Software caused connection abort"},
        {WSAETIMEDOUT, "Connection timed out"},
        {WSAEHOSTUNREACH, "No route to host"},
        {WSAENETUNREACH, "Network is unreachable"},
    };
    if (err > 0 && err < WSABASEERR)
        return std::strerror(err);
    for (const auto& k : known)
        if (k.err == err)
            return k.text;
    char text[512];
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             (DWORD)err, 0, text, sizeof text, nullptr);
    std::string s(text, n);
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' ' || s.back() == '.'))
        s.pop_back();
    return s.empty() ? "error " + std::to_string(err) : s;
}

std::string net_resolve_error_text(int err)
{
    return net_error_text(err);
}

bool net_transient(int err)
{
    return err == WSAEINTR || err == WSAEWOULDBLOCK || err == WSAECONNRESET;
}

static BOOL WINAPI on_control(DWORD type)
{
    if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT)
        return FALSE;
    // The handler registered last is the one Windows calls: the request is
    // the program's as well as the socket's.  It is noted before the wait is
    // woken, so that the run loop, ending its input then, ends the calls as
    // stopped rather than as at the end of the input.
    bool first = stop_note_request();
    SetEvent(stop_event);
    return first ? TRUE : FALSE;
}

int net_catch_stop(std::string* why)
{
    if (!stop_event)
        stop_event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!stop_event || !SetConsoleCtrlHandler(on_control, TRUE)) {
        *why = net_error_text((int)GetLastError());
        return -1;
    }
    return 0;
}

// The socket's event is set when a datagram arrives; receiving one sets it
// again while more are waiting.  The socket does not block from then on.
int net_wait(net_socket_t s)
{
    if (watched != s) {
        if (socket_event == WSA_INVALID_EVENT)
            socket_event = WSACreateEvent();
        if (socket_event == WSA_INVALID_EVENT || WSAEventSelect(s, socket_event, FD_READ) != 0)
            return -1;
        watched = s;
    }
    HANDLE events[2] = {stop_event, socket_event};
    DWORD got = WaitForMultipleObjects(2, events, FALSE, INFINITE);
    if (got == WAIT_OBJECT_0)
        return 0;
    if (got != WAIT_OBJECT_0 + 1) {
        WSASetLastError((int)GetLastError());
        return -1;
    }
    WSAResetEvent(socket_event);
    return 1;
}

bool net_ready(net_socket_t s)
{
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(s, &readable);
    timeval now = {0, 0};
    return select(0, &readable, nullptr, nullptr, &now) > 0;
}
