// The committed filters as the kernel of the test network enforces them: the DNS isolation's
// twelve filters in one chain of the output hook, permits first, and whatever the
// translation does not model refused, never passed over.
#include "NftRules.h"
#include "WfpExpected.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

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

TEST(NftRulesTest, WithoutFiltersTheTableIsOnlyRemoved) {
    std::string error;
    EXPECT_EQ("table inet orvanet_wfp {}\ndelete table inet orvanet_wfp\n",
              nftScript({}, error).value_or("(refused: " + error + ")"));
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
         "filter 'Orvanet DoT allow (TCP/853) (block)': weight of type 0 is not modelled"},
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
