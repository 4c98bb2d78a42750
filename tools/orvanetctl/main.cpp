// orvanetctl: sends one command to the Orvanet service and prints its response.
#include "Cli.h"
#include "platform/DllSearch.h"

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <utility>

// The wide entry point: the arguments arrive as typed, not through the console code page.
int wmain(int argc, wchar_t** argv) {
    // System32 only: nothing of orvanetctl's own sits beside it, and a copy run from a
    // Downloads folder must not take a library planted there, nor one from the current
    // folder or PATH. Before anything is loaded by name (version.dll: VersionLoad.cpp).
    const DllSearchPin pin = pinDllSearch(LOAD_LIBRARY_SEARCH_SYSTEM32);
    for (const auto& [call, error] :
         {std::pair{"SetDllDirectoryW", pin.dllDirectoryError},
          std::pair{"SetDefaultDllDirectories", pin.defaultDirectoriesError}}) {
        if (error != 0) {
            char line[160];
            std::snprintf(line, sizeof line,
                          "orvanetctl: %s failed with error %lu; libraries may be loaded from "
                          "the current folder and PATH\n",
                          call, static_cast<unsigned long>(error));
            OutputDebugStringA(line);
            std::fputs(line, stderr);
        }
    }
    // The response goes out exactly as received: no line end added, none translated.
    _setmode(_fileno(stdout), _O_BINARY);
    return runProgram(argc, argv, stdout, stderr);
}
