#pragma once

#include "dns/DnsRules.h"
#include "dns/OperationResult.h"
#include "platform/Owners.h"

#include <windows.h>
#include <ifdef.h>

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

// The outcome of an interface lookup.
struct IndexResult {
    NET_IFINDEX ifIndex = 0;
    std::string error;
    bool success = false;
};

// UTF-8 (or, failing that, the ANSI code page) to UTF-16.
std::wstring utf8ToWide(std::string_view text);

// The WFP engine session. Closing it is what ends a dynamic session, and with it every
// object the session added.
struct WfpEngineTraits {
    using Value = HANDLE;
    static bool holds(HANDLE h) { return h != nullptr; }
    static void close(HANDLE h) { FwpmEngineClose0(h); }
};
using WfpEngine = Owner<WfpEngineTraits>;

// Confines DNS to the tunnel interface with a dynamic WFP session, its own sublayer and
// twelve filters, installed in one transaction. No lock: callers must not run two of its
// operations at once.
class DnsManager {
public:
    DnsManager() = default;
    ~DnsManager();
    DnsManager(const DnsManager&) = delete;
    DnsManager& operator=(const DnsManager&) = delete;

    // Asked at each look for the interface: false ends the wait at once (the one who was to
    // make the interface has ended). Empty: the wait runs to its bound.
    using KeepWaiting = std::function<bool()>;

    OperationResult applyIsolation(std::string_view interfaceAlias,
                                   const KeepWaiting& keepWaiting = {});
    OperationResult restore();
    // Whether the filters are in force (committed, not yet removed).
    bool isolationActive() const { return engineHandle && tunnelIfIndex != 0; }

    IndexResult resolveInterfaceIndex(std::string_view interfaceAlias);
    IndexResult waitForInterfaceIndex(std::string_view interfaceAlias,
                                      const KeepWaiting& keepWaiting = {});

private:
    struct FilterAddResult {
        std::uint64_t filterId = 0;
        std::string error;
        bool success = false;
    };

    OperationResult addLayerRules(const GUID& layer);
    OperationResult addRulePair(const dnsrules::Rule& rule, const GUID& layer);
    FilterAddResult addFilter(const wchar_t* name, const GUID& layer,
                              FWPM_FILTER_CONDITION0* conditions, UINT32 count,
                              FWP_ACTION_TYPE action, std::uint8_t weight);
    void rollback();

    WfpEngine engineHandle;
    NET_IFINDEX tunnelIfIndex = 0;
    bool sublayerAdded = false;
    std::vector<std::uint64_t> filterIds;
};
