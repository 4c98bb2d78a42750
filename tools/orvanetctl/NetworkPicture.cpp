#include "NetworkPicture.h"

#include "platform/Utf8.h"

#include <winsock2.h>
#include <ws2ipdef.h>
#include <iphlpapi.h>
#include <netioapi.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace {

std::string utf8(const wchar_t* text) {
    return text != nullptr ? toUtf8(text, InvalidText::Replace).value_or("") : std::string();
}

// RFC 5952's text: lower-case groups without leading zeros, the longest run of two or more
// zero groups as "::".
std::string ipv6Text(const IN6_ADDR& address) {
    unsigned groups[8] = {};
    for (int i = 0; i < 8; ++i) {
        groups[i] = static_cast<unsigned>(address.s6_addr[2 * i]) << 8 | address.s6_addr[2 * i + 1];
    }
    int bestAt = -1;
    int bestLength = 1;
    for (int i = 0; i < 8;) {
        int j = i;
        while (j < 8 && groups[j] == 0) {
            ++j;
        }
        if (j - i > bestLength) {
            bestAt = i;
            bestLength = j - i;
        }
        i = j == i ? i + 1 : j;
    }
    std::string text;
    char group[8] = {};
    for (int i = 0; i < 8; ++i) {
        if (i == bestAt) {
            text += "::";
            i += bestLength - 1;
            continue;
        }
        std::snprintf(group, sizeof group, "%x", groups[i]);
        if (!text.empty() && text.back() != ':') {
            text += ':';
        }
        text += group;
    }
    return text;
}

std::string addressText(const SOCKADDR* address) {
    if (address == nullptr) {
        return {};
    }
    if (address->sa_family == AF_INET) {
        const auto* v4 = reinterpret_cast<const SOCKADDR_IN*>(address);
        const unsigned char* b = reinterpret_cast<const unsigned char*>(&v4->sin_addr);
        return std::to_string(b[0]) + "." + std::to_string(b[1]) + "." + std::to_string(b[2]) +
               "." + std::to_string(b[3]);
    }
    if (address->sa_family == AF_INET6) {
        return ipv6Text(reinterpret_cast<const SOCKADDR_IN6*>(address)->sin6_addr);
    }
    return "(family " + std::to_string(address->sa_family) + ")";
}

const char* stateText(IF_OPER_STATUS status) {
    switch (status) {
    case IfOperStatusUp:
        return "up";
    case IfOperStatusDown:
        return "down";
    case IfOperStatusDormant:
        return "dormant";
    case IfOperStatusNotPresent:
        return "not present";
    case IfOperStatusLowerLayerDown:
        return "lower layer down";
    default:
        return "state unknown";
    }
}

std::string hardwareText(const BYTE* bytes, ULONG length) {
    std::string text;
    char part[4] = {};
    for (ULONG i = 0; i < length; ++i) {
        std::snprintf(part, sizeof part, "%02X", bytes[i]);
        if (i > 0) {
            text += '-';
        }
        text += part;
    }
    return text;
}

void readAdapters(NetworkFacts& facts) {
    ULONG size = 16 * 1024;
    std::vector<unsigned char> buffer;
    ULONG status = ERROR_BUFFER_OVERFLOW;
    for (int attempt = 0; attempt < 4 && status == ERROR_BUFFER_OVERFLOW; ++attempt) {
        buffer.resize(size);
        status = GetAdaptersAddresses(
            AF_UNSPEC, GAA_FLAG_INCLUDE_GATEWAYS | GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST,
            nullptr, reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()), &size);
    }
    if (status != ERROR_SUCCESS) {
        facts.failures.push_back("adapters: error " + std::to_string(status));
        return;
    }
    for (auto* a = reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()); a != nullptr;
         a = a->Next) {
        AdapterFacts adapter;
        adapter.name = utf8(a->FriendlyName);
        adapter.index = a->IfIndex != 0 ? a->IfIndex : a->Ipv6IfIndex;
        adapter.luid = a->Luid.Value;
        adapter.state = stateText(a->OperStatus);
        adapter.hardware = hardwareText(a->PhysicalAddress, a->PhysicalAddressLength);
        for (auto* u = a->FirstUnicastAddress; u != nullptr; u = u->Next) {
            adapter.addresses.push_back(addressText(u->Address.lpSockaddr) + "/" +
                                        std::to_string(u->OnLinkPrefixLength));
        }
        for (auto* g = a->FirstGatewayAddress; g != nullptr; g = g->Next) {
            adapter.gateways.push_back(addressText(g->Address.lpSockaddr));
        }
        for (auto* d = a->FirstDnsServerAddress; d != nullptr; d = d->Next) {
            adapter.dnsServers.push_back(addressText(d->Address.lpSockaddr));
        }
        facts.adapters.push_back(std::move(adapter));
    }
}

