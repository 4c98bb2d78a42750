#pragma once

#include "NetworkReport.h"

// The network as the platform reports it now: every adapter, the IPv4 and IPv6 routes (IP
// Helper, loaded on first use), and the name-resolution policy and DNS-over-HTTPS settings the
// platform keeps in the registry.
NetworkFacts networkFacts();
