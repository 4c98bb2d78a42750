// Sequential round trips of one request against several named-pipe servers running side by
// side, the first of them the baseline. The same client takes them in turn, a block of
// exchanges each, the order reversed every round, so that whatever the machine does in the
// meantime falls on all of them alike; each block's median is compared with the baseline's
// block of the same round.
//
// A target given as KEY=@LOGFILE is no server: each of its "exchanges" writes the log lines
// the service writes for one "active" request, through the service's Logger, to LOGFILE.
// The last target (the service) is then also reported less those lines, round by round.
#include "PipeExchange.h"
#include "Stats.h"
#include "log/Logger.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace {

constexpr int kWarmup = 20;

// What the service logs for one "active" request from this client, line by line.
void logRequestLines(const std::string& client) {
    logInfo("PipeServer - Client connected");
    logInfo("{}", client);
    logInfo("PipeServer - Received command, length: {}", 20);
    Logger::instance().log(LogLevel::Debug, "PipeServer - Command: {}", R"({"command":"active"})");
    logInfo("PipeServer::processCommand - Command type: {}", "active");
    logInfo("PipeServer - Response sent, length: {}", 52);
}

struct Target {
    std::string key;
    std::wstring pipe;
    bool logLines = false;
    std::string clientLine;
    std::string answer;
    std::vector<double> samples;
    std::vector<double> ratios;
    double busyMs = 0;
};

// One block of exchanges; its median, or a negative number when an exchange failed or a
// server answered something else (it would not be the server meant to be measured).
double block(const bench::Clock& clock, Target& target, const std::string& request, int count) {
    std::vector<double> samples;
    std::string response;
    DWORD error = 0;
    const LONGLONG begun = clock.now();
    for (int i = 0; i < count; ++i) {
        const LONGLONG start = clock.now();
        if (target.logLines) {
            logRequestLines(target.clientLine);
            samples.push_back(clock.millisecondsSince(start));
            continue;
        }
        if (!bench::exchange(target.pipe, request, response, error)) {
            std::fprintf(stderr, "pipe_client: %s: exchange failed: %lu\n", target.key.c_str(),
                         error);
            return -1;
        }
        samples.push_back(clock.millisecondsSince(start));
        if (response != target.answer) {
            std::fprintf(stderr, "pipe_client: %s answered \"%s\", not \"%s\"\n",
                         target.key.c_str(), response.c_str(), target.answer.c_str());
            return -1;
        }
    }
    target.busyMs += clock.millisecondsSince(begun);
    target.samples.insert(target.samples.end(), samples.begin(), samples.end());
    return bench::summarise(samples).median;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 5) {
        std::fprintf(stderr, "usage: pipe_client COUNT BLOCK REQUEST KEY=PIPE...\n");
        return 2;
    }
    const int count = _wtoi(argv[1]);
    const int blockSize = _wtoi(argv[2]);
    const std::string request = bench::narrow(argv[3]);
    if (count <= 0 || blockSize <= 0 || count % blockSize != 0) {
        std::fprintf(stderr, "pipe_client: COUNT must be a positive multiple of BLOCK\n");
        return 2;
    }
    std::vector<Target> targets;
    for (int i = 4; i < argc; ++i) {
        const std::wstring argument = argv[i];
        const std::size_t equals = argument.find(L'=');
        if (equals == std::wstring::npos) {
            std::fprintf(stderr, "pipe_client: %ls is not KEY=PIPE\n", argv[i]);
            return 2;
        }
        Target target{bench::narrow(argument.substr(0, equals)), argument.substr(equals + 1)};
        if (!target.pipe.empty() && target.pipe.front() == L'@') {
            const std::filesystem::path file = target.pipe.substr(1);
            std::error_code ignored;
            std::filesystem::create_directories(file.parent_path(), ignored);
            if (!Logger::instance().initialize(file)) {
                std::fprintf(stderr, "pipe_client: cannot log to %ls\n", target.pipe.c_str());
                return 1;
            }
            target.logLines = true;
            // The client line as the service writes it for this process.
            target.clientLine = "PipeServer - Client: process " +
                                std::to_string(GetCurrentProcessId()) +
                                ", program C:\\Orvanet\\bench_pipe_client.exe, account "
                                "DESKTOP-BENCH\\user";
        }
        targets.push_back(std::move(target));
    }

    // The first answer of each server is what all its later answers must be.
    for (Target& target : targets) {
        DWORD error = 0;
        for (int i = 0; i < kWarmup && !target.logLines; ++i) {
            if (!bench::exchange(target.pipe, request, target.answer, error)) {
                std::fprintf(stderr, "pipe_client: %s: warm-up failed: %lu\n", target.key.c_str(),
                             error);
                return 1;
            }
        }
    }

    const bench::Clock clock;
    const int rounds = count / blockSize;
    std::vector<double> medians(targets.size());
    const auto lines = std::find_if(targets.begin(), targets.end(),
                                    [](const Target& target) { return target.logLines; });
    std::vector<double> unlogged;
    std::vector<double> unloggedRatios;
    for (int round = 0; round < rounds; ++round) {
        for (std::size_t i = 0; i < targets.size(); ++i) {
            const std::size_t at = round % 2 == 0 ? i : targets.size() - 1 - i;
            medians[at] = block(clock, targets[at], request, blockSize);
            if (medians[at] < 0) {
                return 1;
            }
        }
        for (std::size_t i = 1; i < targets.size(); ++i) {
            targets[i].ratios.push_back(medians[i] / medians[0]);
        }
        if (lines != targets.end()) {
            const auto at = static_cast<std::size_t>(lines - targets.begin());
            unlogged.push_back(medians.back() - medians[at]);
            unloggedRatios.push_back(unlogged.back() / medians[0]);
        }
    }

    for (const Target& target : targets) {
        bench::report((target.key + "_rt").c_str(), bench::summarise(target.samples), "ms");
        // Exchanges over the wall-clock time of its blocks, as a client would count them.
        bench::reportValue((target.key + "_rps").c_str(), count * 1000.0 / target.busyMs, "req/s");
        bench::reportRatio((target.key + "_rt").c_str(), (targets[0].key + "_rt").c_str(),
                           target.ratios);
    }
    if (!unlogged.empty()) {
        const std::string key = targets.back().key + "_unlogged_rt";
        bench::report(key.c_str(), bench::summarise(unlogged), "ms");
        bench::reportRatio(key.c_str(), (targets[0].key + "_rt").c_str(), unloggedRatios);
    }
    return 0;
}
