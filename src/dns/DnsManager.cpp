#include "dns/DnsManager.h"

#include "log/Logger.h"

#include <cstdint>

namespace {

constexpr auto alreadyExists = static_cast<std::uint32_t>(FWP_E_ALREADY_EXISTS);
constexpr UINT32 authnWinNt = 10; // RPC_C_AUTHN_WINNT

OperationResult callFailed(const char* operation, DWORD status) {
    return OperationResult::failure(
        orvanet::format("{} failed: {}", operation, static_cast<std::uint32_t>(status)));
}

FWPM_FILTER_CONDITION0 equalsUint8(const GUID& field, std::uint8_t value) {
    FWPM_FILTER_CONDITION0 condition{};
    condition.fieldKey = field;
    condition.matchType = FWP_MATCH_EQUAL;
    condition.conditionValue.type = FWP_UINT8;
    condition.conditionValue.uint8 = value;
    return condition;
}

FWPM_FILTER_CONDITION0 equalsUint16(const GUID& field, std::uint16_t value) {
    FWPM_FILTER_CONDITION0 condition{};
    condition.fieldKey = field;
    condition.matchType = FWP_MATCH_EQUAL;
    condition.conditionValue.type = FWP_UINT16;
    condition.conditionValue.uint16 = value;
    return condition;
}

FWPM_FILTER_CONDITION0 equalsUint32(const GUID& field, std::uint32_t value) {
    FWPM_FILTER_CONDITION0 condition{};
    condition.fieldKey = field;
    condition.matchType = FWP_MATCH_EQUAL;
    condition.conditionValue.type = FWP_UINT32;
    condition.conditionValue.uint32 = value;
    return condition;
}

} // namespace

DnsManager::~DnsManager() {
    const OperationResult result = restore();
    if (!result.success) {
        Logger::instance().log(LogLevel::Warn, "DnsManager destructor: restore failed: {}",
                               result.error);
    }
}

OperationResult DnsManager::applyIsolation(std::string_view interfaceAlias,
                                           const KeepWaiting& keepWaiting) {
    if (engineHandle && tunnelIfIndex != 0) {
        Logger::instance().log(LogLevel::Info,
                               "DnsManager::applyIsolation - WFP isolation already active "
                               "(ifIndex={})",
                               tunnelIfIndex);
        return OperationResult::ok();
    }

    const IndexResult index = waitForInterfaceIndex(interfaceAlias, keepWaiting);
    if (!index.success) {
        return OperationResult::failure(index.error);
    }
    tunnelIfIndex = index.ifIndex;

    if (!engineHandle) {
        // Dynamic: should the service die, the platform removes every object of the
        // session, so no filter can outlive the process that installed it.
        FWPM_SESSION0 session{};
        session.displayData.name = const_cast<wchar_t*>(dnsrules::sessionName);
        session.displayData.description = const_cast<wchar_t*>(dnsrules::sessionDescription);
        session.flags = FWPM_SESSION_FLAG_DYNAMIC;
        session.txnWaitTimeoutInMSec = 0;

        HANDLE opened = nullptr;
        const DWORD status = FwpmEngineOpen0(nullptr, authnWinNt, nullptr, &session, &opened);
        if (status != 0 || opened == nullptr) {
            tunnelIfIndex = 0;
            return callFailed("FwpmEngineOpen0", status);
        }
        engineHandle.reset(opened);
    }

    if (const DWORD status = FwpmTransactionBegin0(engineHandle.get(), 0); status != 0) {
        // Nothing was added yet, so there is nothing to abort.
        engineHandle.reset();
        tunnelIfIndex = 0;
        return callFailed("FwpmTransactionBegin0", status);
    }

    if (!sublayerAdded) {
        FWPM_SUBLAYER0 sublayer{};
        sublayer.subLayerKey = dnsrules::sublayerKey;
        sublayer.displayData.name = const_cast<wchar_t*>(dnsrules::sublayerName);
        sublayer.displayData.description = const_cast<wchar_t*>(dnsrules::sublayerDescription);
        sublayer.flags = 0;
        sublayer.weight = dnsrules::sublayerWeight;

        const DWORD status = FwpmSubLayerAdd0(engineHandle.get(), &sublayer, nullptr);
        if (status != 0 && static_cast<std::uint32_t>(status) != alreadyExists) {
            OperationResult failed = callFailed("FwpmSubLayerAdd0", status);
            rollback();
            return failed;
        }
        sublayerAdded = true;
    }

    for (const GUID* layer : dnsrules::layers) {
        OperationResult added = addLayerRules(*layer);
        if (!added.success) {
            rollback();
            return added;
        }
    }

    if (const DWORD status = FwpmTransactionCommit0(engineHandle.get()); status != 0) {
        OperationResult failed = callFailed("FwpmTransactionCommit0", status);
        rollback();
        return failed;
    }

    Logger::instance().log(LogLevel::Info,
                           "DnsManager::applyIsolation - WFP DNS isolation enabled (tunnel "
                           "ifIndex={})",
                           tunnelIfIndex);
    return OperationResult::ok();
}

