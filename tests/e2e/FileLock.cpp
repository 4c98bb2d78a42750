// Holds a file open, as another program might, until a stop file appears: with no sharing
// (after writing a marker into it), or as a reader sharing what SHARE names ("r", "w", "d");
// or, with SHARE "pipe", holds FILE as the name of a pipe of its own, one instance, as a
// second copy of the service would.
// Usage: file_lock FILE READY_FILE STOP_FILE [SHARE]
#include <windows.h>

#include <cstdio>
#include <cwchar>

int wmain(int argc, wchar_t** argv) {
    if (argc != 4 && argc != 5) {
        std::fprintf(stderr, "usage: file_lock FILE READY_FILE STOP_FILE [SHARE]\n");
        return 2;
    }
    const bool pipe = argc == 5 && std::wcscmp(argv[4], L"pipe") == 0;
    const bool reader = argc == 5 && !pipe;
    DWORD share = 0;
    if (reader) {
        share |= std::wcschr(argv[4], L'r') != nullptr ? FILE_SHARE_READ : 0;
        share |= std::wcschr(argv[4], L'w') != nullptr ? FILE_SHARE_WRITE : 0;
        share |= std::wcschr(argv[4], L'd') != nullptr ? FILE_SHARE_DELETE : 0;
    }
    HANDLE file =
        pipe ? CreateNamedPipeW(argv[1], PIPE_ACCESS_DUPLEX | FILE_FLAG_FIRST_PIPE_INSTANCE,
                                PIPE_TYPE_BYTE | PIPE_WAIT, 1, 4096, 4096, 0, nullptr)
             : CreateFileW(argv[1], reader ? GENERIC_READ : GENERIC_READ | GENERIC_WRITE, share,
                           nullptr, reader ? OPEN_EXISTING : OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                           nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "cannot open the file: %lu\n", GetLastError());
        return 1;
    }
    if (!reader && !pipe) {
        const char marker[] = "held by another program\n";
        DWORD written = 0;
        WriteFile(file, marker, sizeof(marker) - 1, &written, nullptr);
    }
    HANDLE ready = CreateFileW(argv[2], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    CloseHandle(ready);
    while (GetFileAttributesW(argv[3]) == INVALID_FILE_ATTRIBUTES) {
        Sleep(100);
    }
    CloseHandle(file);
    return 0;
}
