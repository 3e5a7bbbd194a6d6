// CSerial on a pseudo-terminal: line settings made and put back, time-outs,
// exclusive use, and failures that must neither hang nor leak.
#include <gtest/gtest.h>

#include <sys/file.h>
#include <termios.h>

#include <cerrno>
#include <string>
#include <thread>

#include "Serial/Serial.h"
#include "harness.h"
#include "pty.h"

namespace {

// A second way into the slave, to look at (and set) its line settings
// while CSerial has it open.
struct peek_t {
    int fd;
    explicit peek_t(const std::string& path) : fd(open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK))
    {
        if (fd < 0)
            throw std::runtime_error("cannot open " + path);
    }
    ~peek_t() { close(fd); }
    termios get() const
    {
        termios t;
        std::memset(&t, 0, sizeof t);
        EXPECT_EQ(tcgetattr(fd, &t), 0);
        return t;
    }
    void set(const termios& t) const { ASSERT_EQ(tcsetattr(fd, TCSANOW, &t), 0); }
};

bool same(const termios& a, const termios& b)
{
    return std::memcmp(&a, &b, sizeof a) == 0;
}

// Settings nothing like the ones CSerial makes, so that putting them back
// shows.
termios foreign(termios t)
{
    cfsetispeed(&t, B1200);
    cfsetospeed(&t, B1200);
    t.c_cflag = (t.c_cflag & ~(CSIZE | CSTOPB | CLOCAL)) | CS7 | PARENB | PARODD | CRTSCTS | HUPCL;
    t.c_iflag |= IXON | IXOFF | ICRNL | ISTRIP;
    t.c_oflag |= OPOST | ONLCR;
    t.c_lflag |= ICANON | ECHO | ISIG;
    t.c_cc[VMIN] = 4;
    t.c_cc[VTIME] = 9;
    return t;
}

// Whether the slave keeps a character format at all: Linux pseudo-terminals
// are always eight bits without parity and drop anything else, and a port
// whose driver drops a format must refuse it rather than pretend.
bool keeps_format(const peek_t& peek, tcflag_t format)
{
    const tcflag_t bits = CSIZE | PARENB | PARODD | CMSPAR;
    termios was = peek.get(), t = was;
    t.c_cflag = (t.c_cflag & ~bits) | format;
    tcsetattr(peek.fd, TCSANOW, &t);
    bool kept = (peek.get().c_cflag & bits) == format;
    tcsetattr(peek.fd, TCSANOW, &was);
    return kept;
}

}  // namespace

TEST(SerialPort, OpenMakesRawEightBitLineAndCloseRestoresIt)
{
    pty_t pty;
    peek_t peek(pty.slave);
    peek.set(foreign(peek.get()));
    termios before = peek.get();

    CSerial port;
    ASSERT_EQ(port.Open(pty.slave.c_str(), 9600, 8, 0, 2), 1) << std::strerror(errno);
    EXPECT_EQ(port.IsOpen(), 1);
    termios t = peek.get();
    EXPECT_EQ(cfgetospeed(&t), (speed_t)B9600);
    EXPECT_EQ(cfgetispeed(&t), (speed_t)B9600);
    EXPECT_EQ(t.c_cflag & CSIZE, (tcflag_t)CS8);
    EXPECT_TRUE(t.c_cflag & CSTOPB);
    EXPECT_FALSE(t.c_cflag & (PARENB | PARODD | CMSPAR));
    EXPECT_FALSE(t.c_cflag & CRTSCTS);
    EXPECT_EQ(t.c_cflag & (CLOCAL | CREAD), (tcflag_t)(CLOCAL | CREAD));
    EXPECT_TRUE(t.c_cflag & HUPCL);  // left as found
    EXPECT_FALSE(t.c_iflag & (IXON | IXOFF | IXANY | ICRNL | INLCR | IGNCR | ISTRIP | INPCK | PARMRK |
                              BRKINT));
    EXPECT_FALSE(t.c_oflag & OPOST);
    EXPECT_FALSE(t.c_lflag & (ICANON | ECHO | ECHONL | ISIG | IEXTEN));
    EXPECT_EQ(t.c_cc[VMIN], 0);
    EXPECT_EQ(t.c_cc[VTIME], 0);

    // A change of mode during the open period is undone as well.
    ASSERT_EQ(port.ModeSet(4800, 8, 0, 0), 1);
    EXPECT_EQ(port.Close(), 1);
    EXPECT_EQ(port.IsOpen(), 0);
    EXPECT_TRUE(same(peek.get(), before));
}

