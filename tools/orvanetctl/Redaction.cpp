#include "Redaction.h"

#include <windows.h>

#include <algorithm>
#include <initializer_list>

namespace {

// "[2026-12-09 04:05:06]", then the client line's fixed beginning: where the service's own
// line has it, and nowhere a client's text can stand.
constexpr std::size_t kStampLength = 21;
constexpr std::string_view kClientLine = " [INFO] PipeServer - Client: process ";
constexpr std::string_view kProgram = ", program ";
constexpr std::string_view kAccount = ", account ";

// A line's text as UTF-16, upper-cased as the platform folds names (one unit for one), with
// the byte offset in the line where each unit begins, so that what is replaced is cut out of
// the original bytes, which stay as they were everywhere else.
struct Folded {
    std::wstring text;
    std::vector<std::size_t> at; // at[i]: where unit i begins; at[text.size()]: the end
};

// The code point at bytes[i] and its length; a byte that begins no valid UTF-8 sequence is one
// U+FFFD.
char32_t decode(std::string_view bytes, std::size_t i, std::size_t& length) {
    const auto first = static_cast<unsigned char>(bytes[i]);
    length = 1;
    if (first < 0x80) {
        return first;
    }
    const int extra = (first & 0xE0) == 0xC0   ? 1
                      : (first & 0xF0) == 0xE0 ? 2
                      : (first & 0xF8) == 0xF0 ? 3
                                               : 0;
    if (extra == 0 || i + extra >= bytes.size()) {
        return 0xFFFD;
    }
    char32_t code = first & (0x3F >> extra);
    for (int k = 1; k <= extra; ++k) {
        const auto next = static_cast<unsigned char>(bytes[i + k]);
        if ((next & 0xC0) != 0x80) {
            return 0xFFFD;
        }
        code = code << 6 | (next & 0x3F);
    }
    static constexpr char32_t smallest[] = {0, 0x80, 0x800, 0x10000};
    if (code < smallest[extra] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
        return 0xFFFD;
    }
    length = static_cast<std::size_t>(extra) + 1;
    return code;
}

Folded fold(std::string_view bytes) {
    Folded folded;
    folded.text.reserve(bytes.size());
    folded.at.reserve(bytes.size() + 1);
    for (std::size_t i = 0; i < bytes.size();) {
        std::size_t length = 1;
        const char32_t code = decode(bytes, i, length);
        if (code >= 0x10000) {
            folded.text.push_back(static_cast<wchar_t>(0xD800 + ((code - 0x10000) >> 10)));
            folded.at.push_back(i);
            folded.text.push_back(static_cast<wchar_t>(0xDC00 + ((code - 0x10000) & 0x3FF)));
        } else {
            folded.text.push_back(static_cast<wchar_t>(code));
        }
        folded.at.push_back(i);
        i += length;
    }
    folded.at.push_back(bytes.size());
    if (!folded.text.empty()) {
        CharUpperBuffW(folded.text.data(), static_cast<DWORD>(folded.text.size()));
    }
    return folded;
}

// What may continue a name: a match must not be part of a longer word (a full stop or an
// "@" may follow one).
bool nameChar(wchar_t c) {
    return (c >= L'0' && c <= L'9') || (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z') ||
           c == L'_' || c == L'-' || c == L'$' || c >= 0x80;
}

std::size_t wordEnd(const std::wstring& text, std::size_t from) {
    while (from < text.size() && nameChar(text[from])) {
        ++from;
    }
    return from;
}

bool oneOf(const std::wstring& folded, std::initializer_list<const wchar_t*> names) {
    return std::any_of(names.begin(), names.end(),
                       [&](const wchar_t* name) { return folded == name; });
}

// "<user-N>" and "<domain-N>" stand for names already: their words are never names.
bool placeholderWord(const std::wstring& word) {
    for (const std::wstring kind : {L"USER-", L"DOMAIN-"}) {
        if (word.size() > kind.size() && word.compare(0, kind.size(), kind) == 0 &&
            std::all_of(word.begin() + static_cast<std::ptrdiff_t>(kind.size()), word.end(),
                        [](wchar_t c) { return c >= L'0' && c <= L'9'; })) {
            return true;
        }
    }
    return false;
}

// Whether the platform keeps `folded` as its own short name: a base of one to eight and an
// extension of up to three characters it allows there, upper case.
bool isShortName(const std::wstring& folded) {
    const std::size_t dot = folded.find(L'.');
    const std::size_t base = dot == std::wstring::npos ? folded.size() : dot;
    const std::size_t extension = dot == std::wstring::npos ? 0 : folded.size() - dot - 1;
    if (base == 0 || base > 8 || extension > 3 ||
        (dot != std::wstring::npos && folded.find(L'.', dot + 1) != std::wstring::npos)) {
        return false;
    }
    return std::all_of(folded.begin(), folded.end(), [](wchar_t c) {
        return c == L'.' || (c < 0x80 && c > L' ' && !wcschr(L"\"*+,/:;<=>?[\\]|", c));
    });
}

// The first letters of the platform's short name for a folder named `folded` ("ANNLEE" of
// "ANNLEE~1" for "Ann Lee"): its base without spaces and full stops, characters a short
// name cannot hold as "_", six at most.
std::wstring shortPrefix(const std::wstring& folded) {
    const std::size_t dot = folded.rfind(L'.');
    const std::wstring base =
        dot == std::wstring::npos || dot == 0 ? folded : folded.substr(0, dot);
    std::wstring prefix;
    for (const wchar_t c : base) {
        if (prefix.size() == 6) {
            break;
        }
        if (c == L' ' || c == L'.') {
            continue;
        }
        prefix.push_back(nameChar(c) && c < 0x80 ? c : L'_');
    }
    return prefix;
}

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && (text.back() == '\r' || text.back() == ' ')) {
        text.remove_suffix(1);
    }
    return text;
}

