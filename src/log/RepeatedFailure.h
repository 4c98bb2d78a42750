#pragma once

#include <chrono>

// A failure that a loop meets again every second for as long as its cause lasts (another
// process holding the pipe's name, say): the first is logged whole, the others are counted and
// summed up in one line at growing intervals (after a minute, then two, four... at most an
// hour apart), and its end is one line more. A day of it is some thirty lines, not 86,400.
class RepeatedFailure {
public:
    using Clock = std::chrono::steady_clock;

    enum class Say {
        Whole,   // the first of a run: log it as it is
        Nothing, // counted
        Summary, // log the count since the last line said anything
    };

    // One more failure at `at`.
    Say failed(Clock::time_point at);
    // Once, the first time the run has lasted `bound` by `at`; false before and after.
    bool outlasted(std::chrono::seconds bound, Clock::time_point at);
    // The failures the last summary sums up (those since the line before it), and how long the
    // run has lasted.
    unsigned summed() const { return lastSummed; }
    Clock::duration lasted(Clock::time_point at) const { return at - began; }
    // The call succeeded: the failures of the run that ends here (0: there was none), and the
    // next failure begins a new run.
    unsigned ended();

    static constexpr std::chrono::minutes kFirstSummary{1};
    static constexpr std::chrono::minutes kLongestGap{60};

private:
    unsigned failures = 0;
    unsigned unsaid = 0;
    unsigned lastSummed = 0;
    Clock::time_point began{};
    Clock::time_point nextSummary{};
    Clock::duration gap{};
    bool outlastReported = false;
};
