// Per-line cost of Logger::log against a plain append-and-flush loop writing the same
// lines to a file of the same kind beside it. Two more loops take the Logger's line apart:
// the debugger mirror alone and a local-time stamp made afresh, each the way the Logger
// makes it. The four run in alternating blocks, so that whatever else the machine does
// falls on all of them alike, and each block is compared with the plain loop's block of
// the same round.
#include "Stats.h"
#include "log/Logger.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr int kBlock = 500;

std::string stampNow() {
    const std::time_t seconds = std::time(nullptr);
    std::tm local{};
    localtime_s(&local, &seconds);
    std::ostringstream out;
    out << std::put_time(&local, "%Y-%m-%d %H:%M:%S");
    return out.str();
}

std::string messageText(int i) {
    return "PipeServer - Response sent, length: " + std::to_string(i);
}

std::vector<double> toMicroseconds(std::vector<double> samplesMs) {
    for (double& sample : samplesMs) {
        sample *= 1000.0;
    }
    return samplesMs;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: log_throughput DIRECTORY LINES\n");
        return 2;
    }
    const std::filesystem::path directory = argv[1];
    const int lines = _wtoi(argv[2]);
    std::filesystem::create_directories(directory);
    const std::filesystem::path loggerPath = directory / L"logger.log";
    const std::filesystem::path plainPath = directory / L"plain.log";
    std::filesystem::remove(loggerPath);
    std::filesystem::remove(plainPath);

    if (!Logger::instance().initialize(loggerPath)) {
        std::fprintf(stderr, "log_throughput: the Logger could not open its file\n");
        return 1;
    }
    std::ofstream plain(plainPath, std::ios::out | std::ios::app);
    if (!plain) {
        std::fprintf(stderr, "log_throughput: cannot open the plain file\n");
        return 1;
    }
    // The plain loop gets its lines ready-made: it stands for the cost of the file alone.
    const std::string stamp = stampNow();
    std::vector<std::string> plainLines;
    plainLines.reserve(static_cast<std::size_t>(lines));
    for (int i = 0; i < lines; ++i) {
        plainLines.push_back("[" + stamp + "] [INFO] " + messageText(i));
    }
    std::vector<std::string> mirrorLines;
    mirrorLines.reserve(plainLines.size());
    for (const std::string& line : plainLines) {
        mirrorLines.push_back("[Orvanet] " + line + "\n");
    }

    const bench::Clock clock;
    // One loop of the four: its per-line samples, its wall-clock time, its block ratios.
    struct Loop {
        std::vector<double> samples;
        double wallMs = 0;
        std::vector<double> ratios;
    };
    Loop logger;
    Loop plainLoop;
    Loop mirror;
    Loop stamps;
    const auto timeBlock = [&](Loop& loop, int first, int last, auto&& line) {
        std::vector<double> block;
        const LONGLONG begun = clock.now();
        for (int i = first; i < last; ++i) {
            const LONGLONG start = clock.now();
            line(i);
            block.push_back(clock.millisecondsSince(start));
        }
        loop.wallMs += clock.millisecondsSince(begun);
        loop.samples.insert(loop.samples.end(), block.begin(), block.end());
        return bench::summarise(block).median;
    };
    bool stampsAlike = true;
    for (int first = 0; first < lines; first += kBlock) {
        const int last = std::min(first + kBlock, lines);
        const double loggerMedian = timeBlock(logger, first, last, [](int i) {
            Logger::instance().log(LogLevel::Info, "PipeServer - Response sent, length: {}", i);
        });
        const double plainMedian = timeBlock(plainLoop, first, last, [&](int i) {
            plain << plainLines[static_cast<std::size_t>(i)] << '\n';
            plain.flush();
        });
        const double mirrorMedian = timeBlock(mirror, first, last, [&](int i) {
            OutputDebugStringA(mirrorLines[static_cast<std::size_t>(i)].c_str());
        });
        const double stampMedian = timeBlock(stamps, first, last, [&](int) {
            stampsAlike = stampsAlike && stampNow().size() == stamp.size();
        });
        logger.ratios.push_back(loggerMedian / plainMedian);
        mirror.ratios.push_back(mirrorMedian / plainMedian);
        stamps.ratios.push_back(stampMedian / plainMedian);
    }
    if (!stampsAlike) {
        std::fprintf(stderr, "log_throughput: a time stamp came out unlike the others\n");
        return 1;
    }
    if (!plain) {
        std::fprintf(stderr, "log_throughput: the plain file failed\n");
        return 1;
    }
    Logger::instance().close();
    plain.close();

    // Both files must hold every line, or one side did less work than the other.
    const auto countLines = [](const std::filesystem::path& path) {
        std::ifstream in(path);
        std::string line;
        int count = 0;
        while (std::getline(in, line)) {
            if (line.find("PipeServer - Response sent, length: ") != std::string::npos) {
                ++count;
            }
        }
        return count;
    };
    const int loggerLines = countLines(loggerPath);
    const int plainWritten = countLines(plainPath);
    if (loggerLines != lines || plainWritten != lines) {
        std::fprintf(stderr, "log_throughput: %d and %d lines written, %d expected\n", loggerLines,
                     plainWritten, lines);
        return 1;
    }

    const auto reportLoop = [&](const char* key, const Loop& loop) {
        bench::report(key, bench::summarise(toMicroseconds(loop.samples)), "us");
        bench::reportRatio(key, "log_plain_line", loop.ratios);
    };
    reportLoop("log_logger_line", logger);
    reportLoop("log_plain_line", plainLoop);
    reportLoop("log_mirror_only", mirror);
    reportLoop("log_stamp_only", stamps);
    // Lines over the wall-clock time of the loop's blocks, as a reader of the file counts.
    bench::reportValue("log_logger_lps", lines * 1000.0 / logger.wallMs, "lines/s");
    bench::reportValue("log_plain_lps", lines * 1000.0 / plainLoop.wallMs, "lines/s");
    return 0;
}
