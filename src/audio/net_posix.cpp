// Sockets on POSIX systems: a request to stop is a signal (SIGINT, SIGTERM),
// whose handler (stop_posix.cpp) writes to a pipe that net_wait polls beside
// the socket.
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "net.h"
#include "stop.h"

int net_start(std::string*)
{
    return 0;
}

bool net_socket(int family, int type, int protocol, net_socket_t* s)
{
    *s = socket(family, type | SOCK_CLOEXEC, protocol);
    return *s >= 0;
}

void net_close(net_socket_t s)
{
    close(s);
}

int net_error()
{
    return errno;
}

void net_clear_error()
{
    errno = 0;
}

bool net_port_in_use(int err)
{
    return err == EADDRINUSE;
}

std::string net_error_text(int err)
{
    return std::strerror(err);
}

std::string net_resolve_error_text(int err)
{
    return gai_strerror(err);
}

bool net_transient(int err)
{
    return err == EINTR || err == EAGAIN || err == EWOULDBLOCK || err == ECONNREFUSED;
}

int net_catch_stop(std::string* why)
{
    return stop_catch(why);
}

int net_wait(net_socket_t s)
{
    for (;;) {
        struct pollfd p[2] = {{s, POLLIN, 0}, {stop_fd(), POLLIN, 0}};
        if (poll(p, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        if (p[1].revents)
            return 0;
        if (p[0].revents)
            return 1;
    }
}

bool net_ready(net_socket_t s)
{
    struct pollfd p = {s, POLLIN, 0};
    return poll(&p, 1, 0) > 0;
}
