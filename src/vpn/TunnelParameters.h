#pragma once

#include <chrono>
#include <cstdint>
#include <string_view>

// What the tunnel is made of. Fixed: nothing comes from the client or a configuration file.
namespace tunnel {

// The TUN interface the engine creates, and the alias the DNS isolation protects.
inline constexpr std::string_view interfaceName = "orvantun";

inline constexpr std::uint16_t proxyPort = 12735;
inline constexpr const char* bypassNetwork = "10.255.255.255/32";
inline constexpr std::int32_t dnsStrategy = 2;
inline constexpr bool rootPrivilege = false;
// In the engine's level numbering: 4 is what the log bridge writes at DEBUG.
inline constexpr std::int32_t verbosity = 4;

// An engine that ends within this time after its launch has failed to start.
inline constexpr std::chrono::milliseconds gracePeriod{500};

// While a stop waits for the engine to end, it asks again at this interval: a stop that
// reached the engine before its run call had begun would otherwise be lost.
inline constexpr std::chrono::milliseconds stopRepeatInterval{1000};
inline constexpr std::chrono::milliseconds stopPollInterval{5};

} // namespace tunnel