template <typename Each>
void forEachLine(std::string_view text, Each each) {
    std::size_t begin = 0;
    while (begin <= text.size()) {
        std::size_t end = text.find('\n', begin);
        end = end == std::string_view::npos ? text.size() : end;
        each(text.substr(begin, end - begin), end < text.size());
        begin = end + 1;
    }
}

} // namespace

void Redaction::learn(std::string_view text) {
    forEachLine(text, [this](std::string_view line, bool) {
        if (line.size() <= kStampLength || line[0] != '[' || line[kStampLength - 1] != ']' ||
            line.substr(kStampLength, kClientLine.size()) != kClientLine) {
            return;
        }
        const std::string_view rest = line.substr(kStampLength + kClientLine.size());
        // Account names hold no comma: the last ", account " is the service's, whatever the
        // program's path holds.
        const std::size_t program = rest.find(kProgram);
        const std::size_t account = rest.rfind(kAccount);
        if (program == std::string_view::npos || account == std::string_view::npos ||
            account < program + kProgram.size()) {
            return;
        }
        learnClient(rest.substr(program + kProgram.size(), account - program - kProgram.size()),
                    trimmed(rest.substr(account + kAccount.size())));
    });
}

void Redaction::learnClient(std::string_view program, std::string_view account) {
    std::size_t index = 0;
    if (!account.empty() && account.substr(0, 8) != "unknown ") {
        const std::size_t slash = account.rfind('\\');
        const std::wstring domain =
            slash == std::string_view::npos ? L"" : fold(account.substr(0, slash)).text;
        // The platform's own accounts are no one's.
        if (!oneOf(domain, {L"NT AUTHORITY", L"BUILTIN", L"NT SERVICE", L"WINDOW MANAGER",
                            L"FONT DRIVER HOST"})) {
            if (slash != std::string_view::npos) {
                learnName(account.substr(0, slash), "domain", index);
            }
            learnName(account.substr(slash == std::string_view::npos ? 0 : slash + 1), "user",
                      index);
        }
    }
    // The profile folder: "C:\Users\NAME\..." (or "\\?\C:\Users\NAME\..."), at the path's
    // beginning only; a folder of that name deeper down is anyone's.
    if (program.substr(0, 4) == "\\\\?\\") {
        program.remove_prefix(4);
    }
    const Folded path = fold(program);
    if (path.text.size() < 10 || path.text[1] != L':' ||
        path.text.compare(2, 7, L"\\USERS\\") != 0) {
        return;
    }
    const std::size_t end = path.text.find(L'\\', 9);
    if (end == std::wstring::npos) {
        return;
    }
    const std::wstring folded = path.text.substr(9, end - 9);
    if (oneOf(folded, {L"PUBLIC", L"DEFAULT", L"DEFAULT USER", L"ALL USERS"}) ||
        !learnName(program.substr(path.at[9], path.at[end] - path.at[9]), "user", index)) {
        return;
    }
    if (!isShortName(folded)) {
        const std::wstring prefix = shortPrefix(folded);
        if (!prefix.empty()) {
            addForm(prefix, index, true);
        }
    }
}

