// Redaction's cost grows with its input only: hostile names and texts (names that begin
// alike, texts of their beginnings repeated, one long line) stay within a budget per byte,
// measured against text of the same length that holds no name.
#include "Check.h"
#include "Redaction.h"
#include "RedactionInput.h"

#include <chrono>
#include <cstdint>

namespace {

constexpr std::size_t kTextBytes = 32 * 1024;

// The best of `runs`: what the machine's other work added is not the redaction's.
double secondsOf(const Redaction& redaction, const std::string& text, int runs) {
    double best = 1e9;
    for (int run = 0; run < runs; ++run) {
        const auto start = std::chrono::steady_clock::now();
        const std::string out = redaction.apply(text);
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        best = std::min(best, took.count());
        check(!out.empty(), "redaction keeps the text");
    }
    return best;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    const bool oneLine = in.ConsumeBool();
    const RedactionInput input(in, in.ConsumeIntegralInRange(1, 8));
    Redaction redaction;
    redaction.learn(input.lines);
    std::string pattern = input.text.empty() ? std::string("x") : input.text;
    if (oneLine) {
        std::replace(pattern.begin(), pattern.end(), '\n', ' ');
    }
    std::string hostile;
    while (hostile.size() < kTextBytes) {
        hostile += pattern;
    }
    const std::string plain(hostile.size(), '.');
    const double budget = 30 * secondsOf(redaction, plain, 2) + 0.005;
    check(secondsOf(redaction, hostile, 1) <= budget || secondsOf(redaction, hostile, 3) <= budget,
          "redaction's time within its budget per byte");
    return 0;
}
