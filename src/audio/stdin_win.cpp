// The standard streams on Windows.
#include <fcntl.h>
#include <io.h>

#include <cstdint>
#include <cstdio>

// Raw samples arrive on standard input as bytes: without binary mode the C
// library would drop carriage returns and stop at the first 0x1A.
void stdin_binary_mode()
{
    _setmode(_fileno(stdin), _O_BINARY);
}

// Whether the program was started without a standard output.
bool stdout_closed()
{
    return _get_osfhandle(1) == (intptr_t)-1;
}
