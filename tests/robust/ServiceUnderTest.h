#pragma once

#include "EngineDouble.h"
#include "IphlpapiDouble.h"
#include "WfpDouble.h"
#include "support/DebugCapture.h"

#include "../pipe/PipeClient.h"
#include "dns/DnsManager.h"
#include "pipe/PipeServer.h"
#include "vpn/VpnService.h"

#include <gtest/gtest.h>

#include <string>

// The three components as the service holds them, serving the real control pipe, with the
// engine, WFP and IP Helper replaced at link time.
class ServiceUnderTest : public ::testing::Test {
protected:
    static constexpr NET_IFINDEX tunIndex = 11;

    void SetUp() override {
        wfpdouble::reset();
        iphlpdouble::reset();
        enginedouble::reset();
        iphlpdouble::interfaceAppears(L"orvantun", tunIndex);
        ASSERT_TRUE(pipe.start());
    }
    void TearDown() override {
        enginedouble::releaseAll();
        pipe.stop();
        vpn.stop();
    }

    static std::string exchange(const std::string& request) {
        return pipeclient::exchange(request);
    }

    DebugCapture capture;
    DnsManager dns;
    VpnService vpn{&dns};
    PipeServer pipe{&vpn};
};

inline const std::string activeRequest = R"({"command":"active"})";
inline const std::string inactiveResponse =
    R"({"message":"inactive","running":false,"status":"ok"})";
inline const std::string activeResponse = R"({"message":"active","running":true,"status":"ok"})";
inline const std::string startedResponse =
    R"({"message":"VPN started successfully","status":"ok"})";
inline const std::string stoppedResponse =
    R"({"message":"VPN stopped successfully","status":"ok"})";
