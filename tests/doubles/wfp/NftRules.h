#pragma once

#include "WfpRecord.h"

#include <optional>
#include <string>
#include <vector>

// The committed filters of the model, as the kernel of a test network enforces them: one
// nftables table, replaced whole in one `nft -f`, with one base chain of the output hook for
// each sublayer and the sublayer's filters in it by weight, highest first. nft's `accept`
// ends that chain only and `drop` is final, which is the arbitration within one sublayer.
//
// Modelled: the outbound transport layers (IPv4, IPv6), equality on the IP protocol, the
// remote port and the interface index (the index the filter names, never looked up again),
// permit and block. Not modelled: other layers and fields, other providers' filters, the
// arbitration between sublayers, and the platform's connection layers: packets only.
namespace wfpdouble {

inline constexpr char kNftTable[] = "orvanet_wfp";

// The script for `nft -f`: the table emptied and made anew from `filters`; without filters,
// only removed. Anything the translation does not model (a layer, field, match type, value
// type or action it does not know, an empty weight, two filters of one sublayer with the
// same weight and different actions, whose order the platform leaves open) is refused: no
// script, and `error` says which filter and why.
std::optional<std::string> nftScript(const std::vector<Filter>& filters, std::string& error);

} // namespace wfpdouble
