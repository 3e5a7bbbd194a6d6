// The standard streams on Windows.
#include <fcntl.h>
#include <io.h>

#include <cstdio>

// Raw samples arrive on standard input as bytes: without binary mode the C
// library would drop carriage returns and stop at the first 0x1A.
void stdin_binary_mode()
{
    _setmode(_fileno(stdin), _O_BINARY);
}

// The C library keeps descriptors 0 to 2 whatever handles the process was
// given, so no other file can take descriptor 1; a missing standard output
// shows at the first write.
bool stdout_closed()
{
    return false;
}
