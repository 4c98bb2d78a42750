#pragma once

#include <windows.h>

#include <filesystem>
#include <string>

// %ProgramData%, where the service keeps its log, as the service's own environment names it;
// C:\ProgramData where it names none.
inline std::filesystem::path programDataFolder() {
    const DWORD size = GetEnvironmentVariableW(L"ProgramData", nullptr, 0);
    if (size > 1) {
        std::wstring value(size, L'\0');
        const DWORD length = GetEnvironmentVariableW(L"ProgramData", value.data(), size);
        if (length > 0 && length < size) {
            value.resize(length);
            return value;
        }
    }
    return L"C:\\ProgramData";
}

// The service's log folder below it.
inline std::filesystem::path serviceLogFolder() {
    return programDataFolder() / L"Pellmarrow" / L"Orvanet" / L"logs";
}

// %SystemRoot%\System32\LogFiles\Orvanet: where the service logs when its own folder is held
// by someone else (only administrators make folders in LogFiles). Empty if it cannot be read.
inline std::filesystem::path systemLogFolder() {
    wchar_t system[MAX_PATH] = {};
    const UINT length = GetSystemDirectoryW(system, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        return {};
    }
    return std::filesystem::path(system, system + length) / L"LogFiles" / L"Orvanet";
}

// Where Windows Error Reporting writes its own dumps of the service (LocalDumps, which the
// package sets without a DumpFolder): the default, %LOCALAPPDATA%\CrashDumps of the
// crashing process's account, for LocalSystem in its profile below System32, where no user
// can make a folder first. Empty if it cannot be read.
inline std::filesystem::path platformDumpFolder() {
    const std::filesystem::path logs = systemLogFolder();
    if (logs.empty()) {
        return {};
    }
    return logs.parent_path().parent_path() / L"config" / L"systemprofile" / L"AppData" / L"Local" /
           L"CrashDumps";
}

// The service's own folder in its temporary folder, where it logs when no other folder can
// be used.
inline constexpr wchar_t kTemporaryLogFolder[] = L"Orvanet";
