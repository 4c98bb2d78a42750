#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <string_view>

// What a conversion makes of text that is not valid UTF-16 (an unpaired surrogate).
enum class InvalidText {
    Refuse,  // nothing at all: what a user typed is sent as typed or not sent
    Replace, // U+FFFD in its place: a name for a log line, which is written all the same
};

// The UTF-8 of UTF-16 text, never best-fitted; nothing only when Refuse meets invalid text.
inline std::optional<std::string> toUtf8(std::wstring_view text, InvalidText invalid) {
    if (text.empty()) {
        return std::string();
    }
    const DWORD flags = invalid == InvalidText::Refuse ? WC_ERR_INVALID_CHARS : 0;
    const int wide = static_cast<int>(text.size());
    const int length =
        WideCharToMultiByte(CP_UTF8, flags, text.data(), wide, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(length > 0 ? length : 0), '\0');
    if (length <= 0 || WideCharToMultiByte(CP_UTF8, flags, text.data(), wide, out.data(), length,
                                           nullptr, nullptr) != length) {
        return invalid == InvalidText::Refuse ? std::nullopt : std::optional(std::string());
    }
    return out;
}

// UTF-8 as UTF-16, invalid bytes as U+FFFD: names this program wrote itself, read back.
inline std::wstring toUtf16(std::string_view text) {
    const int count = static_cast<int>(text.size());
    const int length =
        count > 0 ? MultiByteToWideChar(CP_UTF8, 0, text.data(), count, nullptr, 0) : 0;
    std::wstring wide(static_cast<std::size_t>(length > 0 ? length : 0), L'\0');
    if (length > 0) {
        MultiByteToWideChar(CP_UTF8, 0, text.data(), count, wide.data(), length);
    }
    return wide;
}
