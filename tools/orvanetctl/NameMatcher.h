#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <unordered_map>
#include <vector>

// Finds every occurrence of a set of words in a text in one pass, whatever their number
// (Aho-Corasick): the time is the text's length plus the occurrences, so that no text a user
// wrote into a log can make the report's redaction slow. Texts are folded UTF-16, as the
// caller folds both the words and the text.
class NameMatcher {
public:
    // `id` comes back with each occurrence. Words added after the last build are not found.
    void add(const std::wstring& word, std::size_t id);
    void build();
    bool empty() const { return nodes.size() <= 1; }

    // `found(begin, end, id)` for each occurrence, in the order their ends are reached.
    void forEach(const std::wstring& text,
                 const std::function<void(std::size_t, std::size_t, std::size_t)>& found) const;

private:
    struct Node {
        std::int32_t fail = 0;
        std::int32_t output = -1; // the next node, by fail links, that ends a word
        std::vector<std::size_t> ids;
        std::size_t depth = 0;
    };
    std::int32_t next(std::int32_t node, wchar_t c) const;
    static std::uint64_t key(std::int32_t node, wchar_t c) {
        return (static_cast<std::uint64_t>(node) << 16) | static_cast<std::uint16_t>(c);
    }

    std::vector<Node> nodes{Node{}};
    std::unordered_map<std::uint64_t, std::int32_t> edges;
};
