#include "service/ServiceConfiguration.h"

#include "log/Logger.h"
#include "platform/Owners.h"
#include "service/Privileges.h"
#include "service/ServiceHost.h"

#include <array>
#include <cstdio>
#include <string_view>

namespace {

// Restarted 3 s after a first failure and 30 s after a second: a crashed service leaves DNS
// open (its filters end with its process). Ten minutes after each later one, so that a
// service failing at every start does not loop; the count starts again after a day.
constexpr std::array<SC_ACTION, 3> kRestarts = {{
    {SC_ACTION_RESTART, 3000},
    {SC_ACTION_RESTART, 30000},
    {SC_ACTION_RESTART, 600000},
}};
constexpr DWORD kResetPeriodSeconds = 86400;

// The privileges the process keeps for itself, as the multi-string the service manager reads.
std::wstring requiredPrivileges() {
    std::wstring list;
    for (const wchar_t* privilege : kKeptPrivileges) {
        list += privilege;
        list += L'\0';
    }
    list += L'\0';
    return list;
}

void apply(ConfigurationReport& report, std::string_view what, SC_HANDLE service,
           ChangeServiceConfig2Function change, DWORD level, void* info) {
    if (change(service, level, info)) {
        report.text += orvanet::format("{}: set\n", what);
        return;
    }
    const DWORD error = GetLastError();
    if (error == ERROR_INVALID_LEVEL) {
        report.text += orvanet::format(
            "{}: not set, this service manager does not know the setting (error {})\n", what,
            error);
        return;
    }
    report.text +=
        orvanet::format("{}: not set, error {} - {}\n", what, error, formatWindowsError(error));
    if (report.exitCode == 0) {
        report.exitCode = error;
    }
}

} // namespace

ConfigurationReport applyServiceConfiguration(SC_HANDLE service,
                                              ChangeServiceConfig2Function change) {
    ConfigurationReport report;

    std::array<SC_ACTION, kRestarts.size()> actions = kRestarts;
    SERVICE_FAILURE_ACTIONSW failureActions{};
    failureActions.dwResetPeriod = kResetPeriodSeconds;
    failureActions.cActions = static_cast<DWORD>(actions.size());
    failureActions.lpsaActions = actions.data();
    apply(report, "failure actions (restart after 3 s, 30 s, 10 min; reset after 1 day)", service,
          change, SERVICE_CONFIG_FAILURE_ACTIONS, &failureActions);

    // A stop that ends with an error is a failure too; the service ends a stop that was asked
    // for with 0 whatever happened, so only a stop of its own (a failed start-up) counts.
    SERVICE_FAILURE_ACTIONS_FLAG flag{};
    flag.fFailureActionsOnNonCrashFailures = TRUE;
    apply(report, "failure actions on a stop with an error", service, change,
          SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &flag);

    std::wstring privileges = requiredPrivileges();
    SERVICE_REQUIRED_PRIVILEGES_INFOW required{};
    required.pmszRequiredPrivileges = privileges.data();
    apply(report, "required privileges (SeChangeNotifyPrivilege, SeLoadDriverPrivilege)", service,
          change, SERVICE_CONFIG_REQUIRED_PRIVILEGES_INFO, &required);
    return report;
}

int configureService() {
    const ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    DWORD error = manager ? 0 : GetLastError();
    // SERVICE_START as well: the service manager asks for it to accept a restart action.
    const ServiceHandle service(
        manager ? OpenServiceW(manager.get(), L"Orvanet", SERVICE_CHANGE_CONFIG | SERVICE_START)
                : nullptr);
    if (manager && !service) {
        error = GetLastError();
    }
    if (!service) {
        std::printf("%s", orvanet::format("The service {} could not be opened: error {} - {}\n",
                                          kServiceName, error, formatWindowsError(error))
                              .c_str());
        return static_cast<int>(error);
    }
    const ConfigurationReport report =
        applyServiceConfiguration(service.get(), &ChangeServiceConfig2W);
    std::printf("%s", report.text.c_str());
    return static_cast<int>(report.exitCode);
}
