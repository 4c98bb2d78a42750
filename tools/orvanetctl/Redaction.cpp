#include "Redaction.h"

#include <algorithm>
#include <initializer_list>
#include <vector>

namespace {

// ASCII only, byte for byte: the lowered text keeps every position of the original.
std::string lower(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return out;
}

// What may continue a name: a match must not be part of a longer word (a full stop may
// follow one).
bool nameChar(char c) {
    const auto u = static_cast<unsigned char>(c);
    return (u >= '0' && u <= '9') || (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || c == '_' ||
           c == '-' || c == '$' || u >= 0x80;
}

bool oneOf(std::string_view name, std::initializer_list<std::string_view> names) {
    const std::string lowered = lower(name);
    return std::find(names.begin(), names.end(), lowered) != names.end();
}

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && (text.back() == '\r' || text.back() == ' ')) {
        text.remove_suffix(1);
    }
    return text;
}

} // namespace

void Redaction::learn(std::string_view text) {
    static constexpr std::string_view accountMark = ", account ";
    static constexpr std::string_view profileMark = "\\users\\";
    std::size_t begin = 0;
    while (begin < text.size()) {
        std::size_t end = text.find('\n', begin);
        end = end == std::string_view::npos ? text.size() : end;
        const std::string_view line = text.substr(begin, end - begin);
        if (const std::size_t at = line.rfind(accountMark); at != std::string_view::npos) {
            learnAccount(trimmed(line.substr(at + accountMark.size())));
        }
        const std::string lowered = lower(line);
        for (std::size_t at = lowered.find(profileMark); at != std::string::npos;
             at = lowered.find(profileMark, at + 1)) {
            const std::size_t from = at + profileMark.size();
            const std::size_t to = line.find_first_of("\\,\")\r", from);
            learnUser(line.substr(from, (to == std::string_view::npos ? line.size() : to) - from));
        }
        begin = end + 1;
    }
}

void Redaction::learnAccount(std::string_view account) {
    if (account.empty() || account.substr(0, 8) == "unknown ") {
        return;
    }
    const std::size_t slash = account.rfind('\\');
    if (slash == std::string_view::npos) {
        learnUser(account);
        return;
    }
    const std::string_view domain = account.substr(0, slash);
    if (oneOf(domain,
              {"nt authority", "builtin", "nt service", "window manager", "font driver host"})) {
        return;
    }
    const std::string key = lower(domain);
    if (!key.empty() && domains.find(key) == domains.end()) {
        domains.emplace(key, "<domain-" + std::to_string(domains.size() + 1) + ">");
    }
    learnUser(account.substr(slash + 1));
}

void Redaction::learnUser(std::string_view name) {
    if (name.empty() || oneOf(name, {"public", "default", "default user", "all users"})) {
        return;
    }
    const std::string key = lower(name);
    if (users.find(key) == users.end()) {
        users.emplace(key, "<user-" + std::to_string(users.size() + 1) + ">");
    }
}

std::string Redaction::apply(std::string_view text) const {
    struct Match {
        std::size_t at;
        std::size_t length;
        const std::string* placeholder;
    };
    const std::string lowered = lower(text);
    std::vector<Match> matches;
    for (const auto* known : {&users, &domains}) {
        for (const auto& [name, placeholder] : *known) {
            for (std::size_t at = lowered.find(name); at != std::string::npos;
                 at = lowered.find(name, at + 1)) {
                const std::size_t after = at + name.size();
                if ((at == 0 || !nameChar(text[at - 1])) &&
                    (after == text.size() || !nameChar(text[after]))) {
                    matches.push_back({at, name.size(), &placeholder});
                }
            }
        }
    }
    // The longest name first where two begin at one place; overlapped ones are skipped.
    std::sort(matches.begin(), matches.end(), [](const Match& a, const Match& b) {
        return a.at != b.at ? a.at < b.at : a.length > b.length;
    });
    std::string out;
    out.reserve(text.size());
    std::size_t copied = 0;
    for (const Match& match : matches) {
        if (match.at < copied) {
            continue;
        }
        out.append(text.substr(copied, match.at - copied));
        out += *match.placeholder;
        copied = match.at + match.length;
    }
    out.append(text.substr(copied));
    return out;
}
