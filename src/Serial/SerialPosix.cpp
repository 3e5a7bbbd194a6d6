// Placeholder until the terminal implementation lands: no port can be opened.
#include "Serial.h"

#include <cerrno>
#include <cstdio>

const unsigned long CSerial::NotOpen = EBADF;

CSerial::CSerial() : handle(-1), dcbSaved(false), timeoutsSaved(false), readTimeout(3000) {}
CSerial::~CSerial() { Close(); }
void CSerial::PortName(int port, char* buf, int size) { std::snprintf(buf, (size_t)size, "/dev/ttyS%d", port - 1); }
unsigned long CSerial::LastError() { return (unsigned long)errno; }
int CSerial::Open(int, int, int, int, int) { errno = ENOENT; return 0; }
int CSerial::Open(const char*, int, int, int, int) { errno = ENOENT; return 0; }
int CSerial::IsOpen() { return handle != -1; }
int CSerial::ModeSet(int, int, int, int) { errno = EBADF; return 0; }
int CSerial::SetTimeout(int) { return 1; }
int CSerial::WriteCommByte(unsigned char) { errno = EBADF; return 0; }
int CSerial::SendData(const char*, int) { errno = EBADF; return 0; }
int CSerial::ReadData(char*, int) { errno = EBADF; return 0; }
int CSerial::Close() { return 1; }
