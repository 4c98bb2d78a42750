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

// Whether `text` is UTF-8 as a strict reader takes it: no overlong form, no surrogate,
// nothing above U+10FFFF, no sequence cut short.
inline bool validUtf8(std::string_view text) {
    for (std::size_t i = 0; i < text.size();) {
        const auto byte = static_cast<unsigned char>(text[i]);
        const std::size_t length = byte < 0x80                    ? 1
                                   : byte >= 0xC2 && byte <= 0xDF ? 2
                                   : byte >= 0xE0 && byte <= 0xEF ? 3
                                   : byte >= 0xF0 && byte <= 0xF4 ? 4
                                                                  : 0;
        if (length == 0 || i + length > text.size()) {
            return false;
        }
        unsigned long code = length == 1 ? byte : byte & (0x7F >> length);
        for (std::size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80) {
                return false;
            }
            code = code << 6 | (next & 0x3F);
        }
        static constexpr unsigned long smallest[] = {0, 0, 0x80, 0x800, 0x10000};
        if (code < smallest[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
            return false;
        }
        i += length;
    }
    return true;
}
