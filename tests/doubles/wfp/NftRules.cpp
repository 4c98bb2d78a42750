#include "NftRules.h"

#include "WfpText.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <map>

namespace wfpdouble {
namespace {

// The platform's published keys.
const GUID kOutboundTransportV4 = {
    0x09e61aea, 0xd214, 0x46e2, {0x9b, 0x21, 0xb2, 0x6b, 0x0b, 0x2f, 0x28, 0xc8}};
const GUID kOutboundTransportV6 = {
    0xe1735bde, 0x013f, 0x4655, {0xb3, 0x51, 0xa4, 0x9e, 0x15, 0x76, 0x2d, 0xf0}};
const GUID kIpProtocol = {
    0x3971ef2b, 0x623e, 0x4f9a, {0x8c, 0xb1, 0x6e, 0x79, 0xb8, 0x06, 0xb9, 0xa7}};
const GUID kRemotePort = {
    0xc35a604d, 0xd22b, 0x4e1a, {0x91, 0xb4, 0x68, 0xf6, 0x74, 0xee, 0x67, 0x4b}};
const GUID kInterfaceIndex = {
    0x667fd755, 0xd695, 0x434a, {0x8a, 0xf5, 0xd3, 0x83, 0x5a, 0x12, 0x59, 0xbc}};
constexpr FWP_ACTION_TYPE kBlock = 0x1001;  // FWP_ACTION_BLOCK
constexpr FWP_ACTION_TYPE kPermit = 0x1002; // FWP_ACTION_PERMIT

// Layer: the nft protocol family its packets belong to.
struct Layer {
    const GUID* key;
    const char* family;
};
const Layer kLayers[] = {
    {&kOutboundTransportV4, "ipv4"},
    {&kOutboundTransportV6, "ipv6"},
};

// Condition field, with the one value type it takes: the nft expression that matches it.
struct Field {
    const GUID* key;
    FWP_DATA_TYPE type;
    const char* expression;
};
const Field kFields[] = {
    {&kIpProtocol, FWP_UINT8, "meta l4proto"},
    {&kRemotePort, FWP_UINT16, "th dport"},
    {&kInterfaceIndex, FWP_UINT32, "oif"},
};

// Action: the nft verdict.
struct Verdict {
    FWP_ACTION_TYPE action;
    const char* verdict;
};
const Verdict kVerdicts[] = {
    {kPermit, "accept"},
    {kBlock, "drop"},
};

bool same(const GUID& a, const GUID& b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

struct Rule {
    std::uint64_t weight;
    FWP_ACTION_TYPE action;
    std::string name;
    std::string text;
};

// A UINT8 weight is the platform's sixteen-bucket shorthand, 0 to 15: the top four bits of
// the full one (FWPM_AUTO_WEIGHT_BITS is 60).
std::optional<std::uint64_t> weightOf(const Filter& filter) {
    switch (filter.weightType) {
    case FWP_UINT8:
        if (filter.weightValue > 15) {
            return std::nullopt; // the platform refuses it
        }
        return filter.weightValue << 60;
    case FWP_UINT64:
        return filter.weightValue;
    default:
        return std::nullopt; // empty: the platform would choose, and nobody could say what
    }
}

std::optional<Rule> ruleOf(const Filter& filter, std::string& error) {
    Rule rule;
    rule.name = asciiText(filter.name.value_or(L""));
    const auto refuse = [&](const std::string& why) {
        error = "filter '" + rule.name + "': " + why;
        return std::nullopt;
    };
    // The name becomes the rule's comment, one line of the script.
    if (std::any_of(rule.name.begin(), rule.name.end(),
                    [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; })) {
        std::replace_if(
            rule.name.begin(), rule.name.end(),
            [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; }, '?');
        return refuse("a control character in its name is not modelled");
    }
    const auto layer = std::find_if(std::begin(kLayers), std::end(kLayers),
                                    [&](const Layer& l) { return same(*l.key, filter.layerKey); });
    if (layer == std::end(kLayers)) {
        return refuse("layer " + guidText(filter.layerKey) + " is not modelled");
    }
    const auto weight = weightOf(filter);
    if (!weight) {
        return refuse("weight " + std::to_string(filter.weightValue) + " of type " +
                      std::to_string(filter.weightType) + " is not modelled");
    }
    rule.weight = *weight;
    rule.text = std::string("meta nfproto ") + layer->family;
    // The platform ORs the conditions on one field and ANDs the fields: one expression per
    // field, in the order first met, with a set where it has several values.
    std::vector<std::pair<const Field*, std::vector<std::uint64_t>>> fields;
    for (const Condition& condition : filter.conditions) {
        const auto field =
            std::find_if(std::begin(kFields), std::end(kFields),
                         [&](const Field& f) { return same(*f.key, condition.fieldKey); });
        if (field == std::end(kFields)) {
            return refuse("condition field " + guidText(condition.fieldKey) + " is not modelled");
        }
        if (condition.matchType != FWP_MATCH_EQUAL) {
            return refuse("match type " + std::to_string(condition.matchType) + " is not modelled");
        }
        if (condition.type != field->type) {
            return refuse("value type " + std::to_string(condition.type) + " for " +
                          field->expression + " is not modelled");
        }
        auto values = std::find_if(fields.begin(), fields.end(),
                                   [&](const auto& f) { return f.first == &*field; });
        if (values == fields.end()) {
            values = fields.insert(fields.end(), {&*field, {}});
        }
        if (std::find(values->second.begin(), values->second.end(), condition.value) ==
            values->second.end()) {
            values->second.push_back(condition.value);
        }
    }
    for (const auto& [field, values] : fields) {
        rule.text += std::string(" ") + field->expression + " ";
        std::string set;
        for (const std::uint64_t value : values) {
            set += (set.empty() ? "" : ", ") + std::to_string(value);
        }
        rule.text += values.size() == 1 ? set : "{ " + set + " }";
    }
    const auto verdict =
        std::find_if(std::begin(kVerdicts), std::end(kVerdicts),
                     [&](const Verdict& v) { return v.action == filter.actionType; });
    if (verdict == std::end(kVerdicts)) {
        return refuse("action " + std::to_string(filter.actionType) + " is not modelled");
    }
    rule.action = filter.actionType;
    std::string comment = rule.name;
    std::replace(comment.begin(), comment.end(), '"', '\'');
    // nft refuses a comment of more than 128 bytes; the name is only for reading.
    constexpr std::size_t kLongestComment = 128;
    if (comment.size() > kLongestComment) {
        comment = comment.substr(0, kLongestComment - 3) + "...";
    }
    rule.text += std::string(" ") + verdict->verdict + " comment \"" + comment + "\"";
    return rule;
}

// The sublayer key as a chain name: hex digits only.
std::string chainName(const GUID& sublayer) {
    std::string name = "sublayer_";
    for (const char c : guidText(sublayer)) {
        if (std::isxdigit(static_cast<unsigned char>(c))) {
            name.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
        }
    }
    return name;
}

} // namespace

std::optional<std::string> nftScript(const std::vector<Filter>& filters, std::string& error) {
    std::map<std::string, std::vector<Rule>> chains;
    for (const Filter& filter : filters) {
        auto rule = ruleOf(filter, error);
        if (!rule) {
            return std::nullopt;
        }
        chains[chainName(filter.subLayerKey)].push_back(std::move(*rule));
    }
    const std::string table = std::string("table inet ") + kNftTable;
    std::string script = table + " {}\ndelete " + table + "\n";
    if (chains.empty()) {
        return script;
    }
    script += table + " {\n";
    for (auto& [chain, rules] : chains) {
        std::stable_sort(rules.begin(), rules.end(),
                         [](const Rule& a, const Rule& b) { return a.weight > b.weight; });
        for (std::size_t i = 1; i < rules.size(); ++i) {
            if (rules[i].weight == rules[i - 1].weight && rules[i].action != rules[i - 1].action) {
                error = "filters '" + rules[i - 1].name + "' and '" + rules[i].name +
                        "': the same weight in one sublayer, with different actions";
                return std::nullopt;
            }
        }
        script +=
            "\tchain " + chain + " {\n\t\ttype filter hook output priority 0; policy accept;\n";
        for (const Rule& rule : rules) {
            script += "\t\t" + rule.text + "\n";
        }
        script += "\t}\n";
    }
    return script + "}\n";
}

} // namespace wfpdouble
