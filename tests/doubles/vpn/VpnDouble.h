#pragma once

#include "dns/OperationResult.h"

#include <chrono>
#include <optional>
#include <string>

// Link-time replacement of VpnService's constructor, destructor, start, stop, isRunning and
// getStatus, scripted by the test. start and stop answer the scripted result and, on
// success, move the running flag the way the real session does.
namespace vpndouble {

enum class Throws {
    Nothing,
    StdRuntimeError,
    // Something that is not a std::exception.
    NonStandard,
};

void reset();

void startAnswers(OperationResult result);
void stopAnswers(OperationResult result);
// The next calls of start throw this (with `text` for the runtime error) until reset.
void startThrows(Throws kind, std::string text = {});
void setRunning(bool running);

// start blocks once entered until release() (or reset()).
void blockStart();
// Waits until a blocked start has been entered; false if none came within `timeoutMs`.
bool waitStartEntered(int timeoutMs);
void release();

int startCalls();
int stopCalls();
// The bound the last stop was given (none: it waits as long as the engine takes).
std::optional<std::chrono::milliseconds> lastStopBound();
// The bound the last start was given for its clean-up after a failure.
std::optional<std::chrono::milliseconds> lastStartBound();
int statusCalls();

} // namespace vpndouble
