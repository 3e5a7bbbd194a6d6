// The standard streams on POSIX systems.
#include <fcntl.h>

#include <cerrno>

// Standard input is always binary here.
void stdin_binary_mode()
{
}

// Whether descriptor 1 is closed: the program was started with >&-.
bool stdout_closed()
{
    return fcntl(1, F_GETFD) == -1 && errno == EBADF;
}
