// CSerial on a POSIX terminal device.
//
// How the port's behaviour is realised here:
//
//   device      port n is /dev/ttyS{n-1}; Open(path, ...) takes any terminal
//               device.  Opened O_RDWR | O_NOCTTY | O_NONBLOCK, so the open
//               never waits for carrier and the port never becomes our
//               controlling terminal; the descriptor stays non-blocking and
//               every wait is a poll with a deadline.
//   exclusive   flock(LOCK_EX | LOCK_NB) on the open descriptor.  A second
//               opener (another CSerial, another program using flock) fails
//               with EBUSY.  TIOCEXCL is not used: it does not stop root.
//   not a tty   tcgetattr fails (ENOTTY for a regular file, /dev/null or a
//               FIFO): the device is closed again and Open returns 0.
//   line        raw 8-bit transfer: no input or output processing, no echo,
//               no signals, CLOCAL | CREAD, no CRTSCTS, no IXON/IXOFF/IXANY.
//               Data bits 5-8.  Parity: 0 none, 1 odd, 2 even, 3 mark,
//               4 space; mark and space use CMSPAR and are refused (EINVAL)
//               where the terminal interface lacks it.  A parity code other
//               than 0 also turns on input parity checking (INPCK), which
//               ModeSet leaves alone, as it leaves the other flags.
//               Stop bits: 0 one, 1 one and a half, 2 two; the terminal
//               interface has no one and a half, so code 1 gives two stop
//               bits.  Bit rates: the standard ones this system's terminal
//               interface names (B50 ... B4000000); others fail with EINVAL.
//               The settings are read back after they are written, and a
//               driver that did not take the character format, flow control
//               or bit rate fails the call with EINVAL (Linux
//               pseudo-terminals, for one, keep only 8 bits without parity).
//               All other termios fields stay as the port had them (HUPCL
//               among them).
//   DTR, RTS    raised with TIOCMBIS.  Pseudo-terminals and some adapters
//               have no modem lines (ENOTTY, EINVAL): a failure here does not
//               fail Open.
//   time-outs   VMIN and VTIME are set to 0 and the waiting is done with
//               poll: a read returns at once with the bytes already there,
//               otherwise it waits up to the read time-out (3000 ms, or
//               SetTimeout's value; a negative one is refused with EINVAL)
//               for the first byte.  A write of n bytes
//               is given 1000 ms per byte plus 1000 ms, which includes
//               waiting until the bytes have left the port (so that Close
//               never changes the bit rate under bytes still being sent);
//               a port that moves no byte at all for 2000 ms (the time a
//               one-byte write is given) has stopped, and the write ends
//               there.  A write that runs out of time fails with ETIMEDOUT
//               and returns the bytes that left the port.
//   errors      errno; EBADF (CSerial::NotOpen) for any operation on a port
//               that is not open.
//   close       the termios found by Open (VMIN and VTIME included) is put
//               back, output that never drained is discarded so that close
//               cannot block, and the descriptor is closed, which also drops
//               the lock.
#include "Serial.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

const unsigned long CSerial::NotOpen = EBADF;
const unsigned long CSerial::TimedOut = ETIMEDOUT;

static_assert(sizeof(struct termios) <= 128, "savedDcb must hold a termios");

