#include "Redaction.h"

#include "CaseFold.h"

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
    foldUpper(folded.text);
    return folded;
}

// A letter or digit of any script, or what account names join words with: a name matches
// only where no such character continues it on either side (a full stop, an "@", a
// guillemet or an apostrophe may).
bool wordChar(wchar_t c) {
    if (c < 0x80) {
        return (c >= L'0' && c <= L'9') || (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z') ||
               c == L'_' || c == L'-' || c == L'$';
    }
    return isLetterOrDigit(c);
}

std::size_t wordEnd(const std::wstring& text, std::size_t from) {
    while (from < text.size() && wordChar(text[from])) {
        ++from;
    }
    return from;
}

// Whether no word runs across the place between text[at - 1] and text[at].
bool boundaryAt(const std::wstring& text, std::size_t at) {
    return at == 0 || at >= text.size() || !wordChar(text[at - 1]) || !wordChar(text[at]);
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

// A character the platform keeps in a short (8.3) name; others it writes as "_".
bool shortNameChar(wchar_t c) {
    return c < 0x80 && c > L' ' && c != L'.' && !wcschr(L"\"*+,/:;<=>?[\\]|", c);
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
    return std::all_of(folded.begin(), folded.end(),
                       [](wchar_t c) { return c == L'.' || shortNameChar(c); });
}

// The first letters of the platform's short name for a folder named `folded` ("ANNLEE" of
// "ANNLEE~1" for "Ann Lee", "O'BRIE" of "O'BRIE~1"): its base without spaces and full stops,
// characters a short name cannot hold as "_", six at most.
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
        prefix.push_back(shortNameChar(c) ? c : L'_');
    }
    return prefix;
}

// Where a short form that matched up to its "~" at `at` ends: its digits, and an extension
// of one to three characters if one follows; npos without digits.
std::size_t shortFormEnd(const std::wstring& text, std::size_t at) {
    std::size_t end = at;
    while (end < text.size() && text[end] >= L'0' && text[end] <= L'9') {
        ++end;
    }
    if (end == at) {
        return std::wstring::npos;
    }
    if (end < text.size() && text[end] == L'.') {
        std::size_t extension = end + 1;
        while (extension < text.size() && extension - end <= 4 && shortNameChar(text[extension])) {
            ++extension;
        }
        if (extension - end - 1 >= 1 && extension - end - 1 <= 3 && boundaryAt(text, extension)) {
            return extension;
        }
    }
    return end;
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

Redaction::Redaction(std::string_view profiles) : profilesFolded(fold(profiles).text) {
    while (!profilesFolded.empty() && profilesFolded.back() == L'\\') {
        profilesFolded.pop_back();
    }
}

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
    rebuild();
}

void Redaction::learnAccount(std::string_view account) {
    learnAccountName(account);
    rebuild();
}

void Redaction::learnAccountName(std::string_view account) {
    std::size_t index = 0;
    if (account.empty() || account.substr(0, 8) == "unknown ") {
        return;
    }
    const std::size_t slash = account.rfind('\\');
    const std::wstring domain =
        slash == std::string_view::npos ? L"" : fold(account.substr(0, slash)).text;
    // The platform's own accounts are no one's.
    if (oneOf(domain, {L"NT AUTHORITY", L"BUILTIN", L"NT SERVICE", L"WINDOW MANAGER",
                       L"FONT DRIVER HOST"})) {
        return;
    }
    if (slash != std::string_view::npos) {
        learnName(account.substr(0, slash), true, index);
    }
    learnName(account.substr(slash == std::string_view::npos ? 0 : slash + 1), false, index);
}

void Redaction::learnProfile(std::string_view path) {
    while (!path.empty() && path.back() == '\\') {
        path.remove_suffix(1);
    }
    const std::size_t slash = path.rfind('\\');
    if (slash != std::string_view::npos) {
        learnProfileName(path.substr(slash + 1));
        rebuild();
    }
}

