#include "DnsTestSupport.h"

#include "dns/DnsManager.h"

#include <chrono>
#include <string>
#include <vector>

using namespace std::chrono;

namespace {

class InterfaceWaitTest : public DnsTest {};

std::int64_t millisecondsSince(steady_clock::time_point start) {
    return duration_cast<milliseconds>(steady_clock::now() - start).count();
}

// The number in "... after 1012ms ..." / "(waited 4031ms)" that follows `marker`.
std::int64_t numberAfter(const std::string& text, const std::string& marker) {
    const auto at = text.find(marker);
    if (at == std::string::npos) {
        return -1;
    }
    return std::stoll(text.substr(at + marker.size()));
}

TEST_F(InterfaceWaitTest, Utf8ToWideConvertsAndLeavesNoTerminator) {
    EXPECT_EQ(utf8ToWide(""), L"");
    EXPECT_EQ(utf8ToWide("orvantun"), L"orvantun");
    EXPECT_EQ(utf8ToWide("Ethernet \xC3\xA9t\xC3\xA9 \xE2\x82\xAC"),
              L"Ethernet \u00e9t\u00e9 \u20ac");
    EXPECT_EQ(utf8ToWide("orvantun").size(), 8u);
}

TEST_F(InterfaceWaitTest, FoundAtOnceLogsNothing) {
    iphlpdouble::interfaceAppears(L"orvantun", 42);
    DnsManager manager;
    const IndexResult result = manager.waitForInterfaceIndex("orvantun");
    EXPECT_TRUE(result.success);
    EXPECT_EQ(result.ifIndex, 42u);
    EXPECT_EQ(result.error, "");
    EXPECT_EQ(iphlpdouble::aliasesAsked(), std::vector<std::wstring>{L"orvantun"});
    EXPECT_TRUE(logLines().empty());
}

TEST_F(InterfaceWaitTest, AppearingAfterOneSecondIsAnnouncedOnceThenResolved) {
    iphlpdouble::interfaceAppears(L"orvantun", 31, milliseconds(1000));
    DnsManager manager;
    const auto start = steady_clock::now();
    const IndexResult result = manager.waitForInterfaceIndex("orvantun");
    const std::int64_t took = millisecondsSince(start);

    ASSERT_TRUE(result.success) << result.error;
    EXPECT_EQ(result.ifIndex, 31u);
    EXPECT_GE(took, 1000);
    EXPECT_LT(took, 2000);

    const std::vector<LogLine> lines = logLines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], (LogLine{"INFO", "DnsManager::applyIsolation - Waiting for tunnel "
                                         "interface 'orvantun' to appear..."}));
    EXPECT_EQ(lines[1].level, "INFO");
    const std::int64_t reported = numberAfter(lines[1].message, "resolved after ");
    EXPECT_GE(reported, 950);
    EXPECT_LE(reported, 1500);
    EXPECT_EQ(lines[1].message, "DnsManager::applyIsolation - Tunnel interface 'orvantun' "
                                "resolved after " +
                                    std::to_string(reported) + "ms (ifIndex=31)");
}

TEST_F(InterfaceWaitTest, NeverAppearingTimesOutAfterFourSeconds) {
    DnsManager manager;
    const auto start = steady_clock::now();
    const IndexResult result = manager.waitForInterfaceIndex("orvantun");
    const std::int64_t took = millisecondsSince(start);

    EXPECT_FALSE(result.success);
    EXPECT_EQ(result.ifIndex, 0u);
    EXPECT_GE(took, 4000);
    EXPECT_LT(took, 5500);
    const std::int64_t waited = numberAfter(result.error, "(waited ");
    EXPECT_GE(waited, 4000);
    EXPECT_EQ(result.error, "Failed to resolve tunnel interface 'orvantun': "
                            "ConvertInterfaceAliasToLuid failed: 2 (waited " +
                                std::to_string(waited) + "ms)");
    // Polled about every 50 ms, not spinning and not giving up early.
    const std::size_t attempts = iphlpdouble::aliasesAsked().size();
    EXPECT_GE(attempts, 40u);
    EXPECT_LE(attempts, 90u);

    EXPECT_EQ(logLines(), (std::vector<LogLine>{
                              {"INFO", "DnsManager::applyIsolation - Waiting for tunnel interface "
                                       "'orvantun' to appear..."},
                              {"ERROR", "DnsManager::applyIsolation - Timed out waiting for tunnel "
                                        "interface 'orvantun' (" +
                                            std::to_string(waited) +
                                            "ms): ConvertInterfaceAliasToLuid failed: 2"}}));
}

