#include "service/ServiceHost.h"

#include "log/EventLog.h"
#include "log/Logger.h"
#include "platform/ModuleFolder.h"
#include "platform/ModuleVersion.h"
#include "platform/Owners.h"
#include "platform/Utf8.h"
#include "service/Components.h"
#include "service/CrashReport.h"
#include "service/Mitigations.h"
#include "service/Privileges.h"

#include <winsock2.h>

#include <exception>
#include <mutex>
#include <string>
#include <string_view>

SERVICE_STATUS_HANDLE g_statusHandle = nullptr;
SERVICE_STATUS g_serviceStatus = {};
std::atomic<bool> g_running{false};
DllSearchPin g_dllSearchPin;

namespace {

constexpr DWORD kStartWaitHintMs = 10000;
constexpr DWORD kStopWaitHintMs = 5000;

// The control handler and the service main thread both change g_serviceStatus: each
// change and its SetServiceStatus call happen under this lock, so the Service Control
// Manager never sees a record that mixes two reports.
std::mutex g_statusMutex;

// The STOP handler sets this so that the service main thread, waiting on it, begins the
// shut-down at once rather than at its next look at g_running. Guarded by g_statusMutex:
// the handler may run before it exists or after it is gone, and then only clears the flag.
UniqueHandle g_stopEvent;
// A STOP can arrive while the start-up is still under way (STOP is accepted from the first
// START_PENDING report); the start-up must not then report RUNNING over it. Guarded by
// g_statusMutex.
bool g_stopRequested = false;

void sendStatus() {
    SetServiceStatus(g_statusHandle, &g_serviceStatus);
}

// RegisterEventSourceW's error, said once the log is open.
DWORD g_eventLogError = 0;

// The service stops by itself: the Application log says why, since the service's own log
// may be what failed.
void stopAfterFailedStart(std::string_view reason) {
    EventLog::instance().report(ServiceEvent::NotStarted, {reason});
    reportServiceStatus(SERVICE_STOPPED, ERROR_SERVICE_SPECIFIC_ERROR);
}

void failStartup(std::string_view reason) {
    cleanupWinsock();
    stopAfterFailedStart(reason);
}

// Said once the log is open: main pins the search before anything else runs.
void reportDllSearchPin() {
    if (g_dllSearchPin.dllDirectoryError != 0) {
        Logger::instance().log(LogLevel::Warn,
                               "SetDllDirectoryW failed with error: {}; libraries may be searched "
                               "for in the current folder",
                               g_dllSearchPin.dllDirectoryError);
    }
    if (g_dllSearchPin.defaultDirectoriesError != 0) {
        Logger::instance().log(LogLevel::Warn,
                               "SetDefaultDllDirectories failed with error: {}; libraries may be "
                               "loaded from the current folder and PATH",
                               g_dllSearchPin.defaultDirectoriesError);
    }
    if (g_eventLogError != 0) {
        Logger::instance().log(LogLevel::Warn,
                               "RegisterEventSourceW failed with error: {}; the service writes "
                               "nothing to the Application log",
                               g_eventLogError);
    }
}

// Which build runs, and which engine it loaded from where: the problem report's versions are
// of the files installed now, which need not be the ones this process runs. The engine is
// loaded by the first start, which names the file then.
void logVersions() {
    const auto versionOf = [](HMODULE module) {
        const std::string version = moduleVersion(module);
        return version.empty() ? std::string("(no version information)") : version;
    };
    const HMODULE engine = GetModuleHandleW(L"tun2proxy.dll");
    if (engine == nullptr) {
        logInfo("Versions: Orvanet.exe {}, tun2proxy.dll loaded at the first start",
                versionOf(nullptr));
        return;
    }
    logInfo("Versions: Orvanet.exe {}, tun2proxy.dll {} from {}", versionOf(nullptr),
            versionOf(engine),
            toUtf8(modulePath(engine).native(), InvalidText::Replace).value_or(""));
}

// Steps of the start-up that run inside its exception handler. False: the start failed
// and has been reported.
bool startService() {
    Logger::instance().initialize();
    // As early as the log's folder is known: from here on a fault leaves a dump and a line.
    installCrashReport(Logger::instance().filePath().parent_path());
    // The process id tells this copy's lines from another's in the same log.
    logInfo("=== Service starting === (process {})", GetCurrentProcessId());
    logVersions();
    // Before any client can reach the process: the pipe is made with the components.
    reportDllSearchPin();
    setMitigationPolicies();
    dropPrivileges();
    reportStartPending();

    WSADATA wsaData = {};
    const int result = WSAStartup(MAKEWORD(2, 2), &wsaData);
    if (result != 0) {
        logError("WSAStartup failed with error: {}", result);
        stopAfterFailedStart(orvanet::format("WSAStartup failed with error: {}", result));
        return false;
    }
    logInfo("Winsock initialized successfully");
    reportStartPending();

    createComponents();
    reportStartPending();

    if (!startComponents()) {
        failStartup("Failed to start pipe server");
        return false;
    }
    // After a STOP during the start-up nothing more is reported and g_running stays false,
    // so the caller's wait ends at once and the shut-down follows.
    reportRunning();
    return true;
}

// A shut-down that hangs (an engine that never returns, say) must not leave the service in
// STOP_PENDING for ever. Ending the process is safe for DNS: the filters belong to a
// dynamic WFP session, which the platform removes together with the process. The stop was
// asked for, so it ends with 0: an error here would count as a failure and make the service
// manager restart the service that an administrator, or an upgrade, is stopping. The log
// and the Application log say that the bound ended it.
[[noreturn]] void endUnfinishedShutdown(const ShutdownOutcome& outcome) {
    logError("Shutdown did not finish within {} seconds, still waiting for {}; ending the process",
             kShutdownBound.count(), outcome.stillRunning);
    EventLog::instance().report(ServiceEvent::ShutdownUnfinished,
                                {std::to_string(kShutdownBound.count()), outcome.stillRunning});
    Logger::instance().close();
    reportServiceStatus(SERVICE_STOPPED, NO_ERROR);
    TerminateProcess(GetCurrentProcess(), NO_ERROR);
    ExitProcess(NO_ERROR);
}

} // namespace

