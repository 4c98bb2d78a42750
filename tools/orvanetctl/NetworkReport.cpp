#include "NetworkReport.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>

namespace {

// The four numbers of a dotted IPv4 address; false for anything else.
bool ipv4Parts(const std::string& text, unsigned (&parts)[4]) {
    int consumed = 0;
    return std::sscanf(text.c_str(), "%3u.%3u.%3u.%3u%n", &parts[0], &parts[1], &parts[2],
                       &parts[3], &consumed) == 4 &&
           static_cast<std::size_t>(consumed) == text.size() && parts[0] < 256 && parts[1] < 256 &&
           parts[2] < 256 && parts[3] < 256;
}

bool sharedIpv4(const unsigned (&p)[4]) {
    return p[0] == 0 || p[0] == 10 || p[0] == 127 || (p[0] == 100 && (p[1] & 0xC0) == 64) ||
           (p[0] == 169 && p[1] == 254) || (p[0] == 172 && (p[1] & 0xF0) == 16) ||
           (p[0] == 192 && p[1] == 168) || p[0] >= 224;
}

// IPv6: the first group decides (link-local fe80::/10, unique local fc00::/7, multicast
// ff00::/8), and "::" and "::1" are the platform's own.
bool sharedIpv6(const std::string& text) {
    if (text == "::" || text == "::1") {
        return true;
    }
    if (text.rfind("::", 0) == 0) {
        return false;
    }
    const unsigned long first = std::strtoul(text.substr(0, text.find(':')).c_str(), nullptr, 16);
    return (first & 0xFFC0) == 0xFE80 || (first & 0xFE00) == 0xFC00 || (first & 0xFF00) == 0xFF00;
}

std::string joined(const std::vector<std::string>& values, AddressRedaction* redaction) {
    std::string text;
    for (const std::string& value : values) {
        text += (text.empty() ? "" : ", ") + (redaction ? redaction->address(value) : value);
    }
    return text.empty() ? "none" : text;
}

std::string hex(std::uint64_t value) {
    char text[24] = {};
    std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(value));
    return text;
}

bool addressChar(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F') || c == ':' ||
           c == '.';
}

// The addresses in a line of registry text (a server list, a key named after its server).
std::string addressesIn(const std::string& line, AddressRedaction* redaction) {
    if (redaction == nullptr) {
        return line;
    }
    std::string out;
    for (std::size_t i = 0; i < line.size();) {
        std::size_t end = i;
        while (end < line.size() && addressChar(line[end])) {
            ++end;
        }
        if (end == i) {
            out += line[i++];
            continue;
        }
        const std::string run = line.substr(i, end - i);
        unsigned parts[4] = {};
        const bool address = ipv4Parts(run, parts) ||
                             (std::count(run.begin(), run.end(), ':') >= 2 &&
                              (i == 0 || !std::isalnum(static_cast<unsigned char>(line[i - 1]))));
        out += address ? redaction->address(run) : run;
        i = end;
    }
    return out;
}

void section(std::string& out, const char* title, const std::vector<std::string>& lines,
             AddressRedaction* redaction = nullptr) {
    out += std::string("\n") + title + "\n";
    for (const std::string& line : lines) {
        out += "  " + addressesIn(line, redaction) + "\n";
    }
    if (lines.empty()) {
        out += "  none\n";
    }
}

} // namespace

bool sharedAddress(const std::string& address) {
    unsigned parts[4] = {};
    if (ipv4Parts(address, parts)) {
        return sharedIpv4(parts);
    }
    return address.find(':') != std::string::npos && sharedIpv6(address);
}

std::string AddressRedaction::placeholder(const std::string& value, const char* kind,
                                          std::size_t& count) {
    const auto [at, made] = given.try_emplace(value);
    if (made) {
        at->second = std::string("<") + kind + "-" + std::to_string(++count) + ">";
    }
    return at->second;
}

std::string AddressRedaction::address(const std::string& text) {
    const std::size_t slash = text.find('/');
    const std::string bare = text.substr(0, slash);
    const std::string prefix = slash == std::string::npos ? "" : text.substr(slash);
    if (kept.count(bare) > 0 || sharedAddress(bare)) {
        return text;
    }
    const bool v6 = bare.find(':') != std::string::npos;
    return placeholder(bare, v6 ? "ipv6" : "ipv4", v6 ? ipv6 : ipv4) + prefix;
}

std::string AddressRedaction::hardware(const std::string& text) {
    return text.empty() ? text : placeholder(text, "mac", macs);
}

std::string networkText(const NetworkFacts& facts, const std::string& tunnel,
                        AddressRedaction* redaction) {
    std::string out = "Adapters\n";
    for (const AdapterFacts& a : facts.adapters) {
        out += "  " + a.name + (a.name == tunnel ? " [the tunnel]" : "") + ": index " +
               std::to_string(a.index) + ", LUID " + hex(a.luid) + ", " + a.state + "\n";
        out += "    addresses: " + joined(a.addresses, redaction) + "\n";
        out += "    gateways: " + joined(a.gateways, redaction) + "\n";
        out += "    DNS servers: " + joined(a.dnsServers, redaction) + "\n";
        if (!a.hardware.empty()) {
            out += "    hardware address: " +
                   (redaction ? redaction->hardware(a.hardware) : a.hardware) + "\n";
        }
    }
    if (facts.adapters.empty()) {
        out += "  none\n";
    }
    std::vector<std::string> routes;
    for (const RouteFacts& r : facts.routes) {
        routes.push_back((redaction ? redaction->address(r.destination) : r.destination) + " via " +
                         (redaction ? redaction->address(r.nextHop) : r.nextHop) + ", interface " +
                         std::to_string(r.index) + ", metric " + std::to_string(r.metric));
    }
    section(out, "Routes (IPv4, then IPv6)", routes);
    section(out, "Name resolution policy (NRPT)", facts.nameResolution, redaction);
    section(out, "DNS over HTTPS", facts.dnsOverHttps, redaction);
    if (!facts.failures.empty()) {
        section(out, "Not read", facts.failures);
    }
    return out;
}