TEST(SerialPort, ParityDataAndStopBitCodes)
{
    struct {
        int bits, parity, stop;
        tcflag_t format;  // size and parity bits asked of the driver
        bool two_stop;
    } cases[] = {
        {8, 0, 0, CS8, false},
        {8, 0, 2, CS8, true},
        {8, 0, 1, CS8, true},  // one and a half: two
        {8, 1, 2, CS8 | PARENB | PARODD, true},
        {8, 2, 0, CS8 | PARENB, false},
        {8, 3, 2, CS8 | PARENB | PARODD | CMSPAR, true},  // mark
        {8, 4, 0, CS8 | PARENB | CMSPAR, false},          // space
        {7, 2, 1, CS7 | PARENB, true},
        {5, 0, 0, CS5, false},
    };
    pty_t pty;
    peek_t peek(pty.slave);
    termios before = peek.get();
    for (const auto& c : cases) {
        SCOPED_TRACE("bits " + std::to_string(c.bits) + " parity " + std::to_string(c.parity) +
                     " stop " + std::to_string(c.stop));
        bool kept = keeps_format(peek, c.format);
        CSerial port;
        errno = 0;
        int opened = port.Open(pty.slave.c_str(), 19200, c.bits, c.parity, c.stop);
        if (!kept) {
            EXPECT_EQ(opened, 0);
            EXPECT_EQ(errno, EINVAL);
            EXPECT_TRUE(same(peek.get(), before));
            continue;
        }
        ASSERT_EQ(opened, 1);
        termios t = peek.get();
        EXPECT_EQ(cfgetospeed(&t), (speed_t)B19200);
        EXPECT_EQ(t.c_cflag & (CSIZE | PARENB | PARODD | CMSPAR), c.format);
        EXPECT_EQ(!!(t.c_cflag & CSTOPB), c.two_stop);
        // Parity is checked on input whenever there is parity.
        EXPECT_EQ(!!(t.c_iflag & INPCK), c.parity != 0);
    }
}

TEST(SerialPort, ModeSetChangesRateAndFormatOnly)
{
    pty_t pty;
    peek_t peek(pty.slave);
    CSerial port;
    ASSERT_EQ(port.Open(pty.slave.c_str(), 9600, 8, 0, 2), 1);
    ASSERT_EQ(port.ModeSet(115200, 8, 0, 0), 1);
    termios t = peek.get();
    EXPECT_EQ(cfgetospeed(&t), (speed_t)B115200);
    EXPECT_EQ(cfgetispeed(&t), (speed_t)B115200);
    EXPECT_EQ(t.c_cflag & (CSIZE | PARENB | CSTOPB), (tcflag_t)CS8);
    EXPECT_FALSE(t.c_lflag & ICANON);
    if (keeps_format(peek, CS8 | PARENB | PARODD)) {
        ASSERT_EQ(port.ModeSet(115200, 8, 1, 0), 1);
        EXPECT_TRUE(peek.get().c_cflag & PARODD);
        EXPECT_FALSE(peek.get().c_iflag & INPCK);  // the parity flag stays as Open set it
    }

    // Values the line cannot take fail and change nothing.
    termios now = peek.get();
    errno = 0;
    EXPECT_EQ(port.ModeSet(12345, 8, 0, 2), 0);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(port.ModeSet(9600, 9, 0, 2), 0);
    EXPECT_EQ(port.ModeSet(9600, 8, 5, 2), 0);
    EXPECT_EQ(port.ModeSet(9600, 8, 0, 3), 0);
    EXPECT_TRUE(same(peek.get(), now));
}

