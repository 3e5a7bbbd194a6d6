// Raw samples in UDP datagrams, as SDR programs send their demodulated
// audio: mono, unsigned 8-bit or signed 16-bit little endian, at any rate.
// Datagrams may have any size, and a pause in the stream is no error.  The
// input ends when the program is asked to stop (SIGINT, SIGTERM): what was
// received is decoded to the end and the program exits normally.
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "audio.h"

const int audio_can_receive_udp = 1;
#include "samples.h"

static int sock = -1;
static int stop_pipe[2] = {-1, -1};  // written by the signal handler
static int numpts;
static std::vector<unsigned char> buffer;
static std::vector<unsigned char> datagram(65536);
static raw_input_t raw;
static sample_queue_t queue;
static bool input_done;
static std::string name;  // "udp:ADDRESS:PORT" for messages

static int fail(const char* what, const char* why)
{
    std::fprintf(stderr, "marrowit: %s: %s: %s\n", name.c_str(), what, why);
    return -1;
}

static int bind_socket(const std::string& address, int port)
{
    struct addrinfo hints;
    std::memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_DGRAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    struct addrinfo* found = nullptr;
    int err = getaddrinfo(address.c_str(), std::to_string(port).c_str(), &hints, &found);
    if (err != 0)
        return fail("cannot listen", gai_strerror(err));
    int saved = 0;
    for (struct addrinfo* a = found; a && sock < 0; a = a->ai_next) {
        sock = socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
        if (sock < 0) {
            saved = errno;
            continue;
        }
        if (bind(sock, a->ai_addr, a->ai_addrlen) != 0) {
            saved = errno;
            close(sock);
            sock = -1;
        }
    }
    freeaddrinfo(found);
    if (sock < 0)
        return fail("cannot listen", std::strerror(saved));
    // Room for bursts while the decoder is busy (the system may grant less).
    int size = 1 << 20;
    setsockopt(sock, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    return 0;
}

int udp_init(const char* spec, raw_format_t fmt, int rate, audio_setup_t* setup)
{
    std::string address;
    int port = 0;
    name = std::string("udp:") + spec;
    if (!udp_split(spec, &address, &port))
        return fail("cannot listen", "not [ADDRESS:]PORT");
    if (rate != setup->sample_rate) {
        const char* error = nullptr;
        queue.resampler = resampler_open(rate, setup->sample_rate, &error);
        if (!queue.resampler)
            return fail("cannot convert", error);
    }
    raw = raw_input_t();
    raw.s16 = fmt == RAW_S16LE;
    if (bind_socket(address, port) != 0)
        return -1;
    numpts = setup->sample_rate / 10;
    setup->buffer_bytes = numpts;
    return 0;
}

static void on_stop(int)
{
    int saved = errno;
    ssize_t ignored = write(stop_pipe[1], "", 1);
    (void)ignored;
    errno = saved;
}

int udp_read_begin()
{
    buffer.assign((size_t)numpts, 128);
    input_done = false;
    if (stop_pipe[0] < 0 && pipe(stop_pipe) != 0)
        return fail("cannot start", std::strerror(errno));
    for (int fd : stop_pipe)
        fcntl(fd, F_SETFL, O_NONBLOCK);
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_stop;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    return 0;
}

// One datagram into the queue; false on a socket error.
static bool receive(int flags)
{
    ssize_t got = recv(sock, datagram.data(), datagram.size(), flags);
    if (got < 0) {
        if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK || errno == ECONNREFUSED)
            return true;
        fail("cannot receive", std::strerror(errno));
        return false;
    }
    raw_push(&raw, &queue, datagram.data(), (size_t)got);
    return true;
}

int udp_read(unsigned char** data)
{
    while (!input_done && queue_size(&queue) < (size_t)numpts) {
        struct pollfd p[2] = {{sock, POLLIN, 0}, {stop_pipe[0], POLLIN, 0}};
        if (poll(p, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            fail("cannot receive", std::strerror(errno));
            return 0;
        }
        if (p[1].revents) {
            // Asked to stop: take what has already arrived, then end the input.
            for (int i = 0; i < 4096; i++) {
                struct pollfd q = {sock, POLLIN, 0};
                if (poll(&q, 1, 0) <= 0 || !receive(MSG_DONTWAIT))
                    break;
            }
            input_done = true;
            queue_drain(&queue);
            break;
        }
        if (p[0].revents && !receive(0))
            return 0;
    }
    size_t n = queue_take(&queue, buffer.data(), (size_t)numpts);
    if (n == 0) {
        audio_eof = 1;
        return 0;
    }
    *data = buffer.data();
    return (int)n;
}
