#include "dns/DnsManager.h"

#include "log/Logger.h"
#include "platform/InterfaceIndex.h"

#include <chrono>
#include <cstdint>
#include <thread>

namespace {

constexpr auto pollInterval = std::chrono::milliseconds(50);
constexpr auto waitTimeout = std::chrono::nanoseconds(4'000'000'000LL);

std::wstring convert(UINT codePage, std::string_view text) {
    const int count = static_cast<int>(text.size());
    const int length = MultiByteToWideChar(codePage, 0, text.data(), count, nullptr, 0);
    if (length <= 0) {
        return {};
    }
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    MultiByteToWideChar(codePage, 0, text.data(), count, wide.data(), length);
    return wide;
}

IndexResult failure(std::string text) {
    return {0, std::move(text), false};
}

} // namespace

std::wstring utf8ToWide(std::string_view text) {
    if (text.empty()) {
        return {};
    }
    std::wstring wide = convert(CP_UTF8, text);
    if (!wide.empty()) {
        return wide;
    }
    return convert(CP_ACP, text);
}

IndexResult DnsManager::resolveInterfaceIndex(std::string_view interfaceAlias) {
    const std::wstring alias = utf8ToWide(interfaceAlias);
    if (alias.empty()) {
        return failure("Failed to convert interface alias to wide string");
    }
    // The platform reads the alias up to its first null character: an alias with one
    // inside would silently name a different, shorter interface.
    if (alias.find(L'\0') != std::wstring::npos) {
        return failure("Interface alias contains a null character");
    }

    const AliasIndex found = indexOfAlias(alias.c_str());
    if (found.failedCall != nullptr) {
        return failure(orvanet::format("{} failed: {}", found.failedCall,
                                       static_cast<std::uint32_t>(found.status)));
    }
    return {found.index, std::string(), true};
}

IndexResult DnsManager::waitForInterfaceIndex(std::string_view interfaceAlias,
                                              const KeepWaiting& keepWaiting) {
    IndexResult result = resolveInterfaceIndex(interfaceAlias);
    if (result.success) {
        return result;
    }

    // The tunnel engine creates the interface on its own thread some time after launch.
    const auto start = std::chrono::steady_clock::now();
    bool announced = false;
    bool abandoned = false;
    while (std::chrono::steady_clock::now() - start < waitTimeout) {
        if (keepWaiting && !keepWaiting()) {
            abandoned = true;
            break;
        }
        if (!announced) {
            Logger::instance().log(
                LogLevel::Info,
                "DnsManager::applyIsolation - Waiting for tunnel interface '{}' to appear...",
                interfaceAlias);
            announced = true;
        }
        std::this_thread::sleep_for(pollInterval);
        result = resolveInterfaceIndex(interfaceAlias);
        if (result.success) {
            break;
        }
    }

    const auto elapsed = std::chrono::steady_clock::now() - start;
    const std::int64_t waitedMs =
        std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count() / 1'000'000;

    if (abandoned) {
        Logger::instance().log(
            LogLevel::Info,
            "DnsManager::applyIsolation - Stopped waiting for tunnel interface '{}' after {}ms: "
            "it is no longer wanted",
            interfaceAlias, waitedMs);
        return failure(orvanet::format("Stopped waiting for tunnel interface '{}' (waited {}ms)",
                                       interfaceAlias, waitedMs));
    }
    if (!result.success) {
        Logger::instance().log(
            LogLevel::Error,
            "DnsManager::applyIsolation - Timed out waiting for tunnel interface '{}' ({}ms): {}",
            interfaceAlias, waitedMs, result.error);
        return failure(orvanet::format("Failed to resolve tunnel interface '{}': {} (waited {}ms)",
                                       interfaceAlias, result.error, waitedMs));
    }
    Logger::instance().log(
        LogLevel::Info,
        "DnsManager::applyIsolation - Tunnel interface '{}' resolved after {}ms (ifIndex={})",
        interfaceAlias, waitedMs, result.ifIndex);
    return result;
}
