// Per-line cost of Logger::log against a plain append-and-flush loop writing the same
// lines to a file of the same kind beside it. The two run in alternating blocks, so that
// whatever else the machine does falls on both alike. Two more figures take the Logger's
// line apart: the debugger mirror alone and the local-time stamp alone, each made the way
// the Logger makes it.
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

double linesPerSecond(const std::vector<double>& samplesMs) {
    double total = 0;
    for (double sample : samplesMs) {
        total += sample;
    }
    return total > 0 ? static_cast<double>(samplesMs.size()) * 1000.0 / total : 0;
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

    const bench::Clock clock;
    std::vector<double> loggerSamples;
    std::vector<double> plainSamples;
    for (int first = 0; first < lines; first += kBlock) {
        const int last = std::min(first + kBlock, lines);
        for (int i = first; i < last; ++i) {
            const LONGLONG start = clock.now();
            Logger::instance().log(LogLevel::Info, "PipeServer - Response sent, length: {}", i);
            loggerSamples.push_back(clock.millisecondsSince(start));
        }
        for (int i = first; i < last; ++i) {
            const LONGLONG start = clock.now();
            plain << plainLines[static_cast<std::size_t>(i)] << '\n';
            plain.flush();
            plainSamples.push_back(clock.millisecondsSince(start));
        }
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

    std::vector<double> mirrorSamples;
    std::vector<double> stampSamples;
    for (int i = 0; i < lines; ++i) {
        const std::string text = "[Orvanet] " + plainLines[static_cast<std::size_t>(i)] + "\n";
        LONGLONG start = clock.now();
        OutputDebugStringA(text.c_str());
        mirrorSamples.push_back(clock.millisecondsSince(start));
        start = clock.now();
        const std::string made = stampNow();
        stampSamples.push_back(clock.millisecondsSince(start));
        if (made.size() != stamp.size()) {
            return 1;
        }
    }

    bench::report("log_logger_line", bench::summarise(toMicroseconds(loggerSamples)), "us");
    bench::report("log_plain_line", bench::summarise(toMicroseconds(plainSamples)), "us");
    bench::reportValue("log_logger_lps", linesPerSecond(loggerSamples), "lines/s");
    bench::reportValue("log_plain_lps", linesPerSecond(plainSamples), "lines/s");
    bench::report("log_mirror_only", bench::summarise(toMicroseconds(mirrorSamples)), "us");
    bench::report("log_stamp_only", bench::summarise(toMicroseconds(stampSamples)), "us");
    return 0;
}
