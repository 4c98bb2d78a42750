// Working set of a running service's process, found through the Service Control Manager.
#include "Memory.h"
#include "Scm.h"
#include "Stats.h"
#include "platform/Owners.h"

#include <cstdio>
#include <string>

int wmain(int argc, wchar_t** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: service_memory SERVICE KEY\n");
        return 2;
    }
    const std::string key = bench::narrow(argv[2]);
    ServiceHandle service = bench::openService(argv[1], SERVICE_QUERY_STATUS);
    SERVICE_STATUS_PROCESS status{};
    if (!service || !bench::queryStatus(service.get(), status) || status.dwProcessId == 0) {
        std::fprintf(stderr, "service_memory: the service runs no process\n");
        return 1;
    }
    UniqueHandle process(
        OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, status.dwProcessId));
    bench::WorkingSet memory;
    if (!process || !bench::workingSet(process.get(), memory)) {
        std::fprintf(stderr, "service_memory: no counters for process %lu: %lu\n",
                     status.dwProcessId, GetLastError());
        return 1;
    }
    bench::reportValue((key + "_peak_ws").c_str(), memory.peakMiB, "MiB");
    bench::reportValue((key + "_ws").c_str(), memory.currentMiB, "MiB");
    return 0;
}
