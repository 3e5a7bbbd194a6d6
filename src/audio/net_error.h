// The text of an error of the system's sockets, as the socket library
// reports it (errno, or Winsock's error codes on Windows, which libraries
// such as libmosquitto pass on in errno there).  net_posix.cpp, net_win.cpp.
#pragma once

#include <string>

std::string net_error_text(int err);
