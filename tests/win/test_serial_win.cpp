// CSerial on the Windows communications interface.
//
// The port tests need two COM ports joined like a null-modem cable; the
// test script maps a pseudo-terminal pair to COM5 and COM6 under Wine and
// names them in MARROWIT_TEST_COM_PAIR ("5 6").  Without it only the
// behaviour of a port that is not open is tested.  COM1 is never touched.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "Serial/Serial.h"

namespace {

bool com_pair(int* a, int* b)
{
    const char* pair = std::getenv("MARROWIT_TEST_COM_PAIR");
    return pair && std::sscanf(pair, "%d %d", a, b) == 2;
}

std::string port_path(int port)
{
    char name[32];
    CSerial::PortName(port, name, sizeof name);
    return name;
}

// A handle on a port, to look at its line settings from outside the object;
// Wine, unlike Windows, also lets a port be opened a second time while the
// object has it open.  Wine keeps time-outs per handle, so those cannot be
// seen from here.
struct observer_t {
    HANDLE h;
    explicit observer_t(int port)
    {
        h = CreateFileA(port_path(port).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    }
    ~observer_t()
    {
        if (h != INVALID_HANDLE_VALUE)
            CloseHandle(h);
    }
    DCB dcb()
    {
        DCB d;
        ZeroMemory(&d, sizeof d);
        d.DCBlength = sizeof d;
        EXPECT_TRUE(GetCommState(h, &d)) << GetLastError();
        return d;
    }
};

class SerialPair : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!com_pair(&a, &b))
            GTEST_SKIP() << "no COM port pair (MARROWIT_TEST_COM_PAIR)";
    }
    int a = 0, b = 0;
};

}  // namespace

TEST(Serial, PortNamesAreDevicePaths)
{
    EXPECT_EQ(port_path(1), "\\\\.\\COM1");
    EXPECT_EQ(port_path(12), "\\\\.\\COM12");
    EXPECT_EQ(CSerial::NotOpen, (unsigned long)ERROR_INVALID_HANDLE);
}

TEST(Serial, PortThatIsNotOpen)
{
    {
        CSerial never;  // constructing and destroying touches no device
        EXPECT_EQ(never.Close(), 1);
    }
    CSerial s;
    EXPECT_EQ(s.IsOpen(), 0);
    char buf[4];
    SetLastError(0);
    EXPECT_EQ(s.SendData("abc", 3), 0);
    EXPECT_EQ(CSerial::LastError(), (unsigned long)ERROR_INVALID_HANDLE);
    SetLastError(0);
    EXPECT_EQ(s.ReadData(buf, 4), 0);
    EXPECT_EQ(CSerial::LastError(), (unsigned long)ERROR_INVALID_HANDLE);
    SetLastError(0);
    EXPECT_EQ(s.WriteCommByte('x'), 0);
    EXPECT_EQ(CSerial::LastError(), (unsigned long)ERROR_INVALID_HANDLE);
    SetLastError(0);
    EXPECT_EQ(s.ModeSet(9600, 8, 0, 2), 0);
    EXPECT_EQ(CSerial::LastError(), (unsigned long)ERROR_INVALID_HANDLE);
    SetLastError(0);
    EXPECT_EQ(s.SetTimeout(100), 1);  // nothing to do, nothing reported
    EXPECT_EQ(CSerial::LastError(), 0u);
    EXPECT_EQ(s.Close(), 1);

    // No device behind the number: the open's own error code.
    EXPECT_EQ(s.Open(199, 9600, 8, 0, 2), 0);
    EXPECT_NE(CSerial::LastError(), 0u);
    EXPECT_NE(CSerial::LastError(), (unsigned long)ERROR_INVALID_HANDLE);
    EXPECT_EQ(s.IsOpen(), 0);
    EXPECT_EQ(s.Open("\\\\.\\NoSuchDevice", 9600, 8, 0, 2), 0);
    EXPECT_EQ(s.IsOpen(), 0);
}

TEST_F(SerialPair, OpenSetsRawLineWithoutFlowControl)
{
    CSerial s;
    ASSERT_EQ(s.Open(a, 9600, 8, 0, 2), 1) << CSerial::LastError();
    EXPECT_EQ(s.IsOpen(), 1);
    observer_t port(a);
    if (port.h == INVALID_HANDLE_VALUE)
        GTEST_SKIP() << "the port cannot be opened twice here";
    DCB d = port.dcb();
    EXPECT_EQ(d.BaudRate, 9600u);
    EXPECT_EQ(d.ByteSize, 8);
    EXPECT_EQ(d.Parity, NOPARITY);
    EXPECT_EQ(d.StopBits, TWOSTOPBITS);
    EXPECT_EQ(d.fParity, 0u);
    EXPECT_EQ(d.fOutxCtsFlow, 0u);
    EXPECT_EQ(d.fOutxDsrFlow, 0u);
    EXPECT_EQ(d.fOutX, 0u);
    EXPECT_EQ(d.fInX, 0u);
    EXPECT_NE(d.fRtsControl, (DWORD)RTS_CONTROL_HANDSHAKE);
    EXPECT_NE(d.fDtrControl, (DWORD)DTR_CONTROL_HANDSHAKE);

    // A second Open changes nothing.
    EXPECT_EQ(s.Open(a, 19200, 7, 2, 0), 1);
    EXPECT_EQ(port.dcb().BaudRate, 9600u);
    EXPECT_EQ(s.Close(), 1);
    EXPECT_EQ(s.IsOpen(), 0);

    // A pseudo-terminal keeps 8 data bits without parity whatever it is
    // told, so only the rate and the stop bits show here.
    ASSERT_EQ(s.Open(a, 4800, 7, 2, 0), 1) << CSerial::LastError();
    d = port.dcb();
    EXPECT_EQ(d.BaudRate, 4800u);
    EXPECT_EQ(d.StopBits, ONESTOPBIT);

    // ModeSet changes the rate and line codes only.
    EXPECT_EQ(s.ModeSet(19200, 8, 0, 2), 1) << CSerial::LastError();
    d = port.dcb();
    EXPECT_EQ(d.BaudRate, 19200u);
    EXPECT_EQ(d.StopBits, TWOSTOPBITS);
    EXPECT_EQ(d.fOutX, 0u);
    EXPECT_EQ(d.fOutxCtsFlow, 0u);
}

