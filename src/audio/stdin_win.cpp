// Raw samples arrive on standard input as bytes: without binary mode the C
// library would drop carriage returns and stop at the first 0x1A.
#include <fcntl.h>
#include <io.h>

#include <cstdio>

void stdin_binary_mode()
{
    _setmode(_fileno(stdin), _O_BINARY);
}