void Redaction::learnClient(std::string_view program, std::string_view account) {
    learnAccountName(account);
    // The profile folder: "PROFILES\NAME\..." (or "\\?\PROFILES\NAME\..."), at the path's
    // beginning only; a folder of that name elsewhere, on another drive say, is anyone's.
    if (program.substr(0, 4) == "\\\\?\\") {
        program.remove_prefix(4);
    }
    const Folded path = fold(program);
    const std::size_t from = profilesFolded.size() + 1;
    if (profilesFolded.empty() || path.text.size() <= from ||
        path.text.compare(0, profilesFolded.size(), profilesFolded) != 0 ||
        path.text[profilesFolded.size()] != L'\\') {
        return;
    }
    const std::size_t end = path.text.find(L'\\', from);
    if (end != std::wstring::npos) {
        learnProfileName(program.substr(path.at[from], path.at[end] - path.at[from]));
    }
}

void Redaction::learnProfileName(std::string_view name) {
    const std::wstring folded = fold(name).text;
    std::size_t index = 0;
    if (oneOf(folded, {L"PUBLIC", L"DEFAULT", L"DEFAULT USER", L"ALL USERS"}) ||
        learnName(name, false, index) == Learnt::Refused || isShortName(folded)) {
        return;
    }
    const std::wstring prefix = shortPrefix(folded);
    if (!prefix.empty()) {
        addForm(prefix + L"~", index, true);
    }
}

Redaction::Learnt Redaction::learnName(std::string_view name, bool domain, std::size_t& index) {
    const std::wstring folded = fold(name).text;
    if (folded.find_first_not_of(L' ') == std::wstring::npos) {
        return Learnt::Refused;
    }
    if (const auto known = byFolded.find(folded); known != byFolded.end()) {
        index = known->second;
        return Learnt::Known;
    }
    // A name holding "<" or ">", which no account or file name can, could be read into a
    // placeholder ("<user-1" stands in "<user-1>"): like one written as a placeholder, it is
    // counted, not replaced.
    if (folded.size() < kShortestName || folded.find_first_of(L"<>") != std::wstring::npos ||
        placeholderWord(folded.substr(0, wordEnd(folded, 0)))) {
        unusable.insert(folded);
        return Learnt::Refused;
    }
    if (learnt.size() >= kMostNames) {
        if (beyondBound.insert(folded).second) {
            beyondMatcher.add(folded, 0);
        }
        return Learnt::Refused;
    }
    const char* kind = domain ? "domain" : "user";
    const std::size_t number = domain ? ++domains : ++users;
    learnt.push_back(
        {folded, std::string(name), std::string("<") + kind + "-" + std::to_string(number) + ">"});
    index = learnt.size() - 1;
    byFolded.emplace(folded, index);
    addForm(folded, index, false);
    return Learnt::New;
}

void Redaction::addForm(const std::wstring& folded, std::size_t name, bool shortForm) {
    // A name may read like another's short form ("ALICES~" beside the folder "Alice Smith"):
    // each is a form of its own, matched whole and as a short form's beginning.
    if (formsAdded.insert({folded, shortForm}).second) {
        matcher.add(folded, forms.size());
        forms.push_back({name, shortForm});
    }
}

void Redaction::rebuild() {
    matcher.build();
    beyondMatcher.build();
}

bool Redaction::holdsLeftOut(std::string_view text) const {
    bool held = false;
    if (beyondBound.empty()) {
        return held;
    }
    forEachLine(text, [&](std::string_view line, bool) {
        const std::wstring t = fold(line).text;
        beyondMatcher.forEach(t, [&](std::size_t begin, std::size_t end, std::size_t) {
            held = held || (boundaryAt(t, begin) && boundaryAt(t, end));
        });
    });
    return held;
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
    // For each place of a line, where the longest match that begins there ends (0: none) and
    // whose name it is.
    std::vector<std::pair<std::size_t, std::size_t>> longest;
    forEachLine(text, [&](std::string_view line, bool ended) {
        const Folded folded = fold(line);
        const std::wstring& t = folded.text;
        longest.assign(t.size(), {0, 0});
        matcher.forEach(t, [&](std::size_t begin, std::size_t end, std::size_t id) {
            if (forms[id].shortForm) {
                end = shortFormEnd(t, end);
            }
            if (end != std::wstring::npos && end > longest[begin].first && boundaryAt(t, begin) &&
                boundaryAt(t, end)) {
                longest[begin] = {end, forms[id].name};
            }
        });
        std::size_t copied = 0;
        for (std::size_t i = 0; i < t.size();) {
            const auto [end, name] = longest[i];
            if (end == 0) {
                ++i;
                continue;
            }
            out.append(line.substr(copied, folded.at[i] - copied));
            out += learnt[name].placeholder;
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
