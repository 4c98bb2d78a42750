// What "Orvanet.exe configure" hands the service manager and what it says of each answer: the
// calls go to a recorder here, since Wine's service manager keeps only some of them.
#include "log/Logger.h"
#include "service/ServiceConfiguration.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

namespace {

struct Recorded {
    DWORD level;
    std::vector<std::wstring> values; // each field of the structure passed, as text
};

std::vector<Recorded> g_recorded;
std::map<DWORD, DWORD> g_errors; // level: the error its call fails with

std::wstring multiString(const wchar_t* list) {
    std::wstring all;
    for (const wchar_t* at = list; *at != L'\0'; at += wcslen(at) + 1) {
        all += at;
        all += L'|';
    }
    return all;
}

BOOL WINAPI recordChange(SC_HANDLE, DWORD level, LPVOID info) {
    Recorded recorded{level, {}};
    if (level == SERVICE_CONFIG_FAILURE_ACTIONS) {
        const auto* actions = static_cast<const SERVICE_FAILURE_ACTIONSW*>(info);
        recorded.values = {std::to_wstring(actions->dwResetPeriod),
                           actions->lpRebootMsg == nullptr ? L"(none)" : actions->lpRebootMsg,
                           actions->lpCommand == nullptr ? L"(none)" : actions->lpCommand};
        for (DWORD i = 0; i < actions->cActions; ++i) {
            recorded.values.push_back(std::to_wstring(actions->lpsaActions[i].Type) + L"/" +
                                      std::to_wstring(actions->lpsaActions[i].Delay));
        }
    } else if (level == SERVICE_CONFIG_FAILURE_ACTIONS_FLAG) {
        recorded.values = {std::to_wstring(static_cast<const SERVICE_FAILURE_ACTIONS_FLAG*>(info)
                                               ->fFailureActionsOnNonCrashFailures)};
    } else if (level == SERVICE_CONFIG_REQUIRED_PRIVILEGES_INFO) {
        recorded.values = {multiString(
            static_cast<const SERVICE_REQUIRED_PRIVILEGES_INFOW*>(info)->pmszRequiredPrivileges)};
    }
    g_recorded.push_back(recorded);
    const auto error = g_errors.find(level);
    if (error == g_errors.end()) {
        return TRUE;
    }
    SetLastError(error->second);
    return FALSE;
}

TEST(ServiceConfigurationTest, EachSettingIsPassedAsThePlatformReadsItAndEachAnswerReported) {
    // Restart (1) after 3 s, 30 s, 10 minutes; reset after a day; no reboot message or
    // command. The flag on. The privileges the process keeps, as a multi-string.
    const std::vector<Recorded> passed = {
        {SERVICE_CONFIG_FAILURE_ACTIONS,
         {L"86400", L"(none)", L"(none)", L"1/3000", L"1/30000", L"1/600000"}},
        {SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, {L"1"}},
        {SERVICE_CONFIG_REQUIRED_PRIVILEGES_INFO,
         {L"SeChangeNotifyPrivilege|SeLoadDriverPrivilege|"}},
    };
    const std::string actions =
        "failure actions (restart after 3 s, 30 s, 10 min; reset after 1 day): ";
    const std::string flag = "failure actions on a stop with an error: ";
    const std::string privileges =
        "required privileges (SeChangeNotifyPrivilege, SeLoadDriverPrivilege): ";
    const std::string unknown = "not set, this service manager does not know the setting "
                                "(error 124)\n";
    const std::string denied = "not set, error 5 - " + formatWindowsError(5) + "\n";
    const struct {
        const char* what;
        std::map<DWORD, DWORD> errors;
        std::string text;
        DWORD exitCode;
    } cases[] = {
        {"all set", {}, actions + "set\n" + flag + "set\n" + privileges + "set\n", 0},
        // Wine's service manager: the failure actions only.
        {"unknown levels are reported, not fatal",
         {{SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, ERROR_INVALID_LEVEL},
          {SERVICE_CONFIG_REQUIRED_PRIVILEGES_INFO, ERROR_INVALID_LEVEL}},
         actions + "set\n" + flag + unknown + privileges + unknown,
         0},
        // A failure does not keep the others from being tried; the first one is the exit code.
        {"a refusal fails the step",
         {{SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, ERROR_ACCESS_DENIED},
          {SERVICE_CONFIG_REQUIRED_PRIVILEGES_INFO, ERROR_INVALID_PARAMETER}},
         actions + "set\n" + flag + denied + privileges + "not set, error 87 - " +
             formatWindowsError(87) + "\n",
         ERROR_ACCESS_DENIED},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        g_recorded.clear();
        g_errors = c.errors;
        const ConfigurationReport report = applyServiceConfiguration(nullptr, &recordChange);
        ASSERT_EQ(passed.size(), g_recorded.size());
        for (std::size_t i = 0; i < passed.size(); ++i) {
            EXPECT_EQ(passed[i].level, g_recorded[i].level) << i;
            EXPECT_EQ(passed[i].values, g_recorded[i].values) << i;
        }
        EXPECT_EQ(c.text, report.text);
        EXPECT_EQ(c.exitCode, report.exitCode);
    }
}

} // namespace