void reportServiceStatus(DWORD state, DWORD exitCode) {
    std::lock_guard lock(g_statusMutex);
    g_serviceStatus.dwCurrentState = state;
    g_serviceStatus.dwWin32ExitCode = exitCode;
    g_serviceStatus.dwCheckPoint = 0;
    g_serviceStatus.dwWaitHint = 0;
    sendStatus();
}

void reportFirstStartPending() {
    std::lock_guard lock(g_statusMutex);
    g_stopRequested = false;
    g_serviceStatus.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    g_serviceStatus.dwControlsAccepted = SERVICE_ACCEPT_STOP;
    g_serviceStatus.dwWin32ExitCode = NO_ERROR;
    g_serviceStatus.dwServiceSpecificExitCode = 0;
    g_serviceStatus.dwCurrentState = SERVICE_START_PENDING;
    g_serviceStatus.dwWaitHint = kStartWaitHintMs;
    g_serviceStatus.dwCheckPoint = 1;
    sendStatus();
}

void reportStartPending() {
    std::lock_guard lock(g_statusMutex);
    // A STOP during the start-up has been reported as STOP_PENDING: going back to
    // START_PENDING would tell the Service Control Manager that the stop was dropped.
    if (g_stopRequested) {
        ++g_serviceStatus.dwCheckPoint;
        sendStatus();
        return;
    }
    g_serviceStatus.dwCurrentState = SERVICE_START_PENDING;
    g_serviceStatus.dwWin32ExitCode = NO_ERROR;
    g_serviceStatus.dwWaitHint = kStartWaitHintMs;
    ++g_serviceStatus.dwCheckPoint;
    sendStatus();
}

void reportStopProgress() {
    std::lock_guard lock(g_statusMutex);
    if (g_serviceStatus.dwCurrentState != SERVICE_STOP_PENDING) {
        return;
    }
    ++g_serviceStatus.dwCheckPoint;
    sendStatus();
}