OperationResult DnsManager::addLayerRules(const GUID& layer) {
    for (const dnsrules::Rule& rule : dnsrules::rules) {
        OperationResult added = addRulePair(rule, layer);
        if (!added.success) {
            return added;
        }
    }
    return OperationResult::ok();
}

OperationResult DnsManager::addRulePair(const dnsrules::Rule& rule, const GUID& layer) {
    FWPM_FILTER_CONDITION0 allowConditions[3] = {
        equalsUint8(FWPM_CONDITION_IP_PROTOCOL, rule.protocol),
        equalsUint16(FWPM_CONDITION_IP_REMOTE_PORT, rule.remotePort),
        equalsUint32(FWPM_CONDITION_INTERFACE_INDEX, tunnelIfIndex),
    };
    const FilterAddResult allow = addFilter(rule.allowName, layer, allowConditions, 3,
                                            FWP_ACTION_PERMIT, dnsrules::allowWeight);
    if (!allow.success) {
        return OperationResult::failure(
            orvanet::format("Failed to add allow filter: {}", allow.error));
    }
    filterIds.push_back(allow.filterId);

    FWPM_FILTER_CONDITION0 blockConditions[2] = {
        equalsUint8(FWPM_CONDITION_IP_PROTOCOL, rule.protocol),
        equalsUint16(FWPM_CONDITION_IP_REMOTE_PORT, rule.remotePort),
    };
    const std::wstring blockName = std::wstring(rule.allowName) + dnsrules::blockSuffix;
    const FilterAddResult block = addFilter(blockName.c_str(), layer, blockConditions, 2,
                                            FWP_ACTION_BLOCK, dnsrules::blockWeight);
    if (!block.success) {
        return OperationResult::failure(
            orvanet::format("Failed to add block filter: {}", block.error));
    }
    filterIds.push_back(block.filterId);
    return OperationResult::ok();
}

DnsManager::FilterAddResult DnsManager::addFilter(const wchar_t* name, const GUID& layer,
                                                  FWPM_FILTER_CONDITION0* conditions, UINT32 count,
                                                  FWP_ACTION_TYPE action, std::uint8_t weight) {
    FWPM_FILTER0 filter{};
    filter.displayData.name = const_cast<wchar_t*>(name);
    filter.flags = FWPM_FILTER_FLAG_NONE;
    filter.layerKey = layer;
    filter.subLayerKey = dnsrules::sublayerKey;
    filter.weight.type = FWP_UINT8;
    filter.weight.uint8 = weight;
    filter.numFilterConditions = count;
    filter.filterCondition = conditions;
    filter.action.type = action;

    UINT64 id = 0;
    const DWORD status = FwpmFilterAdd0(engineHandle.get(), &filter, nullptr, &id);
    if (status != 0) {
        return {0,
                orvanet::format("FwpmFilterAdd0 failed ({})", static_cast<std::uint32_t>(status)),
                false};
    }
    return {id, std::string(), true};
}

void DnsManager::rollback() {
    // The abort discards the sublayer and every filter of the transaction, so nothing of a
    // half-built set reaches the platform.
    FwpmTransactionAbort0(engineHandle.get());
    engineHandle.reset();
    tunnelIfIndex = 0;
    sublayerAdded = false;
    filterIds.clear();
}

OperationResult DnsManager::restore() {
    if (!engineHandle) {
        return OperationResult::ok();
    }

    // One failed delete must not keep the others in place; closing the dynamic session
    // below removes whatever is left anyway.
    for (const std::uint64_t id : filterIds) {
        if (const DWORD status = FwpmFilterDeleteById0(engineHandle.get(), id); status != 0) {
            Logger::instance().log(LogLevel::Warn,
                                   "DnsManager::restore - FwpmFilterDeleteById0({}) failed: {}", id,
                                   static_cast<std::uint32_t>(status));
        }
    }
    filterIds.clear();

    if (sublayerAdded) {
        if (const DWORD status =
                FwpmSubLayerDeleteByKey0(engineHandle.get(), &dnsrules::sublayerKey);
            status != 0) {
            Logger::instance().log(LogLevel::Warn,
                                   "DnsManager::restore - FwpmSubLayerDeleteByKey0 failed: {}",
                                   static_cast<std::uint32_t>(status));
        }
        sublayerAdded = false;
    }

    engineHandle.reset();
    tunnelIfIndex = 0;

    Logger::instance().log(LogLevel::Info, "DnsManager::restore - WFP DNS isolation disabled");
    return OperationResult::ok();
}
