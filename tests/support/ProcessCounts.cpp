#include "support/ProcessCounts.h"

#include "platform/Owners.h"

#include <windows.h>

#include <tlhelp32.h>

#include <algorithm>
#include <vector>

int threadCount() {
    UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    int count = 0;
    for (BOOL more = snapshot && Thread32First(snapshot.get(), &entry); more;
         more = Thread32Next(snapshot.get(), &entry)) {
        count += entry.th32OwnerProcessID == GetCurrentProcessId() ? 1 : 0;
    }
    return count;
}

std::uintptr_t handleWatermark() {
    std::vector<UniqueHandle> probes;
    std::uintptr_t highest = 0;
    for (int i = 0; i < 16; ++i) {
        probes.emplace_back(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        highest = std::max(highest, reinterpret_cast<std::uintptr_t>(probes.back().get()));
    }
    return highest;
}
