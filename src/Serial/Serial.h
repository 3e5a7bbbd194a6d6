// CSerial: a small synchronous serial port, opened exclusively, set to raw
// 8-bit transfer without flow control, with fixed time-outs, and put back as
// it was found when closed.  One implementation file per platform.
//
// Results: 1 for success and 0 for failure, with the platform's last-error
// code (errno on POSIX, GetLastError on Windows) telling why; byte transfers
// return a count.  Any operation on a port that is not open fails with
// CSerial::NotOpen.
#pragma once

class CSerial {
public:
    CSerial();
    ~CSerial();
    CSerial(const CSerial&) = delete;
    CSerial& operator=(const CSerial&) = delete;

    // Line codes: parity 0 none, 1 odd, 2 even, 3 mark, 4 space;
    // stop bits 0 one, 1 one and a half, 2 two.
    int Open(int port, int baud, int dataBits, int parity, int stopBits);
    // The same on a device named directly (a POSIX terminal such as
    // /dev/ttyUSB0, or a Windows device path).
    int Open(const char* device, int baud, int dataBits, int parity, int stopBits);
    int IsOpen();
    int ModeSet(int baud, int dataBits, int parity, int stopBits);
    int SetTimeout(int ms);
    int WriteCommByte(unsigned char byte);
    int SendData(const char* data, int count);
    int ReadData(char* buffer, int count);
    int Close();
    // 1 when the port would take data now, without waiting; 0 when its
    // output is full or held (or the port is not open).
    int Writable();

    // The device path that port number n stands for.
    static void PortName(int port, char* buf, int size);
    // Whether the device (a path as PortName gives) is there at all.
    static bool Exists(const char* device);
    // The platform's last-error code, and the code for "port not open".
    static unsigned long LastError();
    // A readable text for a last-error code.
    static const char* ErrorText(unsigned long code);
    static const unsigned long NotOpen;
    // The last-error code of a write that ran out of time.
    static const unsigned long TimedOut;

private:
    // The open port; -1 (all bits set, as INVALID_HANDLE_VALUE) when not open.
    long long handle;
    // The platform's line-settings and time-out records as Open found them,
    // kept as raw bytes so that no platform header leaks out of this class.
    alignas(8) unsigned char savedDcb[128];
    alignas(8) unsigned char savedTimeouts[64];
    bool dcbSaved;
    bool timeoutsSaved;
    int readTimeout;  // first-byte read time-out, ms
};
