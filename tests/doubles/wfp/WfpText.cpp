#include "WfpText.h"

#include <cstdio>

namespace wfpdouble {

std::string guidText(const GUID& g) {
    char text[40];
    std::snprintf(text, sizeof text, "{%08lX-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  static_cast<unsigned long>(g.Data1), g.Data2, g.Data3, g.Data4[0], g.Data4[1],
                  g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
    return text;
}

std::string asciiText(const std::wstring& text) {
    std::string out;
    for (const wchar_t c : text) {
        // Unsigned first: wchar_t is signed where it is 32 bits wide.
        const auto unit = static_cast<unsigned long>(c);
        out.push_back(unit < 0x80 ? static_cast<char>(unit) : '?');
    }
    return out;
}

} // namespace wfpdouble
