#include "log/RepeatedFailure.h"

#include <algorithm>

RepeatedFailure::Say RepeatedFailure::failed(Clock::time_point at) {
    if (failures++ == 0) {
        began = at;
        gap = kFirstSummary;
        nextSummary = at + gap;
        unsaid = 0;
        outlastReported = false;
        return Say::Whole;
    }
    ++unsaid;
    if (at < nextSummary) {
        return Say::Nothing;
    }
    gap = std::min<Clock::duration>(gap * 2, kLongestGap);
    nextSummary = at + gap;
    lastSummed = unsaid;
    unsaid = 0;
    return Say::Summary;
}

bool RepeatedFailure::outlasted(std::chrono::seconds bound, Clock::time_point at) {
    if (failures == 0 || outlastReported || at - began < bound) {
        return false;
    }
    outlastReported = true;
    return true;
}

unsigned RepeatedFailure::ended() {
    const unsigned count = failures;
    failures = 0;
    unsaid = 0;
    return count;
}
