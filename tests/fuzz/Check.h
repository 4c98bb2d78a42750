#pragma once

#include <cstdio>
#include <cstdlib>
#include <string_view>

// A property that failed ends the run as a finding: libFuzzer keeps the input that broke it.
inline void check(bool holds, const char* property) {
    if (!holds) {
        std::fprintf(stderr, "property broken: %s\n", property);
        std::abort();
    }
}

// The code point of the UTF-8 character at text[i] and its length, as a strict reader takes
// it (no overlong form, surrogate, code point above U+10FFFF or cut sequence), or -1.
inline long decodeUtf8(std::string_view text, std::size_t i, std::size_t& length) {
    const auto byte = static_cast<unsigned char>(text[i]);
    length = byte < 0x80                    ? 1
             : byte >= 0xC2 && byte <= 0xDF ? 2
             : byte >= 0xE0 && byte <= 0xEF ? 3
             : byte >= 0xF0 && byte <= 0xF4 ? 4
                                            : 0;
    if (length == 0 || i + length > text.size()) {
        return -1;
    }
    long code = length == 1 ? byte : byte & (0x7F >> length);
    for (std::size_t k = 1; k < length; ++k) {
        const auto next = static_cast<unsigned char>(text[i + k]);
        if ((next & 0xC0) != 0x80) {
            return -1;
        }
        code = code << 6 | (next & 0x3F);
    }
    static constexpr long smallest[] = {0, 0, 0x80, 0x800, 0x10000};
    const bool valid =
        code >= smallest[length] && code <= 0x10FFFF && (code < 0xD800 || code > 0xDFFF);
    return valid ? code : -1;
}

inline bool validUtf8(std::string_view text) {
    std::size_t length = 0;
    for (std::size_t i = 0; i < text.size(); i += length) {
        if (decodeUtf8(text, i, length) < 0) {
            return false;
        }
    }
    return true;
}
