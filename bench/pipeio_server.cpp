// The echo baseline once more, but through the service's own pipe I/O layer (overlapped
// instance, one event for all clients, every wait bounded, the flush on its helper thread) and
// the service's pipe modes, with no log, no JSON and no command: it splits the round
// trip's cost between that layer and what the service does per request on top of it.
#include "pipe/PipeConstants.h"
#include "pipe/PipeIo.h"

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

constexpr char kAnswer[] = R"({"message":"inactive","running":false,"status":"ok"})";

} // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: pipeio_server PIPE CLIENTS\n");
        return 2;
    }
    const int clients = _wtoi(argv[2]);
    UniqueHandle stopEvent(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    UniqueHandle instance(CreateNamedPipeW(argv[1], pipeconst::openMode, pipeconst::pipeMode, 1,
                                           pipeconst::bufferSize, pipeconst::bufferSize, 0,
                                           nullptr));
    if (!stopEvent || !instance) {
        std::fprintf(stderr, "pipeio_server: no pipe: %lu\n", GetLastError());
        return 1;
    }
    FlushThread flusher;
    PipeIo io(instance.get(), stopEvent.get(), flusher);
    if (!io.usable()) {
        std::fprintf(stderr, "pipeio_server: no event or flush helper: %lu\n", GetLastError());
        return 1;
    }
    std::string buffer(pipeconst::bufferSize, '\0');
    for (int served = 0; served < clients; ++served) {
        DWORD error = 0;
        if (io.waitForClient(error) != ConnectStatus::Connected) {
            std::fprintf(stderr, "pipeio_server: no client: %lu\n", error);
            return 1;
        }
        const IoResult got =
            io.read(buffer.data(), pipeconst::requestReadLimit, pipeconst::pipeIoTimeoutMs);
        if (got.status == IoStatus::Done) {
            io.write(kAnswer, sizeof kAnswer - 1, pipeconst::pipeIoTimeoutMs);
            io.flush(pipeconst::pipeIoTimeoutMs);
        }
        DisconnectNamedPipe(instance.get());
    }
    return 0;
}