TEST_F(InterfaceWaitTest, IndexLookupStatusReachesTheFailureText) {
    iphlpdouble::interfaceAppears(L"orvantun", 5);
    iphlpdouble::indexLookupAnswers(1168);
    DnsManager manager;
    const IndexResult single = manager.resolveInterfaceIndex("orvantun");
    EXPECT_FALSE(single.success);
    EXPECT_EQ(single.ifIndex, 0u);
    EXPECT_EQ(single.error, "ConvertInterfaceLuidToIndex failed: 1168");
    EXPECT_TRUE(logLines().empty());
}

TEST_F(InterfaceWaitTest, AliasLookupStatusReachesTheFailureText) {
    iphlpdouble::interfaceAppears(L"orvantun", 5);
    iphlpdouble::aliasLookupAnswers(87);
    DnsManager manager;
    const IndexResult single = manager.resolveInterfaceIndex("orvantun");
    EXPECT_FALSE(single.success);
    EXPECT_EQ(single.error, "ConvertInterfaceAliasToLuid failed: 87");
    EXPECT_EQ(iphlpdouble::indexLookups(), 0);
}

TEST_F(InterfaceWaitTest, EmptyAliasWaitsTheFullTimeAndReportsTheConversion) {
    iphlpdouble::interfaceAppears(L"", 5);
    DnsManager manager;
    const auto start = steady_clock::now();
    const IndexResult result = manager.waitForInterfaceIndex("");
    EXPECT_GE(millisecondsSince(start), 4000);
    EXPECT_FALSE(result.success);
    const std::int64_t waited = numberAfter(result.error, "(waited ");
    EXPECT_GE(waited, 4000);
    EXPECT_EQ(result.error, "Failed to resolve tunnel interface '': Failed to convert "
                            "interface alias to wide string (waited " +
                                std::to_string(waited) + "ms)");
    EXPECT_TRUE(iphlpdouble::aliasesAsked().empty());
    const std::vector<LogLine> lines = logLines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[1].level, "ERROR");
}

TEST_F(InterfaceWaitTest, NonAsciiAliasIsConvertedFromUtf8) {
    iphlpdouble::interfaceAppears(L"T\u00fcnnel-\u00e9", 77);
    DnsManager manager;
    const IndexResult result = manager.waitForInterfaceIndex("T\xC3\xBCnnel-\xC3\xA9");
    ASSERT_TRUE(result.success) << result.error;
    EXPECT_EQ(result.ifIndex, 77u);
    EXPECT_EQ(iphlpdouble::aliasesAsked(), std::vector<std::wstring>{L"T\u00fcnnel-\u00e9"});
}

TEST_F(InterfaceWaitTest, AliasWithNullInsideIsRefusedNotTruncated) {
    iphlpdouble::interfaceAppears(L"orvantun", 9);
    DnsManager manager;
    const IndexResult result = manager.resolveInterfaceIndex(std::string_view("orvantun\0x", 10));
    EXPECT_FALSE(result.success);
    EXPECT_EQ(result.error, "Interface alias contains a null character");
    EXPECT_TRUE(iphlpdouble::aliasesAsked().empty());
}

TEST_F(InterfaceWaitTest, EachWaitStartsItsOwnClockAndAnnouncement) {
    DnsManager manager;
    manager.waitForInterfaceIndex("missing");
    capture.clear();
    iphlpdouble::interfaceAppears(L"orvantun", 3, milliseconds(300));
    const IndexResult result = manager.waitForInterfaceIndex("orvantun");
    ASSERT_TRUE(result.success);
    const std::vector<LogLine> lines = logLines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].message.find("Waiting for tunnel interface 'orvantun'"), std::string::npos);
    const std::int64_t reported = numberAfter(lines[1].message, "resolved after ");
    EXPECT_GE(reported, 250);
    EXPECT_LT(reported, 1000);
}

} // namespace
