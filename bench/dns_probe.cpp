// What DNS isolation alone costs of a start and of a stop: the interface lookup, the filter
// set's installation and its removal, each timed on its own through the same DnsManager
// and the same WFP library the service loads (run it from the service's folder).
#include "Stats.h"
#include "dns/DnsManager.h"

#include <cstdio>
#include <cstdlib>
#include <vector>

int wmain(int argc, wchar_t** argv) {
    const int runs = argc > 1 ? _wtoi(argv[1]) : 30;
    const bench::Clock clock;
    std::vector<double> resolves;
    std::vector<double> applies;
    std::vector<double> restores;
    DnsManager dns;
    for (int i = 0; i < runs; ++i) {
        LONGLONG start = clock.now();
        const IndexResult index = dns.resolveInterfaceIndex("orvantun");
        resolves.push_back(clock.millisecondsSince(start));
        if (!index.success) {
            std::fprintf(stderr, "dns_probe: %s\n", index.error.c_str());
            return 1;
        }
        start = clock.now();
        const OperationResult applied = dns.applyIsolation("orvantun");
        applies.push_back(clock.millisecondsSince(start));
        if (!applied.success) {
            std::fprintf(stderr, "dns_probe: %s\n", applied.error.c_str());
            return 1;
        }
        start = clock.now();
        const OperationResult restored = dns.restore();
        restores.push_back(clock.millisecondsSince(start));
        if (!restored.success) {
            std::fprintf(stderr, "dns_probe: %s\n", restored.error.c_str());
            return 1;
        }
    }
    bench::report("dns_resolve", bench::summarise(resolves), "ms");
    bench::report("dns_apply", bench::summarise(applies), "ms");
    bench::report("dns_restore", bench::summarise(restores), "ms");
    return 0;
}
