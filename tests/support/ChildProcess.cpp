#include "support/ChildProcess.h"

#include <windows.h>

UniqueHandle startChild(const std::filesystem::path& program,
                        std::initializer_list<std::wstring> arguments) {
    std::wstring command = L"\"" + program.native() + L"\"";
    for (const std::wstring& argument : arguments) {
        command += L" \"" + argument + L"\"";
    }
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started{};
    if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &started)) {
        return UniqueHandle();
    }
    CloseHandle(started.hThread);
    return UniqueHandle(started.hProcess);
}
