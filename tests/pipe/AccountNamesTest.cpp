#include "pipe/AccountNames.h"

#include "platform/Owners.h"

#include <gtest/gtest.h>
#include <sddl.h>

#include <optional>
#include <string>

namespace {

// Every SID is named after itself, except the ones of the unnamed domain, which the fake
// cannot name; it counts what it was asked.
const std::wstring kUnnamedDomain = L"S-1-5-21-1-2-3-";
int g_lookups = 0;

std::string narrow(const std::wstring& text) {
    return std::string(text.begin(), text.end());
}

std::optional<std::string> fakeLookup(PSID sid) {
    ++g_lookups;
    LPWSTR text = nullptr;
    if (!ConvertSidToStringSidW(sid, &text)) {
        return std::nullopt;
    }
    const LocalMemory owned(text);
    const std::wstring name = text;
    if (name.rfind(kUnnamedDomain, 0) == 0) {
        return std::nullopt;
    }
    return "name of " + narrow(name);
}

TEST(AccountNames, LooksEachSidUpOnceKeepsOnlyNamesAndNeverMixesThemUp) {
    struct Ask {
        const wchar_t* sid;
        bool named;
        int lookupsAfter;
    };
    const Ask asks[] = {
        {L"S-1-5-18", true, 1},
        {L"S-1-5-18", true, 1}, // kept
        {L"S-1-5-19", true, 2}, // another SID gets its own name
        {L"S-1-5-21-1-2-3-1001", false, 3},
        {L"S-1-5-21-1-2-3-1001", false, 4}, // no name is kept: asked again
        {L"S-1-5-20", true, 5},             // the third name kept: the limit
        {L"S-1-5-32-544", true, 6},         // over it: the cache starts afresh
        {L"S-1-5-18", true, 7},             // forgotten, looked up again
        {L"S-1-5-32-544", true, 7},         // kept in the fresh cache
        {L"S-1-5-18", true, 7},
    };
    g_lookups = 0;
    AccountNames names(fakeLookup, 3);
    for (const Ask& ask : asks) {
        PSID sid = nullptr;
        ASSERT_TRUE(ConvertStringSidToSidW(ask.sid, &sid));
        const LocalMemory owned(sid);
        const std::optional<std::string> expected =
            ask.named ? std::optional<std::string>("name of " + narrow(ask.sid)) : std::nullopt;
        EXPECT_EQ(expected, names.nameOf(sid)) << narrow(ask.sid);
        EXPECT_EQ(ask.lookupsAfter, g_lookups) << narrow(ask.sid);
    }
}

TEST(AccountNames, AnInvalidSidIsNeitherLookedUpNorNamed) {
    g_lookups = 0;
    AccountNames names(fakeLookup);
    unsigned char notASid[16] = {}; // revision 0
    EXPECT_EQ(std::nullopt, names.nameOf(notASid));
    EXPECT_EQ(0, g_lookups);
}

} // namespace
