#pragma once

#include "platform/Owners.h"

#include <windows.h>

#include <array>
#include <chrono>
#include <initializer_list>
#include <mutex>
#include <string>
#include <string_view>

// What the service tells the Application log: a few failures that an administrator, or the
// monitoring that reads the log for them, acts on. Each is also in the service's own log,
// which stays the full record.
enum class ServiceEvent {
    StartFailed,        // a "start" was answered with an error
    NotStarted,         // the service's own start-up failed and it stopped by itself
    ShutdownUnfinished, // the shut-down did not end in time and the process ended itself
    Crashed,            // the crash report's two lines
    PipeNameHeld,       // another process has held the pipe's name for over a minute
};

// At most one event of each kind is written in this time, so that nothing a client or a
// failure that repeats can do pushes other programs' events out of the Application log; the
// next one written says how many were left out.
inline constexpr std::chrono::minutes kEventInterval{10};

// ReportEventW's own shape, so that a test can record what would be written.
using EventWriter = BOOL(WINAPI*)(HANDLE, WORD, WORD, DWORD, PSID, WORD, DWORD, LPCWSTR*, LPVOID);

// The event source "Orvanet", whose texts are the message table in Orvanet.exe. Registered
// once at start; every report may then come from any thread, the crash reporter's included.
class EventLog {
public:
    static EventLog& instance();

    using Clock = std::chrono::steady_clock;

    // 0, or the error of RegisterEventSourceW, for the log to say once it is open; events
    // then go nowhere. Called again it only takes the new writer (and the clock), and the
    // limit starts afresh.
    DWORD open(EventWriter writer = &ReportEventW, Clock::time_point (*now)() = &Clock::now);

    // The texts in UTF-8, in the order of the event's insertion strings; the note of what
    // was left out is added as the last one. False when it was not written, the limit's
    // leaving out included.
    bool report(ServiceEvent event, std::initializer_list<std::string_view> texts);
    // For the crash reporter: the texts as they are, nothing allocated or locked here, and
    // no limit (a crash ends the process).
    bool report(ServiceEvent event, const wchar_t* const* texts, WORD count);

    // The last insertion string of a limited event: empty, or how many were left out.
    static std::string leftOutNote(unsigned count);

    // The message's identifier (Event Viewer shows its low 16 bits) and its type.
    static DWORD eventId(ServiceEvent event);
    static WORD eventType(ServiceEvent event);

private:
    EventLog() = default;

    // False: left out, counted for the next one of its kind, whose count is then `leftOut`.
    bool admit(ServiceEvent event, unsigned& leftOut);

    struct Limit {
        bool written = false;
        Clock::time_point last{};
        unsigned leftOut = 0;
    };

    EventSource source;
    EventWriter writer = &ReportEventW;
    Clock::time_point (*now)() = &Clock::now;
    std::mutex limitMutex;
    std::array<Limit, 5> limits{};
};
