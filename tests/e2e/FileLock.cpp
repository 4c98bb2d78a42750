// Holds a file open with no sharing, as another program might, until a stop file appears.
// Usage: file_lock FILE READY_FILE STOP_FILE
#include <windows.h>

#include <cstdio>

int wmain(int argc, wchar_t** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: file_lock FILE READY_FILE STOP_FILE\n");
        return 2;
    }
    HANDLE file = CreateFileW(argv[1], GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "cannot open the file: %lu\n", GetLastError());
        return 1;
    }
    const char marker[] = "held by another program\n";
    DWORD written = 0;
    WriteFile(file, marker, sizeof(marker) - 1, &written, nullptr);
    HANDLE ready = CreateFileW(argv[2], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    CloseHandle(ready);
    while (GetFileAttributesW(argv[3]) == INVALID_FILE_ATTRIBUTES) {
        Sleep(100);
    }
    CloseHandle(file);
    return 0;
}