namespace {

const int WRITE_MS_PER_BYTE = 1000;
const int WRITE_MS_CONSTANT = 1000;
const int READ_MS_DEFAULT = 3000;
// A port slow but moving takes a byte at least this often; one that moves
// nothing for as long has stopped (flow held, a hung receiver, nobody
// reading the other end).
const int WRITE_MS_STALLED = WRITE_MS_PER_BYTE + WRITE_MS_CONSTANT;

struct speed_entry {
    int baud;
    speed_t code;
};

const speed_entry speeds[] = {
    {50, B50},         {75, B75},         {110, B110},       {134, B134},
    {150, B150},       {200, B200},       {300, B300},       {600, B600},
    {1200, B1200},     {1800, B1800},     {2400, B2400},     {4800, B4800},
    {9600, B9600},     {19200, B19200},   {38400, B38400},
#ifdef B57600
    {57600, B57600},
#endif
#ifdef B115200
    {115200, B115200},
#endif
#ifdef B230400
    {230400, B230400},
#endif
#ifdef B460800
    {460800, B460800},
#endif
#ifdef B500000
    {500000, B500000},
#endif
#ifdef B576000
    {576000, B576000},
#endif
#ifdef B921600
    {921600, B921600},
#endif
#ifdef B1000000
    {1000000, B1000000},
#endif
#ifdef B1152000
    {1152000, B1152000},
#endif
#ifdef B1500000
    {1500000, B1500000},
#endif
#ifdef B2000000
    {2000000, B2000000},
#endif
#ifdef B2500000
    {2500000, B2500000},
#endif
#ifdef B3000000
    {3000000, B3000000},
#endif
#ifdef B3500000
    {3500000, B3500000},
#endif
#ifdef B4000000
    {4000000, B4000000},
#endif
};

#ifdef CMSPAR
const tcflag_t MARK_SPACE = CMSPAR;
#else
const tcflag_t MARK_SPACE = 0;
#endif
#ifdef CRTSCTS
const tcflag_t HW_FLOW = CRTSCTS;
#else
const tcflag_t HW_FLOW = 0;
#endif

// The character format bits that ModeSet and Open write and check.
const tcflag_t FORMAT_BITS = CSIZE | PARENB | PARODD | CSTOPB | MARK_SPACE;

long long now_ms()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (long long)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

// Milliseconds left until a deadline, as a poll time-out.
int remaining_ms(long long deadline)
{
    long long left = deadline - now_ms();
    if (left <= 0)
        return 0;
    return left > INT_MAX ? INT_MAX : (int)left;
}

// Wait for an event on fd until the deadline.  1 when it came (or the
// descriptor reports an error or hang-up, which the next call will show),
// 0 at the deadline, -1 when poll itself fails.
int wait_for(int fd, short events, long long deadline)
{
    for (;;) {
        struct pollfd p = {fd, events, 0};
        int r = poll(&p, 1, remaining_ms(deadline));
        if (r > 0)
            return 1;
        if (r == 0)
            return 0;
        if (errno != EINTR)
            return -1;
    }
}

int find_speed(int baud, speed_t* code)
{
    for (const speed_entry& s : speeds)
        if (s.baud == baud) {
            *code = s.code;
            return 1;
        }
    return 0;
}

// Put bit rate and character format into t.  0 with EINVAL for values the
// terminal interface cannot express.
int set_format(struct termios* t, int baud, int dataBits, int parity, int stopBits)
{
    speed_t code;
    tcflag_t size;
    switch (dataBits) {
    case 5: size = CS5; break;
    case 6: size = CS6; break;
    case 7: size = CS7; break;
    case 8: size = CS8; break;
    default: errno = EINVAL; return 0;
    }
    tcflag_t par;
    switch (parity) {
    case 0: par = 0; break;
    case 1: par = PARENB | PARODD; break;
    case 2: par = PARENB; break;
    case 3: par = PARENB | PARODD | MARK_SPACE; break;  // stick parity, always 1
    case 4: par = PARENB | MARK_SPACE; break;           // stick parity, always 0
    default: errno = EINVAL; return 0;
    }
    if (parity >= 3 && MARK_SPACE == 0) {
        errno = EINVAL;
        return 0;
    }
    tcflag_t stop;
    switch (stopBits) {
    case 0: stop = 0; break;
    case 1:  // one and a half: the nearest the terminal interface has is two
    case 2: stop = CSTOPB; break;
    default: errno = EINVAL; return 0;
    }
    if (!find_speed(baud, &code)) {
        errno = EINVAL;
        return 0;
    }
    if (cfsetispeed(t, code) != 0 || cfsetospeed(t, code) != 0)
        return 0;
    t->c_cflag = (t->c_cflag & ~FORMAT_BITS) | size | par | stop;
    return 1;
}

// Write t and read it back: the call fails with EINVAL when the driver did
// not take the bit rate, character format or flow control asked for.
int apply(int fd, const struct termios* t)
{
    if (tcsetattr(fd, TCSANOW, t) != 0)
        return 0;
    struct termios got;
    if (tcgetattr(fd, &got) != 0)
        return 0;
    if ((got.c_cflag & (FORMAT_BITS | HW_FLOW)) != (t->c_cflag & (FORMAT_BITS | HW_FLOW)) ||
        cfgetospeed(&got) != cfgetospeed(t)) {
        errno = EINVAL;
        return 0;
    }
    return 1;
}

// Bytes still waiting in the port's output queue (0 where it cannot say).
int output_queued(int fd)
{
    int queued = 0;
    if (ioctl(fd, TIOCOUTQ, &queued) != 0)
        return 0;
    return queued;
}

long long earlier(long long a, long long b)
{
    return a < b ? a : b;
}

// Wait until what was written has left the port: up to the deadline, and
// for as long as the queue keeps going down.  The bytes still queued: 0
// when all have left.
int drain(int fd, long long deadline)
{
    int queued = output_queued(fd);
    long long moved = now_ms();
    while (queued > 0) {
        int left = remaining_ms(earlier(deadline, moved + WRITE_MS_STALLED));
        if (left == 0)
            return queued;  // Close discards it rather than block
        poll(nullptr, 0, left < 5 ? left : 5);
        int now = output_queued(fd);
        if (now < queued)
            moved = now_ms();
        queued = now;
    }
    // The queue is empty; tcdrain waits only for the last characters in the
    // transmitter, a wait the driver bounds itself.
    tcdrain(fd);
    return 0;
}

// Write count bytes by the deadline; the number that left the port.
int write_until(int fd, const char* data, int count, long long deadline)
{
    int done = 0;
    long long moved = now_ms();  // when the port last took a byte
    while (done < count) {
        ssize_t w = write(fd, data + done, (size_t)(count - done));
        if (w > 0) {
            done += (int)w;
            moved = now_ms();
            continue;
        }
        if (w < 0 && errno == EINTR)
            continue;
        if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            int r = wait_for(fd, POLLOUT, earlier(deadline, moved + WRITE_MS_STALLED));
            if (r == 0) {
                errno = ETIMEDOUT;
                break;
            }
            if (r < 0)
                break;
            continue;
        }
        if (w == 0)
            errno = EIO;
        break;  // EIO: the device went away or the other side hung up
    }
    if (done > 0) {
        int saved = errno;
        int stuck = drain(fd, deadline);
        if (stuck > 0) {
            done = stuck >= done ? 0 : done - stuck;
            saved = ETIMEDOUT;
        }
        errno = saved;
    }
    return done;
}

