// What the problem report's redaction costs per MiB of log, learning and replacing, for a log
// of one user's own requests and for the shapes a local user could write to make it slow.
// Each shape is timed three times; the median and the slowest are printed.
#include "Redaction.h"
#include "Stats.h"

#include <windows.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace {

constexpr double kMiB = 1024.0 * 1024.0;

std::string clientLine(int pid, const std::string& user) {
    return "[2026-12-09 04:05:06] [INFO] PipeServer - Client: process " + std::to_string(pid) +
           ", program C:\\Users\\" + user + "\\AppData\\Local\\Vpn\\client.exe, account DESK\\" +
           user + "\r\n";
}

// 40,000 requests of one user, each with the lines the service writes for it.
std::string ownRequests() {
    std::string log;
    for (int i = 0; i < 40000; ++i) {
        log += "[2026-12-09 04:05:06] [INFO] PipeServer - Client connected\r\n" +
               clientLine(1000 + i % 50, "alice.smith") +
               "[2026-12-09 04:05:06] [INFO] PipeServer - Received request, length: 20\r\n"
               "[2026-12-09 04:05:06] [INFO] PipeServer - Request: {\"command\":\"active\"}\r\n"
               "[2026-12-09 04:05:06] [INFO] PipeServer::processCommand - Command type: active\r\n"
               "[2026-12-09 04:05:06] [INFO] PipeServer - Response sent, length: 51\r\n";
    }
    return log;
}

// Every word begins like a learnt short form and a learnt name, on lines of 200 bytes.
std::string likeNames() {
    std::string log = clientLine(1, "alice.smith");
    while (log.size() < 8 * 1024 * 1024) {
        log += "[2026-12-09 04:05:06] [INFO] PipeServer - Request: ";
        for (int w = 0; w < 12; ++w) {
            log += w % 2 ? "ALICE~x " : "alice.smi ";
        }
        log += "\r\n";
    }
    return log;
}

// 256 names that share their first letters, then one line of 8 MiB of those letters.
std::string sharedPrefixOneLine() {
    std::string log;
    for (int i = 0; i < 256; ++i) {
        log += clientLine(i, "aaaa" + std::to_string(i));
    }
    log += "[2026-12-09 04:05:06] [INFO] PipeServer - Request: ";
    log.append(8 * 1024 * 1024, 'a');
    return log + "\r\n";
}

void measure(const char* key, const std::string& log) {
    std::vector<double> perMiB;
    std::size_t out = 0;
    for (int run = 0; run < 3; ++run) {
        const auto began = std::chrono::steady_clock::now();
        Redaction redaction;
        redaction.learn(log);
        out += redaction.apply(log).size();
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - began;
        perMiB.push_back(took.count() / (static_cast<double>(log.size()) / kMiB));
    }
    const bench::Summary s = bench::summarise(perMiB);
    std::printf("BENCH %s %.3f %.3f s/MiB %zu\n", key, s.median, s.p99, s.count);
    std::printf("   %s: %.1f MiB, %zu bytes out\n", key, static_cast<double>(log.size()) / kMiB,
                out / 3);
}

} // namespace

int wmain() {
    measure("redact_own_requests", ownRequests());
    measure("redact_like_names", likeNames());
    measure("redact_shared_prefix_line", sharedPrefixOneLine());
    return 0;
}
