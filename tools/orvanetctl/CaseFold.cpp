#include "CaseFold.h"

#ifdef _WIN32

#include <windows.h>

void foldUpper(std::wstring& text) {
    if (!text.empty()) {
        CharUpperBuffW(text.data(), static_cast<DWORD>(text.size()));
    }
}

bool isLetterOrDigit(wchar_t unit) {
    return IsCharAlphaNumericW(unit) != FALSE;
}

#else

#include <locale>

namespace {

// Surrogates are left alone, as the platform leaves them: a unit is never a code point.
bool surrogate(wchar_t unit) {
    return unit >= 0xD800 && unit <= 0xDFFF;
}

const std::ctype<wchar_t>& unicodeTables() {
    static const std::locale locale = [] {
        try {
            return std::locale("C.UTF-8");
        } catch (const std::runtime_error&) {
            return std::locale::classic();
        }
    }();
    return std::use_facet<std::ctype<wchar_t>>(locale);
}

} // namespace

void foldUpper(std::wstring& text) {
    const auto& tables = unicodeTables();
    for (wchar_t& unit : text) {
        if (!surrogate(unit)) {
            const wchar_t upper = tables.toupper(unit);
            // One unit for one, as in UTF-16: a fold that leaves the plane is not taken.
            unit = upper <= 0xFFFF ? upper : unit;
        }
    }
}

bool isLetterOrDigit(wchar_t unit) {
    return !surrogate(unit) && unicodeTables().is(std::ctype_base::alnum, unit);
}

#endif
