// Sequential round trips of one request against a named pipe: the same client measures the
// service and the bare echo server, so that the two figures differ only in the server.
#include "PipeExchange.h"
#include "Stats.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

constexpr int kWarmup = 20;

} // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: pipe_client PIPE COUNT REQUEST KEY\n");
        return 2;
    }
    const std::wstring pipeName = argv[1];
    const int count = _wtoi(argv[2]);
    std::string request;
    for (const wchar_t* c = argv[3]; *c != L'\0'; ++c) {
        request.push_back(static_cast<char>(*c));
    }
    std::string key;
    for (const wchar_t* c = argv[4]; *c != L'\0'; ++c) {
        key.push_back(static_cast<char>(*c));
    }
    if (count <= 0) {
        std::fprintf(stderr, "pipe_client: COUNT must be positive\n");
        return 2;
    }

    std::string response;
    std::string first;
    DWORD error = 0;
    for (int i = 0; i < kWarmup; ++i) {
        if (!bench::exchange(pipeName, request, response, error)) {
            std::fprintf(stderr, "pipe_client: warm-up exchange failed: %lu\n", error);
            return 1;
        }
    }
    first = response;

    const bench::Clock clock;
    std::vector<double> samples;
    samples.reserve(static_cast<std::size_t>(count));
    const LONGLONG wholeRun = clock.now();
    for (int i = 0; i < count; ++i) {
        const LONGLONG start = clock.now();
        if (!bench::exchange(pipeName, request, response, error)) {
            std::fprintf(stderr, "pipe_client: exchange %d failed: %lu\n", i, error);
            return 1;
        }
        samples.push_back(clock.millisecondsSince(start));
        // A server that answers something else is not the one meant to be measured.
        if (response != first) {
            std::fprintf(stderr, "pipe_client: exchange %d answered \"%s\", not \"%s\"\n", i,
                         response.c_str(), first.c_str());
            return 1;
        }
    }
    const double seconds = clock.millisecondsSince(wholeRun) / 1000.0;

    bench::report((key + "_rt").c_str(), bench::summarise(samples), "ms");
    bench::reportValue((key + "_rps").c_str(), count / seconds, "req/s");
    bench::reportValue((key + "_bytes").c_str(), static_cast<double>(first.size()), "bytes");
    return 0;
}