bool reportRunning() {
    // Made before RUNNING, when a STOP can first be expected. Without it the service still
    // runs and stops, only noticing the STOP at its next look at g_running.
    UniqueHandle stopEvent(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!stopEvent) {
        Logger::instance().log(LogLevel::Warn,
                               "CreateEventW for the stop event failed with error: {}; a STOP "
                               "is noticed within {} ms",
                               GetLastError(), kStopRecheck.count());
    }
    {
        std::lock_guard lock(g_statusMutex);
        if (g_stopRequested) {
            return false;
        }
        g_stopEvent = std::move(stopEvent);
        g_running = true;
        g_serviceStatus.dwCurrentState = SERVICE_RUNNING;
        g_serviceStatus.dwWin32ExitCode = NO_ERROR;
        g_serviceStatus.dwCheckPoint = 0;
        g_serviceStatus.dwWaitHint = 0;
        sendStatus();
    }
    logInfo("Service is now running");
    return true;
}

void waitForStop(std::chrono::milliseconds recheck) {
    HANDLE stopEvent = nullptr;
    {
        std::lock_guard lock(g_statusMutex);
        stopEvent = g_stopEvent.get();
    }
    const DWORD recheckMs = static_cast<DWORD>(recheck.count());
    // g_running is what says that a STOP came. The handler sets the event only after clearing
    // it, so while the event exists the wait needs no bound and an idle service never wakes;
    // the recheck serves only where the event could not be made or the wait fails.
    while (g_running) {
        if (stopEvent == nullptr || WaitForSingleObject(stopEvent, INFINITE) != WAIT_OBJECT_0 ||
            g_running) {
            Sleep(recheckMs);
        }
    }
    // Nobody waits on it any more; a later STOP finds none and only clears the flag.
    std::lock_guard lock(g_statusMutex);
    g_stopEvent.reset();
}

void shutDownService() {
    logInfo("Service shutting down...");
    const ShutdownOutcome outcome = shutdownComponentsWithin(kShutdownBound, reportStopProgress);
    if (!outcome.finished) {
        endUnfinishedShutdown(outcome);
    }
    cleanupWinsock();
    logInfo("=== Service stopped === (process {})", GetCurrentProcessId());
    Logger::instance().close();
    reportServiceStatus(SERVICE_STOPPED, NO_ERROR);
}

void cleanupWinsock() {
    WSACleanup();
    logInfo("Winsock cleaned up");
}

void WINAPI ServiceCtrlHandler(DWORD control) {
    switch (control) {
    case SERVICE_CONTROL_STOP: {
        logInfo("Service received STOP control");
        {
            std::lock_guard lock(g_statusMutex);
            ++g_serviceStatus.dwCheckPoint;
            g_serviceStatus.dwWin32ExitCode = NO_ERROR;
            g_serviceStatus.dwCurrentState = SERVICE_STOP_PENDING;
            g_serviceStatus.dwWaitHint = kStopWaitHintMs;
            sendStatus();
            // After the report, so that STOP_PENDING always precedes STOPPED; the event
            // after the flag, so that the woken thread finds it cleared.
            g_stopRequested = true;
            g_running = false;
            if (g_stopEvent) {
                SetEvent(g_stopEvent.get());
            }
        }
        break;
    }
    case SERVICE_CONTROL_INTERROGATE: {
        std::lock_guard lock(g_statusMutex);
        sendStatus();
        break;
    }
    default:
        break;
    }
}

void WINAPI ServiceMain(DWORD /*argc*/, LPSTR* /*argv*/) {
    g_statusHandle = RegisterServiceCtrlHandlerA(kServiceName, ServiceCtrlHandler);
    if (g_statusHandle == nullptr) {
        return;
    }
    reportFirstStartPending();
    // Before the log: a start-up that fails there is still reported.
    g_eventLogError = EventLog::instance().open();

    try {
        if (!startService()) {
            return;
        }
    } catch (const std::exception& e) {
        OutputDebugStringA(
            (std::string("[Orvanet] Exception during startup: ") + e.what() + "\n").c_str());
        failStartup(std::string("Exception during startup: ") + e.what());
        return;
    } catch (...) {
        OutputDebugStringA("[Orvanet] Unknown exception during startup\n");
        failStartup("Unknown exception during startup");
        return;
    }

    waitForStop(kStopRecheck);
    shutDownService();
}
