#include "vpn/Tun2proxy.h"
#include "vpn/TunnelParameters.h"
#include "vpn/VpnService.h"

#include "log/Logger.h"

#include <exception>
#include <string>

namespace {

// For the paths that must go on whatever the log does: the worker has to clear the running
// flag, and an exception must never unwind into the engine through its callback.
template <typename... Args>
void logQuietly(LogLevel level, orvanet::FormatString<Args...> fmt, Args&&... args) noexcept {
    try {
        Logger::instance().log(level, fmt, std::forward<Args>(args)...);
    } catch (...) {
    }
}

// Engine level numbers as the engine passes them, and the service log level of each.
LogLevel serviceLevel(std::int32_t engineLevel) {
    switch (engineLevel) {
    case 1:
        return LogLevel::Error;
    case 2:
        return LogLevel::Warn;
    case 3:
        return LogLevel::Info;
    case 4:
    case 5:
        return LogLevel::Debug;
    default:
        return LogLevel::Info;
    }
}

// What the run's code means, as the supported releases return it.
const char* runCodeMeaning(std::int32_t code) {
    switch (code) {
    case 0:
        return "a clean end";
    case -1:
        return "a run was already active in the engine; this one never began";
    case -2:
    case -3:
        return "an internal failure of the engine";
    case -4:
        return "the run failed (no default gateway, an adapter, route or DNS setting that could "
               "not be made, or a proxy that could not be used): the engine's lines above say "
               "which";
    default:
        return "a code the supported engine releases do not return";
    }
}

void runEngine() {
    logInfo("tun2proxyThreadFunc - Thread started");
    const std::string proxyUrl = orvanet::format("socks5://127.0.0.1:{}", tunnel::proxyPort);
    const std::string tunName(tunnel::interfaceName);
    logInfo("tun2proxyThreadFunc - Starting tun2proxy with proxy_url={}, tun={}", proxyUrl,
            tunName);

    logInfo("tun2proxyThreadFunc - About to call tun2proxy_with_name_run...");
    const std::int32_t code =
        tun2proxy_with_name_run(proxyUrl.c_str(), tunName.c_str(), tunnel::bypassNetwork,
                                tunnel::dnsStrategy, tunnel::rootPrivilege, tunnel::verbosity);
    logInfo("tun2proxyThreadFunc - tun2proxy_with_name_run returned: {}", code);
    if (code != 0) {
        logError("tun2proxyThreadFunc - Error: tun2proxy returned non-zero code: {}", code);
    }
    logInfo("tun2proxyThreadFunc - Code {}: {}", code, runCodeMeaning(code));
}

} // namespace

void tun2proxyThreadFunc(std::shared_ptr<WorkerState> state) {
    // The whole body is guarded, not only the engine call: an exception from the formatting
    // or the log before the call would otherwise end the process with the flag still set.
    try {
        runEngine();
    } catch (const std::exception& e) {
        logQuietly(LogLevel::Error, "tun2proxyThreadFunc - Exception: {}", e.what());
    } catch (...) {
        logQuietly(LogLevel::Error, "tun2proxyThreadFunc - Unknown exception");
    }
    state->running.store(false);
    logQuietly(LogLevel::Info, "tun2proxyThreadFunc - Thread exiting");
}

void tun2proxyLogCallback(std::int32_t level, const char* message, void* /*context*/) {
    logQuietly(serviceLevel(level), "tun2proxy: {}", message != nullptr ? message : "(null)");
}