TEST_F(SerialPair, CloseRestoresWhatOpenFound)
{
    DCB original, before;
    {
        observer_t port(a);
        ASSERT_NE(port.h, INVALID_HANDLE_VALUE) << GetLastError();
        original = port.dcb();
        before = original;
        before.BaudRate = 2400;
        before.StopBits = ONESTOPBIT;
        before.fOutX = 1;
        before.fInX = 1;
        ASSERT_TRUE(SetCommState(port.h, &before)) << GetLastError();
        before = port.dcb();
        ASSERT_EQ(before.BaudRate, 2400u);
        ASSERT_EQ(before.fOutX, 1u);
    }

    CSerial s;
    ASSERT_EQ(s.Open(a, 9600, 8, 0, 2), 1) << CSerial::LastError();
    EXPECT_EQ(s.SetTimeout(250), 1);
    EXPECT_EQ(s.Close(), 1);

    observer_t port(a);
    ASSERT_NE(port.h, INVALID_HANDLE_VALUE) << GetLastError();
    DCB after = port.dcb();
    EXPECT_EQ(after.BaudRate, before.BaudRate);
    EXPECT_EQ(after.ByteSize, before.ByteSize);
    EXPECT_EQ(after.Parity, before.Parity);
    EXPECT_EQ(after.StopBits, before.StopBits);
    EXPECT_EQ(after.fParity, before.fParity);
    EXPECT_EQ(after.fOutX, before.fOutX);
    EXPECT_EQ(after.fInX, before.fInX);
    EXPECT_EQ(after.fOutxCtsFlow, before.fOutxCtsFlow);
    SetCommState(port.h, &original);
}

// Every byte value crosses unchanged in both directions: no XON/XOFF, no
// line-end translation, NUL bytes kept.
TEST_F(SerialPair, BytesCrossUnchanged)
{
    CSerial x, y;
    ASSERT_EQ(x.Open(a, 9600, 8, 0, 2), 1) << CSerial::LastError();
    ASSERT_EQ(y.Open(b, 9600, 8, 0, 2), 1) << CSerial::LastError();
    std::string all;
    for (int i = 0; i < 256; i++)
        all += (char)i;
    ASSERT_EQ(x.SendData(all.data(), (int)all.size()), 256);
    std::string got(300, '\0');
    ASSERT_EQ(y.ReadData(&got[0], 256), 256);
    got.resize(256);
    EXPECT_EQ(got, all);

    std::string command = "RF0152.1250\r\n";
    EXPECT_EQ(y.SendData(command.data(), (int)command.size()), (int)command.size());
    EXPECT_EQ(y.WriteCommByte(0x11), 1) << CSerial::LastError();
    char back[32] = {};
    ASSERT_EQ(x.ReadData(back, (int)command.size() + 1), (int)command.size() + 1);
    EXPECT_EQ(std::string(back, command.size()), command);
    EXPECT_EQ(back[command.size()], 0x11);

    EXPECT_EQ(x.SendData(all.data(), 0), 0);
    EXPECT_EQ(x.SendData(all.data(), -5), 0);
    EXPECT_EQ(y.ReadData(back, 0), 0);
    EXPECT_EQ(y.ReadData(back, -1), 0);
}

TEST_F(SerialPair, ReadWithNothingArrivingEndsAfterTheFirstByteTimeout)
{
    CSerial x, y;
    ASSERT_EQ(x.Open(a, 9600, 8, 0, 2), 1) << CSerial::LastError();
    ASSERT_EQ(y.Open(b, 9600, 8, 0, 2), 1) << CSerial::LastError();
    ASSERT_EQ(y.SetTimeout(200), 1);
    char buf[8];
    EXPECT_EQ(y.ReadData(buf, 8), 0);
    // What has arrived comes back at once, then the wait for more ends.
    ASSERT_EQ(x.SendData("ab", 2), 2);
    EXPECT_EQ(y.ReadData(buf, 8), 2);
    EXPECT_EQ(std::string(buf, 2), "ab");
}
