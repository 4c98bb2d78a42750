#include "PipeFixture.h"
#include "pipe/ClientIdentity.h"

#include "platform/Owners.h"
#include "support/ProcessCounts.h"

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

namespace {

// A process that stays alive (suspended) until it is ended.
struct Child {
    PROCESS_INFORMATION info{};
    Child() {
        wchar_t command[] = L"C:\\windows\\system32\\cmd.exe /c exit";
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        EXPECT_TRUE(CreateProcessW(nullptr, command, nullptr, nullptr, FALSE, CREATE_SUSPENDED,
                                   nullptr, nullptr, &startup, &info));
    }
    ~Child() {
        end();
        CloseHandle(info.hThread);
        CloseHandle(info.hProcess);
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    void end() {
        TerminateProcess(info.hProcess, 0);
        WaitForSingleObject(info.hProcess, 5000);
    }
};

} // namespace

TEST(ClientPrograms, KeepsLiveClientsDropsEndedOnesAndStaysBounded) {
    const std::string cmd = "C:\\windows\\system32\\cmd.exe";
    const std::uintptr_t handlesBefore = handleWatermark();
    {
        ClientPrograms programs(2);
        const DWORD self = GetCurrentProcessId();
        EXPECT_EQ(ownProgram(), programs.pathOf(self));
        EXPECT_EQ(ownProgram(), programs.pathOf(self));
        EXPECT_EQ(1u, programs.kept());

        Child first;
        EXPECT_EQ(cmd, programs.pathOf(first.info.dwProcessId));
        EXPECT_EQ(2u, programs.kept());
        // Full, with one client ended: only that one goes.
        first.end();
        Child second;
        EXPECT_EQ(cmd, programs.pathOf(second.info.dwProcessId));
        EXPECT_EQ(2u, programs.kept());
        EXPECT_EQ(ownProgram(), programs.pathOf(self));
        EXPECT_EQ(2u, programs.kept());
        // Full with every client alive: it starts afresh, and still names everyone right.
        Child third;
        EXPECT_EQ(cmd, programs.pathOf(third.info.dwProcessId));
        EXPECT_EQ(1u, programs.kept());
        EXPECT_EQ(ownProgram(), programs.pathOf(self));
        EXPECT_EQ(cmd, programs.pathOf(second.info.dwProcessId)); // afresh once more
        EXPECT_EQ(1u, programs.kept());

        // No such process: named unknown, nothing kept.
        EXPECT_EQ(0u, programs.pathOf(0xFFFFFFF0).rfind("unknown (", 0));
        EXPECT_EQ(1u, programs.kept());
    }
    EXPECT_EQ(handlesBefore, handleWatermark()) << "a client's process handle outlived the cache";
}

// The client's line stays within the log's bound whatever path and account name the client
// has: the path keeps its end (the program's name), the account its start.
TEST(ClientLine, CutsTheProgramFromItsStartAndTheAccountFromItsEnd) {
    const std::string deep = "C:\\Users\\Public\\" + std::string(600, 'd') + "\\client.exe";
    std::string umlauts = "C:\\";
    std::string last65;
    for (int i = 0; i < 100; ++i) {
        umlauts += "\xc3\xbc";
        last65 += i < 65 ? "\xc3\xbc" : "";
    }
    umlauts += "\\gui2.exe";
    const std::string longName = "MACHINE\\" + std::string(100, 'a');
    const struct {
        std::string program;
        std::string account;
        std::string line;
    } cases[] = {
        {"C:\\Program Files\\Gui\\gui.exe", "MACHINE\\alice",
         "PipeServer - Client: process 4242, program C:\\Program Files\\Gui\\gui.exe, account "
         "MACHINE\\alice"},
        {deep, "MACHINE\\alice",
         "PipeServer - Client: process 4242, program ..." + deep.substr(deep.size() - 140) +
             ", account MACHINE\\alice"},
        // 140 bytes from the end would split a u-umlaut: it is left out whole.
        {umlauts, longName,
         "PipeServer - Client: process 4242, program ..." + last65 + "\\gui2.exe, account " +
             longName.substr(0, 64) + "..."},
    };
    for (const auto& c : cases) {
        const std::string line = clientLine(4242, c.program, c.account);
        EXPECT_EQ(c.line, line);
        EXPECT_LE(22 + 7 + line.size(), 300u); // "[stamp] [INFO] " and the message
    }
}
