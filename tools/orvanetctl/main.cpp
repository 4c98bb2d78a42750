// orvanetctl: sends one command to the Orvanet service and prints its response.
#include "Cli.h"

#include <fcntl.h>
#include <io.h>

#include <cstdio>

// The wide entry point: the arguments arrive as typed, not through the console code page.
int wmain(int argc, wchar_t** argv) {
    // The response goes out exactly as received: no line end added, none translated.
    _setmode(_fileno(stdout), _O_BINARY);
    return runProgram(argc, argv, stdout, stderr);
}
