#pragma once

#include <windows.h>
#include <fwpmu.h>

#include <string>

// filters.txt: the filters in force at the layers the DNS isolation fills (outbound transport,
// IPv4 and IPv6), the service's and every other provider's, with their sublayers, weights and
// actions: what decides whether DNS leaves by another interface than the tunnel.

// One filter as the platform enumerates it, as one line of filters.txt.
std::string filterLine(const FWPM_FILTER0& filter);

// Every filter at those layers. Empty, with `failure` saying why and `denied` set when only
// an administrator may read them, when the filtering engine cannot be asked.
std::string filtersInForce(std::string& failure, bool& denied);