TEST(SerialPort, FailedSetUpClosesAndRestores)
{
    pty_t pty;
    peek_t peek(pty.slave);
    peek.set(foreign(peek.get()));
    termios before = peek.get();
    int fds = open_fds();

    struct {
        int baud, bits, parity, stop;
    } bad[] = {{12345, 8, 0, 2}, {0, 8, 0, 2}, {-9600, 8, 0, 2}, {9600, 9, 0, 2},
               {9600, 4, 0, 2},  {9600, 8, 5, 2}, {9600, 8, -1, 2}, {9600, 8, 0, 3}};
    for (const auto& b : bad) {
        CSerial port;
        errno = 0;
        EXPECT_EQ(port.Open(pty.slave.c_str(), b.baud, b.bits, b.parity, b.stop), 0);
        EXPECT_EQ(errno, EINVAL);
        EXPECT_EQ(CSerial::LastError(), (unsigned long)EINVAL);
        EXPECT_EQ(port.IsOpen(), 0);
        // Time-outs and line settings are as they were, and the device is free.
        EXPECT_TRUE(same(peek.get(), before));
        EXPECT_EQ(open_fds(), fds);
    }
    CSerial port;
    EXPECT_EQ(port.Open(pty.slave.c_str(), 9600, 8, 0, 2), 1);
}

TEST(SerialPort, BytesPassUnchangedBothWays)
{
    pty_t pty;
    CSerial port;
    ASSERT_EQ(port.Open(pty.slave.c_str(), 9600, 8, 0, 2), 1);
    std::string all;
    for (int i = 0; i < 256; i++)
        all += (char)i;
    all += "\r\n\n\r";

    EXPECT_EQ(port.SendData(all.data(), (int)all.size()), (int)all.size());
    EXPECT_EQ(pty.read_master(all.size()), all);

    EXPECT_EQ(port.WriteCommByte(0x11), 1);
    EXPECT_EQ(port.WriteCommByte('\n'), 1);
    EXPECT_EQ(pty.read_master(2), std::string("\x11\n"));

    // Control characters in the input (XON/XOFF, interrupt, end of file, CR)
    // are data, not line discipline.
    ASSERT_EQ(write(pty.master, all.data(), all.size()), (ssize_t)all.size());
    std::string in(all.size(), '\0');
    ASSERT_EQ(port.SetTimeout(1000), 1);
    EXPECT_EQ(port.ReadData(&in[0], (int)in.size()), (int)all.size());
    EXPECT_EQ(in, all);
}

TEST(SerialPort, ReadTimeOutsAndTheFirstByteRule)
{
    pty_t pty;
    CSerial port;
    ASSERT_EQ(port.Open(pty.slave.c_str(), 9600, 8, 0, 2), 1);
    ASSERT_EQ(port.SetTimeout(200), 1);
    char buf[16];

    // Nothing arriving: 0 after the time-out (well under the 3000 ms default).
    long long t0 = pty_now_ms();
    errno = 0;
    EXPECT_EQ(port.ReadData(buf, 4), 0);
    long long waited = pty_now_ms() - t0;
    EXPECT_GE(waited, 150);
    EXPECT_LT(waited, 2500);

    // Bytes already waiting come back at once.
    ASSERT_EQ(write(pty.master, "abc", 3), 3);
    usleep(50000);
    EXPECT_EQ(port.ReadData(buf, 3), 3);
    EXPECT_EQ(std::string(buf, 3), "abc");

    // Fewer than asked for: what came, after one time-out without more.
    ASSERT_EQ(write(pty.master, "xy", 2), 2);
    usleep(50000);
    EXPECT_EQ(port.ReadData(buf, 10), 2);
    EXPECT_EQ(std::string(buf, 2), "xy");

    // A byte that comes while the read waits ends the wait.
    ASSERT_EQ(port.SetTimeout(5000), 1);
    std::thread later([&] {
        usleep(100000);
        EXPECT_EQ(write(pty.master, "z", 1), 1);
    });
    t0 = pty_now_ms();
    EXPECT_EQ(port.ReadData(buf, 1), 1);
    EXPECT_LT(pty_now_ms() - t0, 4000);
    later.join();
    EXPECT_EQ(buf[0], 'z');

    EXPECT_EQ(port.ReadData(buf, 0), 0);
    EXPECT_EQ(port.ReadData(buf, -5), 0);
    errno = 0;
    EXPECT_EQ(port.SetTimeout(-1), 0);
    EXPECT_EQ(errno, EINVAL);
}

