#include "log/LineText.h"

#include <vector>

namespace {

constexpr std::string_view kCut = "...";

struct Unit {
    std::size_t length = 1;    // bytes of the text it covers
    std::size_t written = 1;   // bytes it takes in the line
    unsigned escapedPoint = 0; // a code point written as \uNNNN, or 0
    bool escapedByte = false;  // a byte written as an escape of its own
};

std::size_t continuationBytes(unsigned char lead) {
    if (lead >= 0xC2 && lead <= 0xDF) {
        return 1;
    }
    if (lead >= 0xE0 && lead <= 0xEF) {
        return 2;
    }
    if (lead >= 0xF0 && lead <= 0xF4) {
        return 3;
    }
    return 0;
}

// The valid UTF-8 character at the start of `text`, as its length (0 if there is none):
// overlong forms, surrogates and code points above U+10FFFF are not characters.
std::size_t characterLength(std::string_view text) {
    const auto at = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const std::size_t more = continuationBytes(at(0));
    if (more == 0 || text.size() <= more) {
        return 0;
    }
    for (std::size_t i = 1; i <= more; ++i) {
        if ((at(i) & 0xC0) != 0x80) {
            return 0;
        }
    }
    const unsigned second = at(1);
    if ((at(0) == 0xE0 && second < 0xA0) || (at(0) == 0xED && second > 0x9F) ||
        (at(0) == 0xF0 && second < 0x90) || (at(0) == 0xF4 && second > 0x8F)) {
        return 0;
    }
    return more + 1;
}

// What the next piece of `text` is and what it takes in a line. C1 controls (U+0080 to
// U+009F: U+009B is the 8-bit CSI some terminals act on, U+0085 a line end to some viewers)
// and U+2028, U+2029 break lines as well as the ASCII controls do.
Unit nextUnit(std::string_view text) {
    const auto byte = static_cast<unsigned char>(text[0]);
    if (byte < 0x80) {
        if (byte >= 0x20 && byte != 0x7F) {
            return {};
        }
        const bool shortForm = byte == '\n' || byte == '\r' || byte == '\t';
        return {1, shortForm ? 2u : 4u, 0, true};
    }
    const std::size_t length = characterLength(text);
    if (length == 0) {
        return {1, 4, 0, true};
    }
    const auto at = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    if (length == 2 && at(0) == 0xC2 && at(1) <= 0x9F) {
        return {2, 6, at(1), false};
    }
    if (length == 3 && at(0) == 0xE2 && at(1) == 0x80 && (at(2) == 0xA8 || at(2) == 0xA9)) {
        return {3, 6, 0x2000u + (at(2) - 0x80u), false};
    }
    return {length, length, 0, false};
}

std::vector<Unit> unitsOf(std::string_view text) {
    std::vector<Unit> units;
    for (std::size_t i = 0; i < text.size(); i += units.back().length) {
        units.push_back(nextUnit(text.substr(i)));
    }
    return units;
}

} // namespace

void appendEscaped(std::string& out, std::string_view text) {
    static constexpr char hex[] = "0123456789abcdef";
    for (std::size_t i = 0; i < text.size();) {
        const Unit unit = nextUnit(text.substr(i));
        const auto byte = static_cast<unsigned char>(text[i]);
        if (unit.escapedPoint != 0) {
            out += "\\u";
            for (int shift = 12; shift >= 0; shift -= 4) {
                out.push_back(hex[(unit.escapedPoint >> shift) & 0x0F]);
            }
        } else if (!unit.escapedByte) {
            out.append(text.substr(i, unit.length));
        } else if (byte == '\n') {
            out += "\\n";
        } else if (byte == '\r') {
            out += "\\r";
        } else if (byte == '\t') {
            out += "\\t";
        } else {
            out += "\\x";
            out.push_back(hex[byte >> 4]);
            out.push_back(hex[byte & 0x0F]);
        }
        i += unit.length;
    }
}

std::string logExcerpt(std::string_view text, std::size_t limit) {
    std::size_t end = 0;
    std::size_t written = 0;
    while (end < text.size()) {
        const Unit unit = nextUnit(text.substr(end));
        if (written + unit.written > limit) {
            return std::string(text.substr(0, end)) + std::string(kCut);
        }
        written += unit.written;
        end += unit.length;
    }
    return std::string(text);
}

std::string logTail(std::string_view text, std::size_t limit) {
    const std::vector<Unit> units = unitsOf(text);
    std::size_t written = 0;
    std::size_t begin = text.size();
    for (auto unit = units.rbegin(); unit != units.rend(); ++unit) {
        if (written + unit->written > limit) {
            return std::string(kCut) + std::string(text.substr(begin));
        }
        written += unit->written;
        begin -= unit->length;
    }
    return std::string(text);
}
