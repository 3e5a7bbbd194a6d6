// Raw samples in UDP datagrams, as SDR programs send their demodulated
// audio: mono, unsigned 8-bit or signed 16-bit little endian, at any rate.
// Datagrams may have any size, and a pause in the stream is no error.  Each
// datagram holds whole samples: the last byte of an odd-sized datagram of
// 16-bit samples is dropped (counted, and said once), so that one stray
// datagram cannot shift every later sample by a byte.  The
// input ends when the program is asked to stop (Ctrl-C, or SIGTERM where
// there are signals): what was received is decoded to the end and the
// program exits normally.  The platform's part is in net_*.cpp.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "audio.h"
#include "net.h"

const int audio_can_receive_udp = 1;
#include "samples.h"

static net_socket_t sock;
static bool have_socket;
static int numpts;
static std::vector<unsigned char> buffer;
static std::vector<unsigned char> datagram(65536);
static raw_input_t raw;
static sample_queue_t queue;
static bool input_done;
static std::string name;  // "udp:ADDRESS:PORT" for messages
static unsigned long long partial;  // datagrams whose trailing partial sample was dropped

static int fail(const char* what, const std::string& why)
{
    std::fprintf(stderr, "marrowit: %s: %s: %s\n", name.c_str(), what, why.c_str());
    return -1;
}

static int bind_socket(const std::string& address, int port)
{
    std::string why;
    if (net_start(&why) != 0)
        return fail("cannot listen", why);
    struct addrinfo hints;
    std::memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_DGRAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    struct addrinfo* found = nullptr;
    int err = getaddrinfo(address.c_str(), std::to_string(port).c_str(), &hints, &found);
    if (err != 0)
        return fail("cannot listen", net_resolve_error_text(err));
    int saved = 0;
    for (struct addrinfo* a = found; a && !have_socket; a = a->ai_next) {
        if (!net_socket(a->ai_family, a->ai_socktype, a->ai_protocol, &sock)) {
            saved = net_error();
            continue;
        }
        have_socket = bind(sock, a->ai_addr, (int)a->ai_addrlen) == 0;
        if (!have_socket) {
            saved = net_error();
            net_close(sock);
        }
    }
    freeaddrinfo(found);
    if (!have_socket)
        return fail("cannot listen", net_error_text(saved));
    // Room for bursts while the decoder is busy (the system may grant less).
    int size = 1 << 20;
    setsockopt(sock, SOL_SOCKET, SO_RCVBUF, (const char*)&size, sizeof size);
    return 0;
}

int udp_init(const char* where, raw_format_t fmt, int rate, audio_setup_t* setup)
{
    std::string address;
    int port = 0;
    name = std::string("udp:") + where;
    if (!udp_split(where, &address, &port))
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

int udp_read_begin()
{
    buffer.assign((size_t)numpts, 128);
    input_done = false;
    partial = 0;
    std::string why;
    if (net_catch_stop(&why) != 0)
        return fail("cannot start", why);
    return 0;
}

// One datagram into the queue; false on a socket error.
static bool receive()
{
    long got = recv(sock, (char*)datagram.data(), (int)datagram.size(), 0);
    if (got < 0) {
        int err = net_error();
        if (net_transient(err))
            return true;
        fail("cannot receive", net_error_text(err));
        return false;
    }
    if (raw.s16 && got % 2) {
        if (partial++ == 0)
            std::fprintf(stderr,
                         "marrowit: %s: a datagram of %ld bytes is not whole 16-bit samples; "
                         "the last byte of such datagrams is dropped\n",
                         name.c_str(), got);
        got--;
    }
    raw_push(&raw, &queue, datagram.data(), (size_t)got);
    return true;
}

int udp_read(unsigned char** data)
{
    while (!input_done && queue_size(&queue) < (size_t)numpts) {
        int ready = net_wait(sock);
        if (ready < 0) {
            fail("cannot receive", net_error_text(net_error()));
            return 0;
        }
        if (ready == 0) {
            // Asked to stop: take what has already arrived, then end the input.
            for (int i = 0; i < 4096 && net_ready(sock) && receive(); i++) {
            }
            input_done = true;
            queue_drain(&queue);
            if (partial > 1)
                std::fprintf(stderr, "marrowit: %s: %llu datagrams had a byte dropped\n",
                             name.c_str(), partial);
            break;
        }
        if (!receive())
            return 0;
    }
    return queue_deliver(&queue, &buffer, data);
}
