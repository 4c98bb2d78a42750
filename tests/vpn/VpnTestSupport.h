#pragma once

#include "EngineDouble.h"
#include "IphlpapiDouble.h"
#include "WfpDouble.h"
#include "support/DebugCapture.h"
#include "support/EventRecorder.h"

#include "dns/DnsManager.h"
#include "vpn/VpnService.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <string>
#include <thread>
#include <vector>

// A VpnService over the real DnsManager, with the engine, WFP and IP Helper replaced at
// link time. The tunnel interface exists from the start unless a test says otherwise.
class VpnTest : public ::testing::Test {
protected:
    static constexpr NET_IFINDEX tunIndex = 9;

    void SetUp() override {
        wfpdouble::reset();
        iphlpdouble::reset();
        enginedouble::reset();
        iphlpdouble::interfaceAppears(L"orvantun", tunIndex);
        recordEvents();
    }
    void TearDown() override {
        // An engine that a test left blocked must not outlive it.
        enginedouble::releaseAll();
    }

    std::vector<LogLine> logLines() const { return capturedLines(capture); }

    // Until the worker has cleared the running flag, which it does after the engine returned.
    static bool waitUntilEnded(const VpnService& vpn) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (vpn.isRunning()) {
            if (std::chrono::steady_clock::now() > deadline) {
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return true;
    }

    // The messages whose text starts with one of the prefixes, in order.
    std::vector<std::string> messages(std::initializer_list<const char*> prefixes) const {
        std::vector<std::string> picked;
        for (const LogLine& line : logLines()) {
            for (const char* prefix : prefixes) {
                if (line.message.rfind(prefix, 0) == 0) {
                    picked.push_back(line.message);
                    break;
                }
            }
        }
        return picked;
    }

    // The lines that the calling thread writes, as opposed to the worker and the engine.
    std::vector<std::string> serviceMessages() const { return messages({"VpnService"}); }
    std::vector<std::string> workerMessages() const { return messages({"tun2proxyThreadFunc"}); }

    // Position of the first line with exactly this message, or -1.
    long indexOf(const std::string& message) const {
        const std::vector<LogLine> lines = logLines();
        const auto found = std::find_if(lines.begin(), lines.end(),
                                        [&](const LogLine& l) { return l.message == message; });
        return found == lines.end() ? -1 : static_cast<long>(found - lines.begin());
    }

    int countOf(const std::string& message) const {
        const std::vector<LogLine> lines = logLines();
        return static_cast<int>(std::count_if(
            lines.begin(), lines.end(), [&](const LogLine& l) { return l.message == message; }));
    }

    std::string levelOfMessage(const std::string& message) const {
        for (const LogLine& line : logLines()) {
            if (line.message == message) {
                return line.level;
            }
        }
        return "(absent)";
    }

    // The one event of a failed start with this answer.
    static std::vector<std::string> startFailedEvent(const std::string& answer) {
        return {expectedEventLine(ServiceEvent::StartFailed, {answer})};
    }

    // The capture outlives the objects, so their last lines are seen too.
    DebugCapture capture;
    DnsManager dns;
};

// What the log says each code of the run means.
inline std::string runCodeMeaning(int code) {
    const std::map<int, std::string> meanings = {
        {0, "a clean end"},
        {-1, "a run was already active in the engine; this one never began"},
        {-2, "an internal failure of the engine"},
        {-3, "an internal failure of the engine"},
        {-4, "the run failed (no default gateway, an adapter, route or DNS setting that could not "
             "be made, or a proxy that could not be used): the engine's lines above say which"}};
    const auto found = meanings.find(code);
    return found != meanings.end() ? found->second
                                   : "a code the supported engine releases do not return";
}

// The lines of a worker whose engine ran and returned `code`.
inline std::vector<std::string> workerLinesFor(int code) {
    std::vector<std::string> lines = {
        "tun2proxyThreadFunc - Thread started",
        "tun2proxyThreadFunc - Starting tun2proxy with proxy_url=socks5://127.0.0.1:12735, "
        "tun=orvantun",
        "tun2proxyThreadFunc - About to call tun2proxy_with_name_run...",
        "tun2proxyThreadFunc - tun2proxy_with_name_run returned: " + std::to_string(code),
    };
    if (code != 0) {
        lines.push_back("tun2proxyThreadFunc - Error: tun2proxy returned non-zero code: " +
                        std::to_string(code));
    }
    lines.push_back("tun2proxyThreadFunc - Code " + std::to_string(code) + ": " +
                    runCodeMeaning(code));
    lines.push_back("tun2proxyThreadFunc - Thread exiting");
    return lines;
}

inline const std::vector<std::string> successfulStartLines = {
    "VpnService::start - Entry",
    "VpnService::start - Starting tun2proxy...",
    "VpnService::startTun2proxy - Starting thread...",
    "VpnService::startTun2proxy - Log callback set",
    "VpnService::startTun2proxy - Thread started successfully",
    "VpnService::start - Applying DNS isolation...",
    "VpnService::start - VPN started successfully",
};

inline const std::vector<std::string> stopSequenceLines = {
    "VpnService::stopTun2proxy - Stopping...",
    "VpnService::stopTun2proxy - Calling tun2proxy_stop()...",
    "VpnService::stopTun2proxy - Waiting for thread to finish...",
    "VpnService::stopTun2proxy - Thread finished",
    "VpnService::stopTun2proxy - Stopped",
};

inline std::vector<std::string> concat(std::vector<std::string> a,
                                       const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}
