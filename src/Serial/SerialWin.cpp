// CSerial on the Windows communications interface.
//
// The port is opened exclusively and synchronously.  Open sets raw 8-bit
// transfer without flow control, DTR and RTS on, and time-outs under which
// a read returns what has arrived or waits up to three seconds for a first
// byte, and a write takes at most one second per byte plus one second.
// Close puts back the time-outs and line settings that Open found.
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "Serial.h"

const unsigned long CSerial::NotOpen = ERROR_INVALID_HANDLE;
const unsigned long CSerial::TimedOut = ERROR_TIMEOUT;

static HANDLE port_handle(long long h)
{
    return (HANDLE)(intptr_t)h;
}

// A port that is not open: every operation but Close, IsOpen and
// SetTimeout fails with ERROR_INVALID_HANDLE.
static int not_open()
{
    SetLastError(ERROR_INVALID_HANDLE);
    return 0;
}

// Time-outs in milliseconds: a read returns at once with the bytes already
// received, or waits up to first_byte_ms for the first one; a write may take
// 1000 ms per byte plus 1000 ms.
static COMMTIMEOUTS timeouts(DWORD first_byte_ms)
{
    COMMTIMEOUTS t;
    t.ReadIntervalTimeout = MAXDWORD;
    t.ReadTotalTimeoutMultiplier = MAXDWORD;
    t.ReadTotalTimeoutConstant = first_byte_ms;
    t.WriteTotalTimeoutMultiplier = 1000;
    t.WriteTotalTimeoutConstant = 1000;
    return t;
}

CSerial::CSerial() : handle(-1), dcbSaved(false), timeoutsSaved(false), readTimeout(3000)
{
    static_assert(sizeof(DCB) <= sizeof savedDcb, "the saved line settings must fit");
    static_assert(sizeof(COMMTIMEOUTS) <= sizeof savedTimeouts, "the saved time-outs must fit");
    static_assert(sizeof(HANDLE) <= sizeof handle, "a handle must fit");
}

CSerial::~CSerial()
{
    Close();
}

void CSerial::PortName(int port, char* buf, int size)
{
    std::snprintf(buf, (size_t)size, "\\\\.\\COM%d", port);
}

bool CSerial::Exists(const char* device)
{
    // Ports are DOS device names: COM5 for \\.\COM5.
    if (std::strncmp(device, "\\\\.\\", 4) == 0)
        device += 4;
    char target[512];
    return QueryDosDeviceA(device, target, sizeof target) != 0;
}

unsigned long CSerial::LastError()
{
    return GetLastError();
}

const char* CSerial::ErrorText(unsigned long code)
{
    static char text[256];
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             code, 0, text, sizeof text, nullptr);
    while (n > 0 && (text[n - 1] == '\n' || text[n - 1] == '\r' || text[n - 1] == '.'))
        text[--n] = 0;  // one line, like the other messages
    if (n == 0)
        std::snprintf(text, sizeof text, "error %lu", code);
    return text;
}

int CSerial::Open(const char* device, int baud, int dataBits, int parity, int stopBits)
{
    if (IsOpen())
        return 1;
    HANDLE h = CreateFileA(device, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return 0;
    handle = (long long)(intptr_t)h;
    dcbSaved = timeoutsSaved = false;
    readTimeout = 3000;

    // A step that fails closes the port again, putting back what was
    // already saved, and leaves its own error code for the caller.
    auto abandon = [this]() {
        DWORD error = GetLastError();
        Close();
        SetLastError(error);
        return 0;
    };

    COMMTIMEOUTS found;
    if (!GetCommTimeouts(h, &found))
        return abandon();
    std::memcpy(savedTimeouts, &found, sizeof found);
    timeoutsSaved = true;

    COMMTIMEOUTS t = timeouts((DWORD)readTimeout);
    if (!SetCommTimeouts(h, &t))
        return abandon();

    DCB dcb;
    std::memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(h, &dcb))
        return abandon();
    std::memcpy(savedDcb, &dcb, sizeof dcb);
    dcbSaved = true;

    dcb.BaudRate = (DWORD)baud;
    dcb.ByteSize = (BYTE)dataBits;
    dcb.Parity = (BYTE)parity;
    dcb.StopBits = (BYTE)stopBits;
    dcb.fBinary = 1;
    dcb.fParity = parity != 0;
    dcb.fOutxCtsFlow = 0;
    dcb.fOutxDsrFlow = 0;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fDsrSensitivity = 0;
    dcb.fTXContinueOnXoff = 1;
    dcb.fOutX = 0;
    dcb.fInX = 0;
    dcb.fErrorChar = 0;
    dcb.fNull = 0;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fAbortOnError = 0;
    dcb.wReserved = 0;
    if (!SetCommState(h, &dcb))
        return abandon();
    return 1;
}

int CSerial::ModeSet(int baud, int dataBits, int parity, int stopBits)
{
    if (!IsOpen())
        return not_open();
    HANDLE h = port_handle(handle);
    DCB dcb;
    std::memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(h, &dcb))
        return 0;
    // The flags stay as they are on the port, fParity included.
    dcb.BaudRate = (DWORD)baud;
    dcb.ByteSize = (BYTE)dataBits;
    dcb.Parity = (BYTE)parity;
    dcb.StopBits = (BYTE)stopBits;
    return SetCommState(h, &dcb) ? 1 : 0;
}

int CSerial::SetTimeout(int ms)
{
    if (!IsOpen())
        return 1;
    COMMTIMEOUTS t = timeouts((DWORD)ms);
    if (!SetCommTimeouts(port_handle(handle), &t))
        return 0;
    readTimeout = ms;  // the saved time-outs stay those found by Open
    return 1;
}

int CSerial::WriteCommByte(unsigned char byte)
{
    if (!IsOpen())
        return not_open();
    return TransmitCommChar(port_handle(handle), (char)byte) ? 1 : 0;
}

int CSerial::SendData(const char* data, int count)
{
    if (!IsOpen())
        return not_open();
    if (count <= 0)
        return 0;
    DWORD written = 0;
    if (!WriteFile(port_handle(handle), data, (DWORD)count, &written, nullptr))
        return 0;
    if (written < (DWORD)count)
        SetLastError(ERROR_TIMEOUT);  // the write time-outs ran out
    return (int)written;
}

int CSerial::ReadData(char* buffer, int count)
{
    if (!IsOpen())
        return not_open();
    int stored = 0;
    while (stored < count) {
        DWORD got = 0;
        if (!ReadFile(port_handle(handle), buffer + stored, 1, &got, nullptr) || got == 0)
            break;
        stored++;
    }
    return stored;
}

int CSerial::Writable()
{
    if (!IsOpen())
        return not_open();
    DWORD errors = 0;
    COMSTAT status;
    if (!ClearCommError(port_handle(handle), &errors, &status))
        return 0;
    return !status.fCtsHold && !status.fDsrHold && !status.fRlsdHold && !status.fXoffHold &&
           status.cbOutQue == 0;
}

int CSerial::Close()
{
    if (!IsOpen())
        return 1;
    HANDLE h = port_handle(handle);
    if (timeoutsSaved) {
        COMMTIMEOUTS t;
        std::memcpy(&t, savedTimeouts, sizeof t);
        SetCommTimeouts(h, &t);
    }
    if (dcbSaved) {
        DCB dcb;
        std::memcpy(&dcb, savedDcb, sizeof dcb);
        SetCommState(h, &dcb);
    }
    BOOL closed = CloseHandle(h);
    handle = -1;
    dcbSaved = timeoutsSaved = false;
    return closed ? 1 : 0;
}
