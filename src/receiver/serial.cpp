// Receiver tuning: the command bytes each receiver model takes on its
// serial line.
//
//   model 1   "RF0" + first 9 characters of the frequency in Hz       + LF CR          14 bytes
//   model 2   "PM500 0" + first 7 characters in units of 100 Hz       + LF CR          16 bytes
//             then "RM NFM" LF CR, "ARN" LF CR, "ARN" LF CR                            34 in all
//
// The number is printed with "%f" (rounded to six decimals, which absorbs
// floating-point error in the channel plan) and then cut, never rounded, to
// the characters the receiver takes.  Each call opens the port, writes and
// closes it; nothing is read back.  A port that cannot be opened, or a
// command that does not get out, is reported once on standard error.
//
// A port that stops taking data (flow held, a hung receiver, nobody reading
// the other end) would hold every command for its whole write time-out while
// the audio piles up.  After one command has run out of time, the port is
// not waited for again: until it can take data at once, each command is
// skipped without writing.  A port that is slow but moving is waited for as
// ever.
#include <cstring>
#include <string>

#include "../Serial/Serial.h"
#include "../mpt1327/mpt1327.h"
#include "receiver.h"

double rxa;
unsigned short rxb, rxc, rxd, rxe, rxf;

static void set_model(double a, unsigned short b, unsigned short c, unsigned short d,
                      unsigned short e, unsigned short f)
{
    rxa = a;
    rxb = b;
    rxc = c;
    rxd = d;
    rxe = e;
    rxf = f;
}

// The frequency command of the current model.  The buffer holds the text
// of any frequency the settings can give (%f of a double never needs more
// than 320 characters) and the command is cut from it.
static void frequency_command(char* cmd, const char* format, double mhz)
{
    char text[400];
    std::memset(text, 0, sizeof text);
    std::snprintf(text, sizeof text, format, mhz * rxa);
    text[rxb] = '\n';
    text[rxc] = '\r';
    text[rxd] = 0;
    std::memcpy(cmd, text, rxf);
}

// The port that ran out of time, while it takes no data; empty otherwise.
static std::string stalled_port;

static std::string port_name()
{
    char name[64];
    CSerial::PortName((int)portadr, name, (int)sizeof name);
    return portdev.empty() ? std::string(name) : portdev;
}

// A receiver that cannot be reached costs the decoder nothing, but the user
// is told once, on standard error, until commands get through again.
static receiver_trouble_t port_trouble;

static void trouble(const char* what)
{
    std::string who = "serial port " + port_name();
    receiver_trouble(&port_trouble, who.c_str(), what);
}

static const char stalled_text[] = "it takes no data (a command ran out of time)";

static bool open_port(CSerial* port)
{
    receiver_tuning("receiver model " + std::to_string((int)rx) + " on serial port " + port_name() + " at " +
                    std::to_string(portspeed) + " bit/s");
    int ok = portdev.empty() ? port->Open((int)portadr, (int)portspeed, 8, 0, rxe)
                             : port->Open(portdev.c_str(), (int)portspeed, 8, 0, rxe);
    if (!ok) {
        trouble(CSerial::ErrorText(CSerial::LastError()));
        return false;
    }
    if (stalled_port != port_name())
        stalled_port.clear();  // the settings name another port now
    if (!stalled_port.empty()) {
        if (!port->Writable()) {
            trouble(stalled_text);
            return false;  // skipped: the port still takes nothing
        }
        stalled_port.clear();  // it drained: back to normal
    }
    return true;
}

// Send one command, unless an earlier one of this call ran out of time.
static void send(CSerial* port, const char* data, int count, bool* complete)
{
    if (!stalled_port.empty()) {
        *complete = false;
        return;
    }
    if (port->SendData(data, count) == count)
        return;
    *complete = false;
    if (CSerial::LastError() == CSerial::TimedOut)
        stalled_port = port_name();
}

void serial_setfreq(double mhz)
{
    bool complete = true;
    if (rx == 1) {
        set_model(1000000, 12, 13, 14, 2, 14);
        char cmd[16];
        frequency_command(cmd, "RF0%f", mhz);
        CSerial port;
        if (!open_port(&port))
            return;
        send(&port, cmd, rxf, &complete);
        port.Close();
    } else if (rx == 2) {
        set_model(10000, 14, 15, 16, 2, 16);
        char cmd[16];
        frequency_command(cmd, "PM500 0%f", mhz);
        static const char mode[] = "RM NFM\n\r";
        static const char arn[] = "ARN\n\r";
        CSerial port;
        if (!open_port(&port))
            return;
        send(&port, cmd, rxf, &complete);
        send(&port, mode, 8, &complete);
        send(&port, arn, 5, &complete);
        send(&port, arn, 5, &complete);
        port.Close();
    } else {
        return;
    }
    if (!complete)
        trouble(stalled_port.empty() ? "a command could not be sent in full" : stalled_text);
    else
        receiver_ok(&port_trouble);
}