bool Redaction::learnName(std::string_view name, const char* kind, std::size_t& index) {
    const std::wstring folded = fold(name).text;
    if (folded.empty() || !nameChar(folded[0]) ||
        placeholderWord(folded.substr(0, wordEnd(folded, 0)))) {
        return false;
    }
    const auto known = std::find_if(learnt.begin(), learnt.end(), [&](const Name& learntName) {
        return learntName.folded == folded;
    });
    if (known != learnt.end()) {
        index = static_cast<std::size_t>(known - learnt.begin());
        return true;
    }
    if (folded.size() < kShortestName) {
        shortNames.insert(folded);
        return false;
    }
    if (learnt.size() >= kMostNames) {
        reachedBound = true;
        return false;
    }
    const bool domain = std::string_view(kind) == "domain";
    const std::size_t number = domain ? ++domains : ++users;
    learnt.push_back(
        {folded, std::string(name), std::string("<") + kind + "-" + std::to_string(number) + ">"});
    index = learnt.size() - 1;
    addForm(folded, index, false);
    return true;
}

void Redaction::addForm(std::wstring folded, std::size_t name, bool shortForm) {
    std::vector<Form>& list = forms[folded.substr(0, wordEnd(folded, 0))];
    const auto longer = [](const Form& a, const Form& b) {
        return a.folded.size() > b.folded.size();
    };
    Form form{std::move(folded), name, shortForm};
    list.insert(std::upper_bound(list.begin(), list.end(), form, longer), std::move(form));
}

std::vector<std::string> Redaction::learntNames() const {
    std::vector<std::string> names;
    for (const Name& name : learnt) {
        names.push_back(name.shown);
    }
    return names;
}

std::string Redaction::apply(std::string_view text) const {
    std::string out;
    out.reserve(text.size());
    forEachLine(text, [&](std::string_view line, bool ended) {
        const Folded folded = fold(line);
        const std::wstring& t = folded.text;
        std::size_t copied = 0;
        for (std::size_t i = 0; i < t.size();) {
            if (!nameChar(t[i]) || (i > 0 && nameChar(t[i - 1]))) {
                ++i;
                continue;
            }
            const std::size_t word = wordEnd(t, i);
            const auto found = forms.find(t.substr(i, word - i));
            static const std::vector<Form> none;
            std::size_t end = 0;
            const Form* hit = nullptr;
            for (const Form& form : found == forms.end() ? none : found->second) {
                if (t.compare(i, form.folded.size(), form.folded) != 0) {
                    continue;
                }
                end = i + form.folded.size();
                if (form.shortForm) {
                    const std::size_t digits = end + 1;
                    if (end >= t.size() || t[end] != L'~') {
                        continue;
                    }
                    for (end = digits; end < t.size() && t[end] >= L'0' && t[end] <= L'9'; ++end) {
                    }
                    if (end == digits) {
                        continue;
                    }
                }
                if (end < t.size() && nameChar(t[end])) {
                    continue;
                }
                hit = &form;
                break;
            }
            if (hit == nullptr) {
                i = word;
                continue;
            }
            out.append(line.substr(copied, folded.at[i] - copied));
            out += learnt[hit->name].placeholder;
            copied = folded.at[end];
            i = end;
        }
        out.append(line.substr(copied));
        if (ended) {
            out += '\n';
        }
    });
    return out;
}
