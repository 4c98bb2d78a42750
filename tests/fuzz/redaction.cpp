// The problem report's redaction: learnt names never survive, and nothing else changes.
#include "Check.h"
#include "Redaction.h"
#include "RedactionInput.h"

#include <cstdint>

namespace {

bool wordUnit(wchar_t c) {
    return c < 0x80 ? std::isalnum(static_cast<int>(c)) || c == L'_' || c == L'-' || c == L'$'
                    : isLetterOrDigit(c);
}

// Whether `name` stands in a line of `text` with no letter or digit continuing it.
bool standsIn(const std::string& name, std::string_view text) {
    const std::wstring folded = foldedUnits(name);
    for (std::size_t begin = 0; begin <= text.size();) {
        const std::size_t end = std::min(text.find('\n', begin), text.size());
        const std::wstring line = foldedUnits(text.substr(begin, end - begin));
        for (std::size_t at = line.find(folded); at != std::wstring::npos;
             at = line.find(folded, at + 1)) {
            const std::size_t after = at + folded.size();
            if ((at == 0 || !wordUnit(line[at - 1]) || !wordUnit(line[at])) &&
                (after == line.size() || !wordUnit(line[after - 1]) || !wordUnit(line[after]))) {
                return true;
            }
        }
        begin = end + 1;
    }
    return false;
}

// Whether the output, its placeholders taken out, is the input with some spans taken out.
bool onlyNamesReplaced(std::string_view input, std::string_view output) {
    std::size_t from = 0;
    std::size_t piece = 0;
    const auto keep = [&](std::size_t end) {
        const std::size_t at = input.find(output.substr(piece, end - piece), from);
        from = at + (end - piece);
        return at != std::string_view::npos;
    };
    for (std::size_t i = 0; i < output.size(); ++i) {
        for (const std::string_view kind : {"<user-", "<domain-"}) {
            std::size_t end = i + kind.size();
            if (output.substr(i, kind.size()) != kind) {
                continue;
            }
            while (end < output.size() && std::isdigit(static_cast<unsigned char>(output[end]))) {
                ++end;
            }
            if (end > i + kind.size() && end < output.size() && output[end] == '>') {
                if (!keep(i)) {
                    return false;
                }
                piece = end + 1;
                i = end;
                break;
            }
        }
    }
    return keep(output.size());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    const RedactionInput input(in, in.ConsumeIntegralInRange(0, 4));
    Redaction redaction;
    redaction.learn(input.lines);
    const std::string text = input.lines + input.text;
    const std::string out = redaction.apply(text);
    for (const std::string& name : redaction.learntNames()) {
        check(!standsIn(name, out), "no learnt name survives, in any case");
    }
    check(onlyNamesReplaced(text, out), "bytes outside the names are unchanged");
    return 0;
}
