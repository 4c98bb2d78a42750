#include "FilterPicture.h"

#include "dns/DnsRules.h"
#include "platform/Utf8.h"

#include <cstdio>
#include <string>

namespace {

constexpr UINT32 kAuthnWinNt = 10; // RPC_C_AUTHN_WINNT

std::string guidText(const GUID& guid) {
    char text[40] = {};
    std::snprintf(text, sizeof text, "{%08lX-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  static_cast<unsigned long>(guid.Data1), guid.Data2, guid.Data3, guid.Data4[0],
                  guid.Data4[1], guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5],
                  guid.Data4[6], guid.Data4[7]);
    return text;
}

std::string layerText(const GUID& layer) {
    if (IsEqualGUID(layer, FWPM_LAYER_OUTBOUND_TRANSPORT_V4)) {
        return "outbound transport v4";
    }
    if (IsEqualGUID(layer, FWPM_LAYER_OUTBOUND_TRANSPORT_V6)) {
        return "outbound transport v6";
    }
    return guidText(layer);
}

std::string fieldText(const GUID& field) {
    if (IsEqualGUID(field, FWPM_CONDITION_IP_PROTOCOL)) {
        return "protocol";
    }
    if (IsEqualGUID(field, FWPM_CONDITION_IP_REMOTE_PORT)) {
        return "remote port";
    }
    if (IsEqualGUID(field, FWPM_CONDITION_INTERFACE_INDEX)) {
        return "interface index";
    }
    return guidText(field);
}

// The numbers a weight or a condition holds; any other type by its number.
template <typename Value>
std::string valueText(const Value& value) {
    switch (value.type) {
    case FWP_EMPTY:
        return "empty";
    case FWP_UINT8:
        return std::to_string(value.uint8);
    case FWP_UINT16:
        return std::to_string(value.uint16);
    case FWP_UINT32:
        return std::to_string(value.uint32);
    case FWP_UINT64:
        return value.uint64 != nullptr ? std::to_string(*value.uint64) : "?";
    default:
        return "(type " + std::to_string(value.type) + ")";
    }
}

std::string actionText(FWP_ACTION_TYPE type) {
    switch (type) {
    case FWP_ACTION_BLOCK:
        return "block";
    case FWP_ACTION_PERMIT:
        return "permit";
    case FWP_ACTION_CALLOUT_TERMINATING:
        return "callout (terminating)";
    case FWP_ACTION_CALLOUT_INSPECTION:
        return "callout (inspection)";
    case FWP_ACTION_CALLOUT_UNKNOWN:
        return "callout";
    default:
        return "action " + std::to_string(type);
    }
}

std::string matchText(FWP_MATCH_TYPE type) {
    switch (type) {
    case FWP_MATCH_EQUAL:
        return "=";
    case FWP_MATCH_NOT_EQUAL:
        return "!=";
    default:
        return "match " + std::to_string(type);
    }
}

} // namespace

std::string filterLine(const FWPM_FILTER0& filter) {
    const bool ours = IsEqualGUID(filter.subLayerKey, dnsrules::sublayerKey);
    const std::string name =
        filter.displayData.name != nullptr
            ? toUtf8(filter.displayData.name, InvalidText::Replace).value_or("?")
            : "(no name)";
    // The platform fills in the effective weight of what it enumerates; the weight asked for
    // is what a filter not yet added has.
    const std::string weight = filter.effectiveWeight.type != FWP_EMPTY
                                   ? valueText(filter.effectiveWeight)
                                   : valueText(filter.weight);
    std::string line = "#" + std::to_string(filter.filterId);
    line += " " + layerText(filter.layerKey);
    line += ", sublayer " + guidText(filter.subLayerKey);
    line += ours ? " (the service's)" : "";
    line += ", weight " + weight;
    line += ", " + actionText(filter.action.type);
    line += ", provider ";
    line += filter.providerKey != nullptr ? guidText(*filter.providerKey) : "none";
    line += ": " + name;
    for (UINT32 i = 0; i < filter.numFilterConditions && filter.filterCondition != nullptr; ++i) {
        const FWPM_FILTER_CONDITION0& condition = filter.filterCondition[i];
        line += i == 0 ? "; " : ", ";
        line += fieldText(condition.fieldKey) + " " + matchText(condition.matchType) + " " +
                valueText(condition.conditionValue);
    }
    return line;
}

std::string filtersInForce(std::string& failure, bool& denied) {
    HANDLE engine = nullptr;
    const DWORD opened = FwpmEngineOpen0(nullptr, kAuthnWinNt, nullptr, nullptr, &engine);
    if (opened != ERROR_SUCCESS) {
        denied = opened == ERROR_ACCESS_DENIED;
        failure = "FwpmEngineOpen0 failed: " + std::to_string(opened) +
                  (denied ? ": the filters can be read by administrators only; run orvanetctl "
                            "collect as one"
                          : "");
        return {};
    }
    std::string text = "Filters at the layers the service fills, as the platform enumerates them\n";
    for (const GUID* layer : dnsrules::layers) {
        FWPM_FILTER_ENUM_TEMPLATE0 wanted{};
        wanted.layerKey = *layer;
        wanted.actionMask = 0xFFFFFFFF;
        HANDLE listing = nullptr;
        const DWORD made = FwpmFilterCreateEnumHandle0(engine, &wanted, &listing);
        if (made != ERROR_SUCCESS) {
            text += "  " + layerText(*layer) +
                    ": FwpmFilterCreateEnumHandle0 failed: " + std::to_string(made) + "\n";
            continue;
        }
        for (;;) {
            FWPM_FILTER0** entries = nullptr;
            UINT32 count = 0;
            const DWORD listed = FwpmFilterEnum0(engine, listing, 256, &entries, &count);
            if (listed != ERROR_SUCCESS) {
                text += "  " + layerText(*layer) +
                        ": FwpmFilterEnum0 failed: " + std::to_string(listed) + "\n";
                break;
            }
            for (UINT32 i = 0; i < count; ++i) {
                text += "  " + filterLine(*entries[i]) + "\n";
            }
            if (entries != nullptr) {
                FwpmFreeMemory0(reinterpret_cast<void**>(&entries));
            }
            if (count == 0) {
                break;
            }
        }
        FwpmFilterDestroyEnumHandle0(engine, listing);
    }
    FwpmEngineClose0(engine);
    return text;
}
