#pragma once

#include <windows.h>

#include <cstddef>
#include <cstring>
#include <string>

// A version resource's file version as "a.b.c.d".
inline std::string versionText(const VS_FIXEDFILEINFO& fixed) {
    return std::to_string(HIWORD(fixed.dwFileVersionMS)) + "." +
           std::to_string(LOWORD(fixed.dwFileVersionMS)) + "." +
           std::to_string(HIWORD(fixed.dwFileVersionLS)) + "." +
           std::to_string(LOWORD(fixed.dwFileVersionLS));
}

// The file version of a loaded module, "a.b.c.d", read from its own version resource in
// memory (no version.dll, and the file on disk may since have been replaced); empty if it
// has none.
inline std::string moduleVersion(HMODULE module) {
    const HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(VS_VERSION_INFO), RT_VERSION);
    const HGLOBAL loaded = found != nullptr ? LoadResource(module, found) : nullptr;
    const auto* data = static_cast<const unsigned char*>(loaded ? LockResource(loaded) : nullptr);
    const DWORD size = found != nullptr ? SizeofResource(module, found) : 0;
    // VS_VERSIONINFO: three WORDs and the key L"VS_VERSION_INFO", then, 4-byte aligned, the
    // fixed part.
    constexpr std::size_t kFixedAt = 40;
    VS_FIXEDFILEINFO fixed{};
    if (data == nullptr || size < kFixedAt + sizeof fixed) {
        return {};
    }
    std::memcpy(&fixed, data + kFixedAt, sizeof fixed);
    return fixed.dwSignature == 0xFEEF04BD ? versionText(fixed) : std::string();
}
