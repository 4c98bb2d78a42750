// A library planted where a user might put one, under the name of one the engine loads by
// its plain name (wintun.dll). Loaded, it writes its own path into wintun-loaded.txt beside
// itself: the end-to-end test looks for that file in every place it planted a copy.
#include <windows.h>

#include <string>

BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID) {
    if (reason != DLL_PROCESS_ATTACH) {
        return TRUE;
    }
    wchar_t path[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameW(self, path, MAX_PATH);
    const std::wstring own(path, length);
    const std::wstring marker = own.substr(0, own.find_last_of(L'\\') + 1) + L"wintun-loaded.txt";
    HANDLE file = CreateFileW(marker.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        DWORD written = 0;
        WriteFile(file, own.data(), static_cast<DWORD>(own.size() * sizeof(wchar_t)), &written,
                  nullptr);
        CloseHandle(file);
    }
    return TRUE;
}
