#pragma once

#include "CaseFold.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <string>
#include <string_view>
#include <vector>

// Client lines that teach names, the way the service writes them.
inline std::string clientLine(const std::string& domain, const std::string& name, bool profile) {
    return "[2026-12-09 04:05:06] [INFO] PipeServer - Client: process 1, program " +
           (profile ? "C:\\Users\\" + name + "\\gui.exe" : std::string("D:\\gui.exe")) +
           ", account " + domain + "\\" + name + "\n";
}

// Names, then a text made of bytes and of those names in other cases and in short forms.
struct RedactionInput {
    std::string lines;
    std::vector<std::string> words;
    std::string text;

    explicit RedactionInput(FuzzedDataProvider& in, std::size_t names) {
        for (std::size_t i = 0; i < names; ++i) {
            words.push_back(in.ConsumeRandomLengthString(24));
            words.push_back(in.ConsumeRandomLengthString(12));
            lines += clientLine(words.back(), words[words.size() - 2], in.ConsumeBool());
        }
        while (in.remaining_bytes() > 0) {
            const int piece = in.ConsumeIntegralInRange(0, 3);
            if (piece == 0 || words.empty()) {
                text += in.ConsumeRandomLengthString(16);
                continue;
            }
            std::string word = words[in.ConsumeIntegralInRange<std::size_t>(0, words.size() - 1)];
            for (char& c : word) {
                if (((c | 0x20) >= 'a' && (c | 0x20) <= 'z') && in.ConsumeBool()) {
                    c ^= 0x20;
                }
            }
            text += piece == 3 ? word.substr(0, 6) + "~1" : word;
        }
    }
};

// UTF-8 as UTF-16 units, folded as names are compared; a byte that begins no valid
// sequence is U+FFFD.
inline std::wstring foldedUnits(std::string_view bytes) {
    std::wstring units;
    for (std::size_t i = 0; i < bytes.size();) {
        const auto lead = static_cast<unsigned char>(bytes[i]);
        const std::size_t length = lead < 0x80                    ? 1
                                   : lead >= 0xC2 && lead <= 0xDF ? 2
                                   : lead >= 0xE0 && lead <= 0xEF ? 3
                                   : lead >= 0xF0 && lead <= 0xF4 ? 4
                                                                  : 0;
        char32_t code = 0xFFFD;
        std::size_t taken = 1;
        if (length == 1) {
            code = lead;
        } else if (length > 1 && i + length <= bytes.size()) {
            char32_t value = lead & (0x7F >> length);
            bool valid = true;
            for (std::size_t k = 1; k < length; ++k) {
                const auto next = static_cast<unsigned char>(bytes[i + k]);
                valid = valid && (next & 0xC0) == 0x80;
                value = value << 6 | (next & 0x3F);
            }
            static constexpr char32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
            if (valid && value >= smallest[length] && value <= 0x10FFFF &&
                (value < 0xD800 || value > 0xDFFF)) {
                code = value;
                taken = length;
            }
        }
        if (code >= 0x10000) {
            units.push_back(static_cast<wchar_t>(0xD800 + ((code - 0x10000) >> 10)));
            units.push_back(static_cast<wchar_t>(0xDC00 + ((code - 0x10000) & 0x3FF)));
        } else {
            units.push_back(static_cast<wchar_t>(code));
        }
        i += taken;
    }
    foldUpper(units);
    return units;
}
