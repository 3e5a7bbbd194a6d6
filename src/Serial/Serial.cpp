// The parts of CSerial that are the same on every platform.
#include "Serial.h"

int CSerial::IsOpen()
{
    return handle != -1;
}

int CSerial::Open(int port, int baud, int dataBits, int parity, int stopBits)
{
    if (IsOpen())
        return 1;
    char name[32];
    PortName(port, name, (int)sizeof name);
    return Open(name, baud, dataBits, parity, stopBits);
}
