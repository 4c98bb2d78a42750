#pragma once

#include "platform/Owners.h"

#include <windows.h>

#include <initializer_list>
#include <string_view>

// What the service tells the Application log: a few failures that an administrator, or the
// monitoring that reads the log for them, acts on. Each is also in the service's own log,
// which stays the full record.
enum class ServiceEvent {
    StartFailed,        // a "start" was answered with an error
    NotStarted,         // the service's own start-up failed and it stopped by itself
    ShutdownUnfinished, // the shut-down did not end in time and the process ended itself
    Crashed,            // the crash report's two lines
};

// ReportEventW's own shape, so that a test can record what would be written.
using EventWriter = BOOL(WINAPI*)(HANDLE, WORD, WORD, DWORD, PSID, WORD, DWORD, LPCWSTR*, LPVOID);

// The event source "Orvanet", whose texts are the message table in Orvanet.exe. Registered
// once at start; every report may then come from any thread, the crash reporter's included.
class EventLog {
public:
    static EventLog& instance();

    // 0, or the error of RegisterEventSourceW, for the log to say once it is open; events
    // then go nowhere. Called again it only takes the new writer.
    DWORD open(EventWriter writer = &ReportEventW);

    // The texts in UTF-8, in the order of the event's insertion strings.
    bool report(ServiceEvent event, std::initializer_list<std::string_view> texts);
    // For the crash reporter: the texts as they are, nothing allocated here.
    bool report(ServiceEvent event, const wchar_t* const* texts, WORD count);

    // The message's identifier (Event Viewer shows its low 16 bits) and its type.
    static DWORD eventId(ServiceEvent event);
    static WORD eventType(ServiceEvent event);

private:
    EventLog() = default;

    EventSource source;
    EventWriter writer = &ReportEventW;
};