void readRoutes(NetworkFacts& facts) {
    MIB_IPFORWARD_TABLE2* table = nullptr;
    const DWORD status = GetIpForwardTable2(AF_UNSPEC, &table);
    if (status != NO_ERROR || table == nullptr) {
        facts.failures.push_back("routes: error " + std::to_string(status));
        return;
    }
    std::vector<std::pair<bool, RouteFacts>> routes;
    for (ULONG i = 0; i < table->NumEntries; ++i) {
        const MIB_IPFORWARD_ROW2& row = table->Table[i];
        const auto* destination = reinterpret_cast<const SOCKADDR*>(&row.DestinationPrefix.Prefix);
        routes.push_back(
            {destination->sa_family == AF_INET6,
             {addressText(destination) + "/" + std::to_string(row.DestinationPrefix.PrefixLength),
              addressText(reinterpret_cast<const SOCKADDR*>(&row.NextHop)), row.InterfaceIndex,
              row.Metric}});
    }
    FreeMibTable(table);
    std::stable_sort(routes.begin(), routes.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    for (auto& [v6, route] : routes) {
        facts.routes.push_back(std::move(route));
    }
}

std::string valueText(DWORD type, const std::vector<BYTE>& data) {
    const auto* text = reinterpret_cast<const wchar_t*>(data.data());
    const std::size_t units = data.size() / sizeof(wchar_t);
    switch (type) {
    case REG_SZ:
    case REG_EXPAND_SZ:
        return utf8(std::wstring(text, wcsnlen(text, units)).c_str());
    case REG_MULTI_SZ: {
        std::string joined;
        for (std::size_t i = 0; i < units && text[i] != L'\0';
             i += wcsnlen(text + i, units - i) + 1) {
            joined += (joined.empty() ? "" : "; ") +
                      utf8(std::wstring(text + i, wcsnlen(text + i, units - i)).c_str());
        }
        return joined;
    }
    case REG_DWORD:
        return data.size() >= 4 ? std::to_string(*reinterpret_cast<const DWORD*>(data.data()))
                                : "?";
    case REG_QWORD:
        return data.size() >= 8 ? std::to_string(*reinterpret_cast<const ULONGLONG*>(data.data()))
                                : "?";
    default:
        return "(" + std::to_string(data.size()) + " bytes of type " + std::to_string(type) + ")";
    }
}

// Every value under HKLM\`path` and its subkeys, as "SUBKEY\NAME = DATA", to `depth` levels;
// `only`: the values of that name alone at the top.
void registryLines(const std::wstring& path, const std::wstring& shownAs, int depth,
                   std::vector<std::string>& lines, const wchar_t* only = nullptr) {
    HKEY key = nullptr;
    if (lines.size() >= 400 ||
        RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return;
    }
    wchar_t name[256] = {};
    for (DWORD i = 0;; ++i) {
        DWORD nameLength = 256;
        DWORD type = 0;
        DWORD size = 0;
        if (RegEnumValueW(key, i, name, &nameLength, nullptr, &type, nullptr, &size) !=
            ERROR_SUCCESS) {
            break;
        }
        if (only != nullptr && _wcsicmp(name, only) != 0) {
            continue;
        }
        std::vector<BYTE> data(std::min<DWORD>(size, 4096) + sizeof(wchar_t));
        DWORD got = size <= 4096 ? size : 0;
        nameLength = 256;
        if (got > 0 && RegEnumValueW(key, i, name, &nameLength, nullptr, &type, data.data(),
                                     &got) != ERROR_SUCCESS) {
            got = 0;
        }
        data.resize(got);
        lines.push_back(utf8((shownAs + L"\\" + name).c_str()) + " = " + valueText(type, data));
    }
    for (DWORD i = 0; depth > 0 && only == nullptr; ++i) {
        DWORD nameLength = 256;
        if (RegEnumKeyExW(key, i, name, &nameLength, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS) {
            break;
        }
        registryLines(path + L"\\" + name, shownAs + L"\\" + name, depth - 1, lines);
    }
    RegCloseKey(key);
}

constexpr const wchar_t* kDnsParameters =
    L"SYSTEM\\CurrentControlSet\\Services\\Dnscache\\Parameters";
constexpr const wchar_t* kDnsPolicies = L"SOFTWARE\\Policies\\Microsoft\\Windows NT\\DNSClient";

} // namespace

NetworkFacts networkFacts() {
    NetworkFacts facts;
    readAdapters(facts);
    readRoutes(facts);
    const std::wstring parameters = kDnsParameters;
    const std::wstring policies = kDnsPolicies;
    registryLines(parameters + L"\\DnsPolicyConfig", L"Dnscache\\DnsPolicyConfig", 2,
                  facts.nameResolution);
    registryLines(policies + L"\\DnsPolicyConfig", L"Policies\\DnsPolicyConfig", 2,
                  facts.nameResolution);
    registryLines(parameters, L"Dnscache", 0, facts.dnsOverHttps, L"EnableAutoDoh");
    registryLines(parameters + L"\\DohWellKnownServers", L"Dnscache\\DohWellKnownServers", 2,
                  facts.dnsOverHttps);
    registryLines(policies, L"Policies", 0, facts.dnsOverHttps, L"DoHPolicy");
    // Each interface's own DoH servers.
    const std::wstring interfaces =
        L"SYSTEM\\CurrentControlSet\\Services\\Dnscache\\InterfaceSpecificParameters";
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, interfaces.c_str(), 0, KEY_READ, &key) == ERROR_SUCCESS) {
        wchar_t name[256] = {};
        for (DWORD i = 0;; ++i) {
            DWORD length = 256;
            if (RegEnumKeyExW(key, i, name, &length, nullptr, nullptr, nullptr, nullptr) !=
                ERROR_SUCCESS) {
                break;
            }
            const std::wstring doh = std::wstring(name) + L"\\DohInterfaceSettings";
            registryLines(interfaces + L"\\" + doh, L"Interfaces\\" + doh, 3, facts.dnsOverHttps);
        }
        RegCloseKey(key);
    }
    return facts;
}
