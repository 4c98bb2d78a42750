#pragma once

#include "platform/Utf8.h"

#include <windows.h>

#include <filesystem>
#include <string>

// How the report names what it met: a path as UTF-8, an error with what to do about the
// commonest.
inline std::string shown(const std::filesystem::path& path) {
    return toUtf8(path.native(), InvalidText::Replace).value_or("?");
}

inline std::string errorText(DWORD error) {
    std::string text = "error " + std::to_string(error);
    if (error == ERROR_ACCESS_DENIED) {
        text += ": readable only by administrators; run orvanetctl collect as one";
    }
    return text;
}
