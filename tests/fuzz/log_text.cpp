// The log's escaping and its excerpts of client text, whatever the bytes.
#include "Check.h"
#include "log/LineText.h"

#include <cstdint>
#include <string>

namespace {

std::string escaped(std::string_view text) {
    std::string out;
    appendEscaped(out, text);
    return out;
}

// No raw control, C1 control or line or paragraph separator: one line in any viewer.
bool oneLine(std::string_view line) {
    for (std::size_t i = 0; i < line.size(); ++i) {
        const auto byte = static_cast<unsigned char>(line[i]);
        const auto next = i + 1 < line.size() ? static_cast<unsigned char>(line[i + 1]) : 0;
        const auto third = i + 2 < line.size() ? static_cast<unsigned char>(line[i + 2]) : 0;
        if (byte < 0x20 || byte == 0x7F || (byte == 0xC2 && next <= 0x9F) ||
            (byte == 0xE2 && next == 0x80 && (third == 0xA8 || third == 0xA9))) {
            return false;
        }
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const std::size_t limit = data[0];
    const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
    const std::string whole = escaped(text);
    check(validUtf8(whole) && oneLine(whole), "escaped text is one line of valid UTF-8");

    // A start whose escaped form begins the whole's was cut between two characters.
    const std::string start = logExcerpt(text, limit);
    if (whole.size() <= limit) {
        check(start == text, "text that fits is left whole");
    } else {
        check(start.size() >= 3 && start.compare(start.size() - 3, 3, "...") == 0,
              "a cut excerpt ends with ...");
        const std::string kept = escaped(start.substr(0, start.size() - 3));
        check(text.substr(0, start.size() - 3) == start.substr(0, start.size() - 3),
              "an excerpt is the text's start");
        check(kept.size() <= limit && kept.size() + 6 > limit, "the longest start that fits");
        check(whole.compare(0, kept.size(), kept) == 0, "an excerpt is cut before a character");
    }
    const std::string end = logTail(text, limit);
    if (whole.size() <= limit) {
        check(end == text, "text that fits is left whole at its end too");
    } else {
        check(end.compare(0, 3, "...") == 0, "a cut tail begins with ...");
        const std::string kept = escaped(end.substr(3));
        check(kept.size() <= limit && whole.size() >= kept.size() &&
                  whole.compare(whole.size() - kept.size(), kept.size(), kept) == 0,
              "a tail fits its bound and is cut after a character");
    }
    return 0;
}