TEST(SerialPort, OpenTwiceKeepsTheFirstConfiguration)
{
    pty_t pty;
    peek_t peek(pty.slave);
    CSerial port;
    ASSERT_EQ(port.Open(pty.slave.c_str(), 9600, 8, 0, 2), 1);
    termios first = peek.get();
    EXPECT_EQ(port.Open(pty.slave.c_str(), 4800, 7, 2, 0), 1);
    EXPECT_EQ(port.Open(1000, 4800, 7, 2, 0), 1);
    EXPECT_EQ(port.Open("/nonexistent/tty", 4800, 7, 2, 0), 1);
    EXPECT_TRUE(same(peek.get(), first));
    EXPECT_EQ(port.IsOpen(), 1);
    EXPECT_EQ(port.SendData("ok", 2), 2);
    EXPECT_EQ(pty.read_master(2), "ok");
}

TEST(SerialPort, SecondOpenerIsRefusedUntilTheFirstCloses)
{
    pty_t pty;
    CSerial first, second;
    ASSERT_EQ(first.Open(pty.slave.c_str(), 9600, 8, 0, 2), 1);
    int fds = open_fds();
    errno = 0;
    EXPECT_EQ(second.Open(pty.slave.c_str(), 9600, 8, 0, 2), 0);
    EXPECT_EQ(errno, EBUSY);
    EXPECT_EQ(second.IsOpen(), 0);
    EXPECT_EQ(open_fds(), fds);
    EXPECT_EQ(second.SendData("x", 1), 0);
    EXPECT_EQ(CSerial::LastError(), CSerial::NotOpen);

    // Another program holding the lock keeps us out in the same way.
    EXPECT_EQ(first.Close(), 1);
    int other = open(pty.slave.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(other, 0);
    ASSERT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
    EXPECT_EQ(second.Open(pty.slave.c_str(), 9600, 8, 0, 2), 0);
    close(other);
    EXPECT_EQ(second.Open(pty.slave.c_str(), 9600, 8, 0, 2), 1);
}

TEST(SerialPort, EveryOperationOnAClosedPortFailsWithNotOpen)
{
    EXPECT_NE(CSerial::NotOpen, 0ul);
    auto check = [](CSerial& port) {
        char buf[4];
        EXPECT_EQ(port.IsOpen(), 0);
        errno = 0;
        EXPECT_EQ(port.ModeSet(9600, 8, 0, 2), 0);
        EXPECT_EQ(CSerial::LastError(), CSerial::NotOpen);
        errno = 0;
        EXPECT_EQ(port.WriteCommByte('a'), 0);
        EXPECT_EQ(CSerial::LastError(), CSerial::NotOpen);
        errno = 0;
        EXPECT_EQ(port.SendData("abc", 3), 0);
        EXPECT_EQ(CSerial::LastError(), CSerial::NotOpen);
        errno = 0;
        EXPECT_EQ(port.ReadData(buf, 4), 0);
        EXPECT_EQ(CSerial::LastError(), CSerial::NotOpen);
        // These two report success and leave the error code alone.
        errno = 0;
        EXPECT_EQ(port.SetTimeout(100), 1);
        EXPECT_EQ(port.Close(), 1);
        EXPECT_EQ(errno, 0);
    };
    CSerial never;
    check(never);

    pty_t pty;
    CSerial closed;
    ASSERT_EQ(closed.Open(pty.slave.c_str(), 9600, 8, 0, 2), 1);
    ASSERT_EQ(closed.Close(), 1);
    check(closed);
}

TEST(SerialPort, DevicesThatCannotServeFailCleanly)
{
    temp_dir_t dir;
    write_file(dir.file("plain"), "not a terminal\n");
    int fds = open_fds();
    struct {
        std::string path;
        int err;
    } cases[] = {
        {"/nonexistent/tty", ENOENT},
        {dir.file("missing"), ENOENT},
        {dir.path, EISDIR},
        {dir.file("plain"), ENOTTY},
        {"/dev/null", ENOTTY},
        {"", ENOENT},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        CSerial port;
        errno = 0;
        EXPECT_EQ(port.Open(c.path.c_str(), 9600, 8, 0, 2), 0);
        EXPECT_EQ(errno, c.err);
        EXPECT_EQ(port.IsOpen(), 0);
        EXPECT_EQ(open_fds(), fds);
    }
    EXPECT_EQ(read_file(dir.file("plain")), "not a terminal\n");
    // The failed opener left no lock behind on the file.
    int fd = open(dir.file("plain").c_str(), O_RDONLY);
    EXPECT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0);
    close(fd);
}