long long write_deadline(int count)
{
    return now_ms() + (long long)WRITE_MS_PER_BYTE * count + WRITE_MS_CONSTANT;
}

}  // namespace

CSerial::CSerial()
    : handle(-1), dcbSaved(false), timeoutsSaved(false), readTimeout(READ_MS_DEFAULT)
{
}

CSerial::~CSerial()
{
    int saved = errno;
    Close();
    errno = saved;
}

void CSerial::PortName(int port, char* buf, int size)
{
    if (buf && size > 0)
        std::snprintf(buf, (size_t)size, "/dev/ttyS%d", port - 1);
}

bool CSerial::Exists(const char* device)
{
    return access(device, F_OK) == 0;
}

unsigned long CSerial::LastError()
{
    return (unsigned long)errno;
}

const char* CSerial::ErrorText(unsigned long code)
{
    return std::strerror((int)code);
}

int CSerial::Open(const char* device, int baud, int dataBits, int parity, int stopBits)
{
    if (IsOpen())
        return 1;
    if (!device || !*device) {
        errno = ENOENT;
        return 0;
    }
    int fd = open(device, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return 0;
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        int err = (errno == EWOULDBLOCK || errno == EAGAIN) ? EBUSY : errno;
        close(fd);
        errno = err;
        return 0;
    }
    handle = fd;
    readTimeout = READ_MS_DEFAULT;

    // The time-outs as found: VMIN and VTIME.
    struct termios t;
    if (tcgetattr(fd, &t) != 0)
        goto failed;
    savedTimeouts[0] = t.c_cc[VMIN];
    savedTimeouts[1] = t.c_cc[VTIME];
    timeoutsSaved = true;

    // Our time-outs: reads never wait inside the driver, poll does.
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    if (tcsetattr(fd, TCSANOW, &t) != 0)
        goto failed;

    // The line settings as found.
    if (tcgetattr(fd, &t) != 0)
        goto failed;
    // Close puts these back after the time-outs, so they carry the VMIN and
    // VTIME found at first.
    {
        struct termios found = t;
        found.c_cc[VMIN] = savedTimeouts[0];
        found.c_cc[VTIME] = savedTimeouts[1];
        std::memcpy(savedDcb, &found, sizeof found);
    }
    dcbSaved = true;

    // Raw 8-bit transfer, no flow control.
    if (!set_format(&t, baud, dataBits, parity, stopBits))
        goto failed;
    t.c_iflag &= ~(tcflag_t)(IGNBRK | BRKINT | IGNPAR | PARMRK | INPCK | ISTRIP | INLCR | IGNCR |
                             ICRNL | IXON | IXOFF | IXANY);
    if (parity != 0)
        t.c_iflag |= INPCK;
    t.c_oflag &= ~(tcflag_t)OPOST;
    t.c_lflag &= ~(tcflag_t)(ECHO | ECHOE | ECHOK | ECHONL | ICANON | ISIG | IEXTEN);
    t.c_cflag &= ~HW_FLOW;
    t.c_cflag |= CLOCAL | CREAD;
    if (!apply(fd, &t))
        goto failed;

    // DTR and RTS on while the port is open, where the port has them.
    {
        int saved = errno;
        int lines = TIOCM_DTR | TIOCM_RTS;
        ioctl(fd, TIOCMBIS, &lines);
        errno = saved;
    }
    return 1;

failed:
    int err = errno;
    Close();
    errno = err;
    return 0;
}

