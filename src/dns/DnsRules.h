#pragma once

#include "dns/WfpNames.h"

#include <array>
#include <cstdint>

// The DNS isolation's fixed data: the sublayer that holds the filters, the layers that are
// filled and the rules that each layer gets.
namespace dnsrules {

// {8F6A0F7D-2ED2-4D79-A21F-7B2D11417398}
inline constexpr GUID sublayerKey = {
    0x8f6a0f7d, 0x2ed2, 0x4d79, {0xa2, 0x1f, 0x7b, 0x2d, 0x11, 0x41, 0x73, 0x98}};
inline constexpr std::uint16_t sublayerWeight = 0x8000;

inline constexpr const wchar_t* sessionName = L"Orvanet WFP session";
inline constexpr const wchar_t* sessionDescription = L"Orvanet DNS leak prevention";
inline constexpr const wchar_t* sublayerName = L"Orvanet DNS leak prevention";
inline constexpr const wchar_t* sublayerDescription =
    L"Blocks outbound DNS on non-tunnel interfaces";

// The permit must outrank the block inside the sublayer, so that tunnel DNS meets it first.
inline constexpr std::uint8_t allowWeight = 15;
inline constexpr std::uint8_t blockWeight = 10;
inline constexpr const wchar_t* blockSuffix = L" (block)";

inline constexpr std::uint8_t protocolUdp = 17;
inline constexpr std::uint8_t protocolTcp = 6;

struct Rule {
    const wchar_t* allowName;
    std::uint8_t protocol;
    std::uint16_t remotePort;
};

// clang-format off
//                                   allow filter name               protocol     port
inline constexpr std::array<Rule, 3> rules = {{
    {L"Orvanet DNS allow (UDP/53)",  protocolUdp, 53},
    {L"Orvanet DNS allow (TCP/53)",  protocolTcp, 53},
    {L"Orvanet DoT allow (TCP/853)", protocolTcp, 853},
}};
// clang-format on

// Filled in this order: IPv4 first, then IPv6.
inline const std::array<const GUID*, 2> layers = {&FWPM_LAYER_OUTBOUND_TRANSPORT_V4,
                                                  &FWPM_LAYER_OUTBOUND_TRANSPORT_V6};

} // namespace dnsrules
