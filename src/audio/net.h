// The sockets of the UDP input.  The socket calls themselves (getaddrinfo,
// bind, setsockopt, recv) are the same everywhere and are made by udp.cpp;
// what differs between platforms is here, one file each (net_posix.cpp,
// net_win.cpp): starting the socket library, making and closing a socket,
// error codes and their texts, and waiting for a datagram or for the user's
// request to stop (Ctrl-C).
#pragma once

#include <string>

#include "net_error.h"

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
typedef SOCKET net_socket_t;
#else
#include <netdb.h>
#include <sys/socket.h>
typedef int net_socket_t;
#endif

// Before the first socket: 0, or -1 with the reason in *why.
int net_start(std::string* why);

// A socket that programs started from this one do not inherit.
bool net_socket(int family, int type, int protocol, net_socket_t* s);
void net_close(net_socket_t s);

// The error of the last failed socket call, and the texts of errors
// (net_error_text in net_error.h).
int net_error();
void net_clear_error();  // so that net_error() says 0 until a call fails
// Whether binding failed on an error that means another socket holds the
// port (on Windows also the refusal of a port held for exclusive use).
bool net_port_in_use(int err);
std::string net_resolve_error_text(int err);  // what getaddrinfo returned
// An error that only means "nothing to receive now" (an interrupted call,
// a refusal reported for an earlier datagram, a spurious wake-up).
bool net_transient(int err);

// From now on a request to stop (Ctrl-C; SIGTERM where there are signals)
// ends net_wait instead of the program.  0, or -1 with the reason in *why.
int net_catch_stop(std::string* why);
// Wait until a datagram is there (1), the program is asked to stop (0), or
// waiting fails (-1; net_error() says why).
int net_wait(net_socket_t s);
// Whether a datagram is there now.
bool net_ready(net_socket_t s);
