#pragma once

// What the Logger's rooms share: Logger.cpp (the line: its text, stamp and mirror),
// LogFile.cpp (the file: opening, checks, failed writes, rotation) and LogPlace.cpp (where
// the log goes: its folders and the fallbacks).
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

namespace logparts {

inline constexpr wchar_t kLogFileName[] = L"Orvanet_service.log";
// Lines end as they always have in this file, as text files do on Windows.
inline constexpr std::string_view kLineEnd = "\r\n";
inline constexpr std::uintmax_t kRotateAboveBytes = 10485760; // 10 MiB

// A path for a line of the log, in the ANSI code page as it always was.
std::string narrow(const std::filesystem::path& path);

} // namespace logparts
