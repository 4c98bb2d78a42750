#include "FilterListing.h"

#include <cstdio>
#include <sstream>

namespace {

bool parseGuid(const std::string& text, GUID& guid) {
    unsigned long data1 = 0;
    unsigned data2 = 0;
    unsigned data3 = 0;
    unsigned bytes[8] = {};
    if (std::sscanf(text.c_str(), "{%8lx-%4x-%4x-%2x%2x-%2x%2x%2x%2x%2x%2x}", &data1, &data2,
                    &data3, &bytes[0], &bytes[1], &bytes[2], &bytes[3], &bytes[4], &bytes[5],
                    &bytes[6], &bytes[7]) != 11) {
        return false;
    }
    guid.Data1 = data1;
    guid.Data2 = static_cast<unsigned short>(data2);
    guid.Data3 = static_cast<unsigned short>(data3);
    for (int i = 0; i < 8; ++i) {
        guid.Data4[i] = static_cast<unsigned char>(bytes[i]);
    }
    return true;
}

// UTF-16 units as four hex digits each, so that a name holds no separator.
std::string hexText(const std::wstring& text) {
    std::string out;
    char unit[8] = {};
    for (const wchar_t c : text) {
        std::snprintf(unit, sizeof unit, "%04x", static_cast<unsigned>(c));
        out += unit;
    }
    return out;
}

std::wstring fromHex(const std::string& text) {
    std::wstring out;
    for (std::size_t i = 0; i + 4 <= text.size(); i += 4) {
        out.push_back(static_cast<wchar_t>(std::stoul(text.substr(i, 4), nullptr, 16)));
    }
    return out;
}

struct Listed {
    UINT64 id = 0;
    wfpdouble::Filter filter;
};

bool parseLine(const std::string& line, Listed& listed) {
    std::istringstream in(line);
    std::string layer, sublayer, name, conditions;
    unsigned weightType = 0;
    unsigned action = 0;
    if (!(in >> listed.id >> layer >> sublayer >> weightType >> listed.filter.weightValue >>
          action >> name) ||
        !parseGuid(layer, listed.filter.layerKey) ||
        !parseGuid(sublayer, listed.filter.subLayerKey)) {
        return false;
    }
    listed.filter.weightType = static_cast<FWP_DATA_TYPE>(weightType);
    listed.filter.actionType = static_cast<FWP_ACTION_TYPE>(action);
    listed.filter.name = fromHex(name == "-" ? "" : name);
    std::string condition;
    while (in >> condition) {
        char field[40] = {};
        unsigned match = 0;
        unsigned type = 0;
        unsigned long long value = 0;
        wfpdouble::Condition parsed;
        if (std::sscanf(condition.c_str(), "%38[^,],%u,%u,%llu", field, &match, &type, &value) !=
                4 ||
            !parseGuid(field, parsed.fieldKey)) {
            return false;
        }
        parsed.matchType = static_cast<FWP_MATCH_TYPE>(match);
        parsed.type = static_cast<FWP_DATA_TYPE>(type);
        parsed.value = value;
        listed.filter.conditions.push_back(parsed);
    }
    return true;
}

FWP_CONDITION_VALUE0 conditionValue(const wfpdouble::Condition& condition) {
    FWP_CONDITION_VALUE0 value{};
    value.type = condition.type;
    switch (condition.type) {
    case FWP_UINT8:
        value.uint8 = static_cast<UINT8>(condition.value);
        break;
    case FWP_UINT16:
        value.uint16 = static_cast<UINT16>(condition.value);
        break;
    default:
        value.uint32 = static_cast<UINT32>(condition.value);
        break;
    }
    return value;
}

} // namespace

std::string filterListing(const std::map<UINT64, wfpdouble::Filter>& filters) {
    std::string text;
    for (const auto& [id, filter] : filters) {
        const std::string name = filter.name ? hexText(*filter.name) : "";
        std::ostringstream line;
        line << id << ' ' << wfpdouble::guidText(filter.layerKey) << ' '
             << wfpdouble::guidText(filter.subLayerKey) << ' ' << filter.weightType << ' '
             << filter.weightValue << ' ' << filter.actionType << ' '
             << (name.empty() ? std::string("-") : name);
        for (const wfpdouble::Condition& c : filter.conditions) {
            line << ' ' << wfpdouble::guidText(c.fieldKey) << ',' << c.matchType << ',' << c.type
                 << ',' << c.value;
        }
        text += line.str();
        text += "\n";
    }
    return text;
}

std::unique_ptr<FilterBlock> filtersAt(const std::string& listing, const GUID& layer) {
    std::vector<Listed> found;
    std::istringstream in(listing);
    for (std::string line; std::getline(in, line);) {
        Listed listed;
        if (parseLine(line, listed) && IsEqualGUID(listed.filter.layerKey, layer)) {
            found.push_back(std::move(listed));
        }
    }
    // Sized once: the structures point into these vectors.
    auto block = std::make_unique<FilterBlock>();
    block->filters.resize(found.size());
    block->conditions.resize(found.size());
    block->names.resize(found.size());
    block->weights.resize(found.size());
    for (std::size_t i = 0; i < found.size(); ++i) {
        const wfpdouble::Filter& f = found[i].filter;
        FWPM_FILTER0& out = block->filters[i];
        out.filterId = found[i].id;
        out.layerKey = f.layerKey;
        out.subLayerKey = f.subLayerKey;
        block->names[i] = f.name.value_or(L"");
        out.displayData.name = block->names[i].data();
        out.weight.type = f.weightType;
        out.weight.uint8 = static_cast<UINT8>(f.weightValue);
        // The platform's effective weight: the filter's own weight in the top four bits.
        block->weights[i] = f.weightValue << 60;
        out.effectiveWeight.type = FWP_UINT64;
        out.effectiveWeight.uint64 = &block->weights[i];
        out.action.type = f.actionType;
        for (const wfpdouble::Condition& c : f.conditions) {
            block->conditions[i].push_back({c.fieldKey, c.matchType, conditionValue(c)});
        }
        out.numFilterConditions = static_cast<UINT32>(block->conditions[i].size());
        out.filterCondition = block->conditions[i].data();
        block->entries.push_back(&out);
    }
    return block;
}