int CSerial::ModeSet(int baud, int dataBits, int parity, int stopBits)
{
    if (!IsOpen()) {
        errno = EBADF;
        return 0;
    }
    int fd = (int)handle;
    struct termios t;
    if (tcgetattr(fd, &t) != 0)
        return 0;
    if (!set_format(&t, baud, dataBits, parity, stopBits))
        return 0;
    return apply(fd, &t);
}

int CSerial::SetTimeout(int ms)
{
    if (!IsOpen())
        return 1;
    if (ms < 0) {
        errno = EINVAL;
        return 0;
    }
    readTimeout = ms;
    return 1;
}

int CSerial::WriteCommByte(unsigned char byte)
{
    if (!IsOpen()) {
        errno = EBADF;
        return 0;
    }
    // No priority transmit on a terminal: an ordinary write, which goes out
    // at once as nothing is ever left queued between calls.
    char c = (char)byte;
    return write_until((int)handle, &c, 1, write_deadline(1)) == 1;
}

int CSerial::SendData(const char* data, int count)
{
    if (!IsOpen()) {
        errno = EBADF;
        return 0;
    }
    if (count <= 0)
        return 0;
    if (!data) {
        errno = EFAULT;
        return 0;
    }
    return write_until((int)handle, data, count, write_deadline(count));
}

int CSerial::ReadData(char* buffer, int count)
{
    if (!IsOpen()) {
        errno = EBADF;
        return 0;
    }
    if (count <= 0)
        return 0;
    if (!buffer) {
        errno = EFAULT;
        return 0;
    }
    int fd = (int)handle;
    int got = 0;
    bool ready = false;  // poll has just said there is something to read
    while (got < count) {
        ssize_t r = read(fd, buffer + got, (size_t)(count - got));
        if (r > 0) {
            got += (int)r;
            ready = false;
            continue;
        }
        if (r < 0 && errno == EINTR)
            continue;
        if (r == 0 || errno == EAGAIN || errno == EWOULDBLOCK) {
            // Nothing there (a read with VMIN and VTIME 0 gives 0 bytes).
            if (ready) {
                errno = EIO;  // readable, yet nothing: the line hung up
                break;
            }
            // Wait for the next byte up to the time-out.
            int w = wait_for(fd, POLLIN, now_ms() + readTimeout);
            if (w == 0) {
                errno = ETIMEDOUT;
                break;
            }
            if (w < 0)
                break;
            ready = true;
            continue;
        }
        break;  // EIO: the device went away or the other side hung up
    }
    return got;
}

int CSerial::Writable()
{
    if (!IsOpen()) {
        errno = EBADF;
        return 0;
    }
    struct pollfd p = {(int)handle, POLLOUT, 0};
    return poll(&p, 1, 0) > 0 && (p.revents & POLLOUT) != 0;
}

int CSerial::Close()
{
    if (!IsOpen())
        return 1;
    int fd = (int)handle;
    // Output a stuck port never sent would make close wait; drop it.
    if (output_queued(fd) > 0)
        tcflush(fd, TCOFLUSH);
    if (timeoutsSaved) {
        struct termios t;
        if (tcgetattr(fd, &t) == 0) {
            t.c_cc[VMIN] = savedTimeouts[0];
            t.c_cc[VTIME] = savedTimeouts[1];
            tcsetattr(fd, TCSANOW, &t);
        }
    }
    if (dcbSaved) {
        struct termios found;
        std::memcpy(&found, savedDcb, sizeof found);
        tcsetattr(fd, TCSANOW, &found);
    }
    handle = -1;
    dcbSaved = false;
    timeoutsSaved = false;
    readTimeout = READ_MS_DEFAULT;
    return close(fd) == 0 ? 1 : 0;
}
