// The test network's translation of committed filters: it refuses a filter, or writes a
// script that nft takes: one line a rule, no control character, comments within 128 bytes,
// each field matched once.
#include "Check.h"
#include "NftRules.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>

namespace {

using wfpdouble::Condition;
using wfpdouble::Filter;

const GUID kKeys[] = {
    {0x09e61aea, 0xd214, 0x46e2, {0x9b, 0x21, 0xb2, 0x6b, 0x0b, 0x2f, 0x28, 0xc8}},
    {0xe1735bde, 0x013f, 0x4655, {0xb3, 0x51, 0xa4, 0x9e, 0x15, 0x76, 0x2d, 0xf0}},
    {0x3971ef2b, 0x623e, 0x4f9a, {0x8c, 0xb1, 0x6e, 0x79, 0xb8, 0x06, 0xb9, 0xa7}},
    {0xc35a604d, 0xd22b, 0x4e1a, {0x91, 0xb4, 0x68, 0xf6, 0x74, 0xee, 0x67, 0x4b}},
    {0x667fd755, 0xd695, 0x434a, {0x8a, 0xf5, 0xd3, 0x83, 0x5a, 0x12, 0x59, 0xbc}},
    {0x11223344, 0x5566, 0x7788, {0x99, 0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff, 0x00}},
};

GUID key(FuzzedDataProvider& in) {
    return kKeys[in.ConsumeIntegralInRange<std::size_t>(0, std::size(kKeys) - 1)];
}

Filter filterOf(FuzzedDataProvider& in) {
    Filter filter;
    if (in.ConsumeBool()) {
        std::wstring name;
        for (std::size_t n = in.ConsumeIntegralInRange(0, 160); n > 0; --n) {
            name += static_cast<wchar_t>(in.ConsumeIntegral<std::uint16_t>() % 0x90);
        }
        filter.name = name;
    }
    filter.layerKey = key(in);
    filter.subLayerKey = key(in);
    filter.weightType = static_cast<FWP_DATA_TYPE>(in.ConsumeIntegralInRange(0, 5));
    filter.weightValue = in.ConsumeIntegral<std::uint64_t>() >> in.ConsumeIntegralInRange(0, 63);
    for (std::size_t n = in.ConsumeIntegralInRange(0, 5); n > 0; --n) {
        filter.conditions.push_back(
            Condition{key(in), static_cast<FWP_MATCH_TYPE>(in.ConsumeIntegralInRange(0, 2)),
                      static_cast<FWP_DATA_TYPE>(in.ConsumeIntegralInRange(0, 5)),
                      in.ConsumeIntegralInRange<std::uint64_t>(0, 70000)});
    }
    filter.numFilterConditions = static_cast<UINT32>(filter.conditions.size());
    filter.actionType = in.ConsumeBool() ? 0x1001 : in.ConsumeBool() ? 0x1002 : 0x1003;
    return filter;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    std::vector<Filter> filters;
    for (std::size_t n = in.ConsumeIntegralInRange(0, 6); n > 0; --n) {
        filters.push_back(filterOf(in));
    }
    std::string error;
    const auto script = wfpdouble::nftScript(filters, error);
    if (!script) {
        check(!error.empty(), "a refusal says why");
        return 0;
    }
    std::size_t rules = 0;
    for (std::size_t begin = 0; begin < script->size();) {
        const std::size_t end = script->find('\n', begin);
        check(end != std::string::npos, "every line ends");
        const std::string_view line(script->data() + begin, end - begin);
        for (const char c : line) {
            check(c == '\t' || (static_cast<unsigned char>(c) >= 0x20 && c != 0x7F),
                  "no control character in a line");
        }
        if (const std::size_t comment = line.find(" comment \""); comment != line.npos) {
            ++rules;
            check(line.size() - comment - 11 <= 128, "a comment within nft's 128 bytes");
            const std::string_view match = line.substr(0, comment);
            for (const std::string_view field : {" meta l4proto ", " th dport ", " oif "}) {
                const std::size_t first = match.find(field);
                check(first == match.npos || match.find(field, first + 1) == match.npos,
                      "each field matched once: conditions on one field are ORed");
            }
        }
        begin = end + 1;
    }
    check(rules == filters.size(), "one rule a filter");
    return 0;
}
