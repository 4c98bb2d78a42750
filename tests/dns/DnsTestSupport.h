#pragma once

#include "support/DebugCapture.h"
#include "IphlpapiDouble.h"
#include "support/TestFiles.h"
#include "WfpDouble.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

// Values written out here on purpose rather than taken from the production table, so a
// wrong entry there shows up as a difference.
namespace expected {

inline const GUID sublayerKey = {
    0x8f6a0f7d, 0x2ed2, 0x4d79, {0xa2, 0x1f, 0x7b, 0x2d, 0x11, 0x41, 0x73, 0x98}};
inline const GUID layerV4 = {
    0x09e61aea, 0xd214, 0x46e2, {0x9b, 0x21, 0xb2, 0x6b, 0x0b, 0x2f, 0x28, 0xc8}};
inline const GUID layerV6 = {
    0xe1735bde, 0x013f, 0x4655, {0xb3, 0x51, 0xa4, 0x9e, 0x15, 0x76, 0x2d, 0xf0}};
inline const GUID ipProtocol = {
    0x3971ef2b, 0x623e, 0x4f9a, {0x8c, 0xb1, 0x6e, 0x79, 0xb8, 0x06, 0xb9, 0xa7}};
inline const GUID remotePort = {
    0xc35a604d, 0xd22b, 0x4e1a, {0x91, 0xb4, 0x68, 0xf6, 0x74, 0xee, 0x67, 0x4b}};
inline const GUID interfaceIndex = {
    0x667fd755, 0xd695, 0x434a, {0x8a, 0xf5, 0xd3, 0x83, 0x5a, 0x12, 0x59, 0xbc}};

inline wfpdouble::Session session() {
    wfpdouble::Session s;
    s.name = L"Orvanet WFP session";
    s.description = L"Orvanet DNS leak prevention";
    s.flags = 1;
    return s;
}

inline wfpdouble::Sublayer sublayer() {
    wfpdouble::Sublayer s;
    s.subLayerKey = sublayerKey;
    s.name = L"Orvanet DNS leak prevention";
    s.description = L"Blocks outbound DNS on non-tunnel interfaces";
    s.weight = 0x8000;
    return s;
}

inline wfpdouble::Filter filter(const GUID& layer, const wchar_t* name, std::uint8_t protocol,
                                std::uint16_t port, bool allow, NET_IFINDEX ifIndex) {
    wfpdouble::Filter f;
    f.name = name;
    f.layerKey = layer;
    f.subLayerKey = sublayerKey;
    f.weightType = FWP_UINT8;
    f.weightValue = allow ? 15 : 10;
    f.conditions = {{ipProtocol, FWP_MATCH_EQUAL, FWP_UINT8, protocol},
                    {remotePort, FWP_MATCH_EQUAL, FWP_UINT16, port}};
    if (allow) {
        f.conditions.push_back({interfaceIndex, FWP_MATCH_EQUAL, FWP_UINT32, ifIndex});
    }
    f.numFilterConditions = static_cast<UINT32>(f.conditions.size());
    f.actionType = allow ? 0x1002 : 0x1001;
    return f;
}

inline std::vector<wfpdouble::Filter> twelveFilters(NET_IFINDEX ifIndex) {
    std::vector<wfpdouble::Filter> all;
    for (const GUID* layer : {&layerV4, &layerV6}) {
        all.push_back(filter(*layer, L"Orvanet DNS allow (UDP/53)", 17, 53, true, ifIndex));
        all.push_back(filter(*layer, L"Orvanet DNS allow (UDP/53) (block)", 17, 53, false, 0));
        all.push_back(filter(*layer, L"Orvanet DNS allow (TCP/53)", 6, 53, true, ifIndex));
        all.push_back(filter(*layer, L"Orvanet DNS allow (TCP/53) (block)", 6, 53, false, 0));
        all.push_back(filter(*layer, L"Orvanet DoT allow (TCP/853)", 6, 853, true, ifIndex));
        all.push_back(filter(*layer, L"Orvanet DoT allow (TCP/853) (block)", 6, 853, false, 0));
    }
    return all;
}

} // namespace expected

// Resets both doubles and captures the log lines that reach the debugger.
class DnsTest : public ::testing::Test {
protected:
    void SetUp() override {
        wfpdouble::reset();
        iphlpdouble::reset();
    }

    std::vector<LogLine> logLines() const { return capturedLines(capture); }

    DebugCapture capture;
};
