// Requests to stop on POSIX systems: SIGINT and SIGTERM.  The handler notes
// the request and writes to a pipe, so that a wait for input (poll) ends
// too; a second signal ends the program as the signal would have.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "stop.h"

static int stop_pipe[2] = {-1, -1};
static volatile sig_atomic_t stopping;

static void on_stop(int sig)
{
    if (stopping) {
        signal(sig, SIG_DFL);
        raise(sig);
        return;
    }
    stopping = 1;
    int saved = errno;
    ssize_t ignored = write(stop_pipe[1], "", 1);
    (void)ignored;
    errno = saved;
}

int stop_catch(std::string* why)
{
    if (stop_pipe[0] < 0) {
        int p[2];
        if (pipe(p) != 0) {
            *why = std::strerror(errno);
            return -1;
        }
        // Above the standard streams, which may be closed: the pipe must not
        // stand in for standard input.
        for (int k = 0; k < 2; k++) {
            stop_pipe[k] = fcntl(p[k], F_DUPFD_CLOEXEC, 3);
            close(p[k]);
            fcntl(stop_pipe[k], F_SETFL, O_NONBLOCK);
        }
    }
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_stop;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    return 0;
}

bool stop_requested()
{
    return stopping != 0;
}

int stop_fd()
{
    return stop_pipe[0];
}

size_t stop_read(FILE* f, void* to, size_t n, bool* ended, bool* failed)
{
    *ended = false;
    *failed = false;
    int fd = fileno(f);
    size_t got = 0;
    while (got < n && !*ended && !*failed) {
        if (stopping) {
            *ended = true;
            break;
        }
        struct pollfd p[2] = {{fd, POLLIN, 0}, {stop_pipe[0], POLLIN, 0}};
        if (poll(p, stop_pipe[0] < 0 ? 1 : 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            *failed = true;
            break;
        }
        if (p[1].revents && !p[0].revents)
            continue;  // the request to stop, taken above
        ssize_t r = read(fd, (char*)to + got, n - got);
        if (r == 0)
            *ended = true;
        if (r < 0) {
            if (errno == EINTR || errno == EAGAIN)
                continue;
            *failed = true;
            break;
        }
        got += (size_t)r;
    }
    return got;
}
