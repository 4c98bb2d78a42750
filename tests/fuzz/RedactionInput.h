#pragma once

#include "CaseFold.h"
#include "Check.h"

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
        std::size_t length = 1;
        const long decoded = decodeUtf8(bytes, i, length);
        const long code = decoded < 0 ? 0xFFFD : decoded;
        if (code >= 0x10000) {
            units.push_back(static_cast<wchar_t>(0xD800 + ((code - 0x10000) >> 10)));
            units.push_back(static_cast<wchar_t>(0xDC00 + ((code - 0x10000) & 0x3FF)));
        } else {
            units.push_back(static_cast<wchar_t>(code));
        }
        i += decoded < 0 ? 1 : length;
    }
    foldUpper(units);
    return units;
}
