#pragma once

#include <windows.h>

#include <filesystem>

// The module (executable or DLL) whose code holds `address`: a DLL passes one of its own
// functions to find itself, since its handle is not at hand where it is loaded unasked.
inline HMODULE moduleAt(const void* address) {
    HMODULE module = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                           GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       static_cast<LPCWSTR>(address), &module);
    return module;
}

// The file the module was loaded from (null: the executable); empty if it cannot be read.
inline std::filesystem::path modulePath(HMODULE module) {
    wchar_t path[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameW(module, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        return {};
    }
    return std::filesystem::path(path, path + length);
}

// The folder the module was loaded from (null: the executable); empty if it cannot be read.
inline std::filesystem::path moduleFolder(HMODULE module) {
    return modulePath(module).parent_path();
}