TEST(SerialPort, PortNumbersNameTerminalDevices)
{
    char name[32];
    CSerial::PortName(1, name, sizeof name);
    EXPECT_STREQ(name, "/dev/ttyS0");
    CSerial::PortName(12, name, sizeof name);
    EXPECT_STREQ(name, "/dev/ttyS11");
    CSerial::PortName(1234567, name, 8);
    EXPECT_STREQ(name, "/dev/tt");

    // A port number without a device fails like a missing device.
    CSerial port;
    errno = 0;
    EXPECT_EQ(port.Open(100000, 9600, 8, 0, 2), 0);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(port.IsOpen(), 0);
}

TEST(SerialPort, WritesAfterTheOtherEndVanishedDoNotHang)
{
    pty_t pty;
    CSerial port;
    ASSERT_EQ(port.Open(pty.slave.c_str(), 9600, 8, 0, 2), 1);
    pty.close_master();
    long long t0 = pty_now_ms();
    errno = 0;
    EXPECT_EQ(port.SendData("RF0421250000\n\r", 14), 0);
    EXPECT_EQ(errno, EIO);
    EXPECT_EQ(port.WriteCommByte('x'), 0);
    char buf[4];
    EXPECT_EQ(port.ReadData(buf, 4), 0);
    EXPECT_LT(pty_now_ms() - t0, 3000);
    EXPECT_EQ(port.Close(), 1);
    EXPECT_EQ(port.IsOpen(), 0);
}

TEST(SerialPort, AWriteTheLineCannotTakeGivesUpAfterItsBound)
{
    pty_t pty;
    CSerial port;
    ASSERT_EQ(port.Open(pty.slave.c_str(), 9600, 8, 0, 2), 1);
    pty.fill();  // nobody reads the master
    EXPECT_EQ(port.Writable(), 0);
    long long t0 = pty_now_ms();
    EXPECT_EQ(port.WriteCommByte('x'), 0);  // bound: 1000 ms + 1000 ms per byte
    EXPECT_EQ(errno, ETIMEDOUT);
    long long waited = pty_now_ms() - t0;
    EXPECT_GE(waited, 1500);
    EXPECT_LT(waited, 10000);
    // Read, the line takes data again.
    while (!pty.read_now().empty()) {
    }
    EXPECT_EQ(port.Writable(), 1);
    EXPECT_EQ(port.Close(), 1);
    EXPECT_EQ(port.Writable(), 0);
}
