#pragma once

#include "log/EventLog.h"

#include <filesystem>
#include <string>
#include <vector>

// The Application log as a test sees it: EventLog's writer replaced by one that records each
// event, and, when a file is named, appends it there too, for a child process that ends
// before it can tell.
struct RecordedEvent {
    WORD type = 0;
    DWORD id = 0;
    std::vector<std::wstring> texts;
};

// Opens the process's EventLog with the recorder (and a clock, for its limit) and forgets
// what it recorded before.
void recordEvents(const std::filesystem::path& file = {},
                  EventLog::Clock::time_point (*now)() = &EventLog::Clock::now);
std::vector<RecordedEvent> recordedEvents();

// A recorded event as a line of the file: "TYPE ID|TEXT|TEXT", the texts in UTF-8.
std::string eventLine(const RecordedEvent& event);
// What was recorded, as such lines;
std::vector<std::string> recordedEventLines();
// and the line the service writes for `event` with these texts (UTF-8), the limit's note of
// `leftOut` events included where the event has one.
std::string expectedEventLine(ServiceEvent event, const std::vector<std::string>& texts,
                              unsigned leftOut = 0);
