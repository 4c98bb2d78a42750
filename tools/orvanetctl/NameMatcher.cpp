#include "NameMatcher.h"

#include <deque>

void NameMatcher::add(const std::wstring& word, std::size_t id) {
    std::int32_t node = 0;
    for (const wchar_t c : word) {
        const auto [edge, made] = edges.try_emplace(key(node, c), 0);
        if (made) {
            edge->second = static_cast<std::int32_t>(nodes.size());
            Node child;
            child.depth = nodes[static_cast<std::size_t>(node)].depth + 1;
            nodes.push_back(child);
        }
        node = edge->second;
    }
    nodes[static_cast<std::size_t>(node)].ids.push_back(id);
}

std::int32_t NameMatcher::next(std::int32_t node, wchar_t c) const {
    for (;;) {
        const auto edge = edges.find(key(node, c));
        if (edge != edges.end()) {
            return edge->second;
        }
        if (node == 0) {
            return 0;
        }
        node = nodes[static_cast<std::size_t>(node)].fail;
    }
}

void NameMatcher::build() {
    // Children by parent, so that the links are set breadth first.
    std::vector<std::vector<std::pair<wchar_t, std::int32_t>>> children(nodes.size());
    for (const auto& [k, child] : edges) {
        children[static_cast<std::size_t>(k >> 16)].emplace_back(static_cast<wchar_t>(k & 0xFFFF),
                                                                 child);
    }
    std::deque<std::int32_t> queue;
    for (const auto& [c, child] : children[0]) {
        nodes[static_cast<std::size_t>(child)].fail = 0;
        queue.push_back(child);
    }
    while (!queue.empty()) {
        const std::int32_t node = queue.front();
        queue.pop_front();
        for (const auto& [c, child] : children[static_cast<std::size_t>(node)]) {
            Node& n = nodes[static_cast<std::size_t>(child)];
            n.fail = next(nodes[static_cast<std::size_t>(node)].fail, c);
            const Node& fail = nodes[static_cast<std::size_t>(n.fail)];
            n.output = fail.ids.empty() ? fail.output : n.fail;
            queue.push_back(child);
        }
    }
}

void NameMatcher::forEach(
    const std::wstring& text,
    const std::function<void(std::size_t, std::size_t, std::size_t)>& found) const {
    std::int32_t node = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        node = next(node, text[i]);
        for (std::int32_t at = nodes[static_cast<std::size_t>(node)].ids.empty()
                                   ? nodes[static_cast<std::size_t>(node)].output
                                   : node;
             at > 0; at = nodes[static_cast<std::size_t>(at)].output) {
            const Node& hit = nodes[static_cast<std::size_t>(at)];
            for (const std::size_t id : hit.ids) {
                found(i + 1 - hit.depth, i + 1, id);
            }
        }
    }
}
