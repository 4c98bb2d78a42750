// orvanetctl: sends one command to the Orvanet service and prints its response.
#include "Cli.h"

#include <fcntl.h>
#include <io.h>

#include <cstdio>

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    const CliOutput output = runCli(args);
    // The response goes out exactly as received: no line end added, none translated.
    _setmode(_fileno(stdout), _O_BINARY);
    std::fwrite(output.out.data(), 1, output.out.size(), stdout);
    std::fflush(stdout);
    std::fputs(output.err.c_str(), stderr);
    return output.status;
}
