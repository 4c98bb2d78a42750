#pragma once

#include <mutex>
#include <ostream>
#include <string>
#include <vector>

// Captures what the process sends to OutputDebugStringA, the way a debugger sees it:
// a vectored exception handler takes the DBG_PRINTEXCEPTION_C that the call raises.
// One capture at a time; texts are recorded whole, in the order of the calls.
class DebugCapture {
public:
    DebugCapture();
    ~DebugCapture();
    DebugCapture(const DebugCapture&) = delete;
    DebugCapture& operator=(const DebugCapture&) = delete;

    std::vector<std::string> texts() const;
    void clear();

private:
    void* handler = nullptr;
};

// A captured log line, split into its level and message.
struct LogLine {
    std::string level;
    std::string message;
    bool operator==(const LogLine&) const = default;
};

std::ostream& operator<<(std::ostream& out, const LogLine& line);

// The log lines among the captured texts, in order, without the "[Orvanet] " mirror prefix
// and the line end.
std::vector<LogLine> capturedLines(const DebugCapture& capture);
