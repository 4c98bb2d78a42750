#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

// network.txt: the machine's network as support asks for it first (every adapter, the
// routes, the name-resolution policy and DNS over HTTPS), from facts the platform gave
// (NetworkPicture) and written here, so that the text and its redaction are read from fixed
// tables in tests.

struct AdapterFacts {
    std::string name;
    std::uint32_t index = 0;
    std::uint64_t luid = 0;
    std::string state;                   // "up", "down", ...
    std::string hardware;                // "00-15-5D-01-02-03"; empty for none
    std::vector<std::string> addresses;  // "192.168.1.20/24"
    std::vector<std::string> gateways;   // "192.168.1.1"
    std::vector<std::string> dnsServers; // "10.0.0.1"
};

struct RouteFacts {
    std::string destination; // "0.0.0.0/0"
    std::string nextHop;     // "192.168.1.1"; "0.0.0.0" or "::" on the link itself
    std::uint32_t index = 0;
    std::uint32_t metric = 0;
};

struct NetworkFacts {
    std::vector<AdapterFacts> adapters;
    std::vector<RouteFacts> routes;
    // "KEY\VALUE = DATA" lines of the registry's name-resolution policy and DoH settings.
    std::vector<std::string> nameResolution;
    std::vector<std::string> dnsOverHttps;
    // What could not be read, and why ("routes: error 5").
    std::vector<std::string> failures;
};

// Addresses as the report shows them. Kept: private, link-local, loopback, multicast and
// unspecified addresses (the same on countless networks, and what support compares), and
// the tunnel's own. Replaced: public addresses, which tell a user's provider and place, and
// hardware addresses, which tell the machine. The same value gets the same placeholder
// within one report.
class AddressRedaction {
public:
    explicit AddressRedaction(std::set<std::string> kept = {}) : kept(std::move(kept)) {}

    // An IPv4 or IPv6 address, with or without "/prefix".
    std::string address(const std::string& text);
    std::string hardware(const std::string& text);

private:
    std::string placeholder(const std::string& value, const char* kind, std::size_t& count);

    std::set<std::string> kept;
    std::map<std::string, std::string> given;
    std::size_t ipv4 = 0;
    std::size_t ipv6 = 0;
    std::size_t macs = 0;
};

// Whether an address (without prefix) is one the report keeps as it is.
bool sharedAddress(const std::string& address);

// `tunnel`: the adapter to mark as the service's. Null `redaction`: addresses as they are.
std::string networkText(const NetworkFacts& facts, const std::string& tunnel,
                        AddressRedaction* redaction);
