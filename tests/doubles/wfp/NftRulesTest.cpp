// The committed filters as the kernel of the test network enforces them: the DNS isolation's
// twelve filters in one chain of the output hook, permits first, and whatever the
// translation does not model refused, never passed over.
#include "NftRules.h"
#include "WfpExpected.h"

#include <gtest/gtest.h>

#include <functional>
#include <sstream>
#include <string>
#include <vector>

namespace {

using namespace wfpdouble;

TEST(NftRulesTest, TheTwelveFiltersBecomeOneChainByWeightPermitsFirst) {
    std::string error;
    const auto script = nftScript(wfpmodel::twelveFilters(7), error);
    ASSERT_TRUE(script) << error;
    EXPECT_EQ("table inet orvanet_wfp {}\n"
              "delete table inet orvanet_wfp\n"
              "table inet orvanet_wfp {\n"
              "\tchain sublayer_8f6a0f7d2ed24d79a21f7b2d11417398 {\n"
              "\t\ttype filter hook output priority 0; policy accept;\n"
              "\t\tmeta nfproto ipv4 meta l4proto 17 th dport 53 oif 7 accept comment \"Orvanet "
              "DNS allow (UDP/53)\"\n"
              "\t\tmeta nfproto ipv4 meta l4proto 6 th dport 53 oif 7 accept comment \"Orvanet DNS "
              "allow (TCP/53)\"\n"
              "\t\tmeta nfproto ipv4 meta l4proto 6 th dport 853 oif 7 accept comment \"Orvanet "
              "DoT allow (TCP/853)\"\n"
              "\t\tmeta nfproto ipv6 meta l4proto 17 th dport 53 oif 7 accept comment \"Orvanet "
              "DNS allow (UDP/53)\"\n"
              "\t\tmeta nfproto ipv6 meta l4proto 6 th dport 53 oif 7 accept comment \"Orvanet DNS "
              "allow (TCP/53)\"\n"
              "\t\tmeta nfproto ipv6 meta l4proto 6 th dport 853 oif 7 accept comment \"Orvanet "
              "DoT allow (TCP/853)\"\n"
              "\t\tmeta nfproto ipv4 meta l4proto 17 th dport 53 drop comment \"Orvanet DNS allow "
              "(UDP/53) (block)\"\n"
              "\t\tmeta nfproto ipv4 meta l4proto 6 th dport 53 drop comment \"Orvanet DNS allow "
              "(TCP/53) (block)\"\n"
              "\t\tmeta nfproto ipv4 meta l4proto 6 th dport 853 drop comment \"Orvanet DoT allow "
              "(TCP/853) (block)\"\n"
              "\t\tmeta nfproto ipv6 meta l4proto 17 th dport 53 drop comment \"Orvanet DNS allow "
              "(UDP/53) (block)\"\n"
              "\t\tmeta nfproto ipv6 meta l4proto 6 th dport 53 drop comment \"Orvanet DNS allow "
              "(TCP/53) (block)\"\n"
              "\t\tmeta nfproto ipv6 meta l4proto 6 th dport 853 drop comment \"Orvanet DoT allow "
              "(TCP/853) (block)\"\n"
              "\t}\n"
              "}\n",
              *script);
}

// What nft must read as the platform means it: conditions on one field ORed (a set), the
// fields ANDed; and a name of any length as a comment nft takes (128 bytes at most).
TEST(NftRulesTest, SeveralValuesOfOneFieldBecomeASetAndLongNamesAreCut) {
    const struct {
        std::function<void(std::vector<Filter>&)> change;
        std::string rule; // the IPv4 UDP/53 block's rule after the change
    } cases[] = {
        {[](auto& f) {
             f[1].conditions.push_back(
                 {f[1].conditions[1].fieldKey, FWP_MATCH_EQUAL, FWP_UINT16, 853});
         },
         "meta nfproto ipv4 meta l4proto 17 th dport { 53, 853 } drop comment \"Orvanet DNS "
         "allow (UDP/53) (block)\""},
        {[](auto& f) { f[1].conditions.push_back(f[1].conditions[0]); },
         "meta nfproto ipv4 meta l4proto 17 th dport 53 drop comment \"Orvanet DNS allow "
         "(UDP/53) (block)\""},
        {[](auto& f) { f[1].name = std::wstring(200, L'x'); },
         "meta nfproto ipv4 meta l4proto 17 th dport 53 drop comment \"" + std::string(125, 'x') +
             "...\""},
    };
    for (const auto& c : cases) {
        auto filters = wfpmodel::twelveFilters(7);
        c.change(filters);
        std::string error;
        const auto script = nftScript(filters, error);
        ASSERT_TRUE(script) << error;
        EXPECT_NE(std::string::npos, script->find("\t\t" + c.rule + "\n")) << *script;
    }
}

TEST(NftRulesTest, WithoutFiltersTheTableIsOnlyRemoved) {
    std::string error;
    EXPECT_EQ("table inet orvanet_wfp {}\ndelete table inet orvanet_wfp\n",
              nftScript({}, error).value_or("(refused: " + error + ")"));
}

// A UINT64 weight ranks among the UINT8 ones by the platform's scale, on which bucket N is
// N << 60: here the block of IPv4 UDP/53 moves among the permits (15) and blocks (10).
TEST(NftRulesTest, WeightsOfBothTypesRankOnTheOneScale) {
    const struct {
        std::uint64_t weight;
        std::size_t position; // of its rule in the chain
    } cases[] = {
        {0x1000000000000001, 11}, // bucket 1: below all
        {0xA000000000000001, 6},  // just above bucket 10: first of the blocks
        {0xF000000000000001, 0},  // just above bucket 15: first of all
    };
    for (const auto& c : cases) {
        auto filters = wfpmodel::twelveFilters(7);
        filters[1].weightType = FWP_UINT64;
        filters[1].weightValue = c.weight;
        std::string error;
        const auto script = nftScript(filters, error);
        ASSERT_TRUE(script) << error;
        std::vector<std::string> rules;
        std::istringstream lines(*script);
        for (std::string line; std::getline(lines, line);) {
            if (line.starts_with("\t\tmeta ")) {
                rules.push_back(line);
            }
        }
        ASSERT_EQ(12u, rules.size());
        EXPECT_TRUE(rules[c.position].starts_with("\t\tmeta nfproto ipv4 meta l4proto 17 th "
                                                  "dport 53 drop"))
            << std::hex << c.weight << ": " << rules[c.position];
    }
}

TEST(NftRulesTest, WhatIsNotModelledIsRefusedNamingTheFilter) {
    const GUID elsewhere = {
        0x11111111, 0x2222, 0x3333, {0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55}};
    const struct {
        const char* what;
        std::function<void(std::vector<Filter>&)> change;
        std::string error;
    } cases[] = {
        {"a layer", [&](auto& f) { f[0].layerKey = elsewhere; },
         "filter 'Orvanet DNS allow (UDP/53)': layer " + guidText(elsewhere) + " is not modelled"},
        {"a field", [&](auto& f) { f[1].conditions[0].fieldKey = elsewhere; },
         "filter 'Orvanet DNS allow (UDP/53) (block)': condition field " + guidText(elsewhere) +
             " is not modelled"},
        {"a match type", [](auto& f) { f[2].conditions[1].matchType = FWP_MATCH_GREATER; },
         "filter 'Orvanet DNS allow (TCP/53)': match type 1 is not modelled"},
        {"a value type", [](auto& f) { f[3].conditions[1].type = FWP_UINT32; },
         "filter 'Orvanet DNS allow (TCP/53) (block)': value type 3 for th dport is not modelled"},
        {"an action", [](auto& f) { f[4].actionType = 0x5003; }, // callout terminating
         "filter 'Orvanet DoT allow (TCP/853)': action 20483 is not modelled"},
        {"an empty weight", [](auto& f) { f[5].weightType = FWP_EMPTY; },
         "filter 'Orvanet DoT allow (TCP/853) (block)': weight 10 of type 0 is not modelled"},
        {"a UINT8 weight above 15", [](auto& f) { f[6].weightValue = 16; },
         "filter 'Orvanet DNS allow (UDP/53)': weight 16 of type 1 is not modelled"},
        {"a line end in a name", [](auto& f) { f[7].name = L"Orvanet\n} drop"; },
         "filter 'Orvanet?} drop': a control character in its name is not modelled"},
        {"an equal weight", [](auto& f) { f[1].weightValue = f[0].weightValue; },
         "filters 'Orvanet DNS allow (UDP/53)' and 'Orvanet DNS allow (UDP/53) (block)': the "
         "same weight in one sublayer, with different actions"},
    };
    for (const auto& c : cases) {
        auto filters = wfpmodel::twelveFilters(7);
        c.change(filters);
        std::string error;
        EXPECT_FALSE(nftScript(filters, error)) << c.what;
        EXPECT_EQ(c.error, error) << c.what;
    }
}

} // namespace
