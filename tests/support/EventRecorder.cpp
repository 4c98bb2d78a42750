#include "support/EventRecorder.h"

#include "platform/Utf8.h"

#include <cstdio>
#include <mutex>

namespace {

std::mutex g_mutex;
std::vector<RecordedEvent> g_events;
std::filesystem::path g_file;

BOOL WINAPI record(HANDLE /*source*/, WORD type, WORD /*category*/, DWORD id, PSID /*user*/,
                   WORD count, DWORD /*size*/, LPCWSTR* texts, LPVOID /*data*/) {
    RecordedEvent event{type, id, {}};
    for (WORD i = 0; i < count; ++i) {
        event.texts.emplace_back(texts[i]);
    }
    std::lock_guard lock(g_mutex);
    if (!g_file.empty()) {
        if (FILE* file = _wfopen(g_file.c_str(), L"ab")) {
            std::fputs(eventLine(event).c_str(), file);
            std::fputc('\n', file);
            std::fclose(file);
        }
    }
    g_events.push_back(std::move(event));
    return TRUE;
}

} // namespace

void recordEvents(const std::filesystem::path& file, EventLog::Clock::time_point (*now)()) {
    {
        std::lock_guard lock(g_mutex);
        g_events.clear();
        g_file = file;
    }
    EventLog::instance().open(&record, now);
}

std::vector<RecordedEvent> recordedEvents() {
    std::lock_guard lock(g_mutex);
    return g_events;
}

std::vector<std::string> recordedEventLines() {
    std::vector<std::string> lines;
    for (const RecordedEvent& event : recordedEvents()) {
        lines.push_back(eventLine(event));
    }
    return lines;
}

std::string expectedEventLine(ServiceEvent event, const std::vector<std::string>& texts,
                              unsigned leftOut) {
    RecordedEvent expected{EventLog::eventType(event), EventLog::eventId(event), {}};
    for (const std::string& text : texts) {
        expected.texts.push_back(toUtf16(text));
    }
    // The crash report's event is written without the limit, and so without its note.
    if (event != ServiceEvent::Crashed) {
        expected.texts.push_back(toUtf16(EventLog::leftOutNote(leftOut)));
    }
    return eventLine(expected);
}

std::string eventLine(const RecordedEvent& event) {
    char head[32];
    std::snprintf(head, sizeof head, "%u 0x%08lX", static_cast<unsigned>(event.type),
                  static_cast<unsigned long>(event.id));
    std::string line = head;
    for (const std::wstring& text : event.texts) {
        line += '|';
        line += toUtf8(text, InvalidText::Replace).value_or(std::string());
    }
    return line;
}
