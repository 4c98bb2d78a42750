// The mitigation policies the service asks for at start, and what a refusal logs: the calls
// go to a recorder here, since Wine answers every policy with success and enforces none.
#include "service/Mitigations.h"
#include "support/DebugCapture.h"

#include <gtest/gtest.h>

#include <set>
#include <vector>

namespace {

struct Asked {
    PROCESS_MITIGATION_POLICY policy;
    DWORD flags;
    SIZE_T length;
    bool operator==(const Asked&) const = default;
};

std::vector<Asked> g_asked;
std::set<PROCESS_MITIGATION_POLICY> g_refused;
constexpr DWORD kRefusal = ERROR_NOT_SUPPORTED;

BOOL WINAPI recordPolicy(PROCESS_MITIGATION_POLICY policy, PVOID buffer, SIZE_T length) {
    g_asked.push_back({policy, *static_cast<const DWORD*>(buffer), length});
    if (g_refused.count(policy) != 0) {
        SetLastError(kRefusal);
        return FALSE;
    }
    return TRUE;
}

TEST(MitigationsTest, EachPolicyIsAskedForOnceAndEachRefusalIsOneWarning) {
    // The flags as the platform publishes them: no remote images (bit 0) and no low
    // mandatory label images (bit 1), not System32 first (bit 2); extension points off.
    const std::vector<Asked> asked = {{ProcessImageLoadPolicy, 0x3, 4},
                                      {ProcessExtensionPointDisablePolicy, 0x1, 4}};
    const LogLine imageLoads{"WARN", "SetProcessMitigationPolicy(ProcessImageLoadPolicy) failed "
                                     "with error: 50; images from remote shares or of low "
                                     "integrity stay allowed"};
    const LogLine extensionPoints{"WARN", "SetProcessMitigationPolicy("
                                          "ProcessExtensionPointDisablePolicy) failed with error: "
                                          "50; AppInit DLLs, legacy hooks and Winsock layered "
                                          "providers stay allowed"};
    const struct {
        const char* what;
        std::set<PROCESS_MITIGATION_POLICY> refused;
        std::vector<LogLine> lines;
    } cases[] = {
        {"all set", {}, {}},
        {"image loads refused", {ProcessImageLoadPolicy}, {imageLoads}},
        {"extension points refused", {ProcessExtensionPointDisablePolicy}, {extensionPoints}},
        {"both refused",
         {ProcessImageLoadPolicy, ProcessExtensionPointDisablePolicy},
         {imageLoads, extensionPoints}},
    };
    for (const auto& c : cases) {
        g_asked.clear();
        g_refused = c.refused;
        DebugCapture capture;
        setMitigationPolicies(&recordPolicy);
        EXPECT_EQ(asked, g_asked) << c.what;
        EXPECT_EQ(c.lines, capturedLines(capture)) << c.what;
    }
}

} // namespace
