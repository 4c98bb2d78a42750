#include "log/EventLog.h"

#include "platform/Utf8.h"

#include "ServiceEvents.h" // generated from ServiceEvents.mc

#include <string>
#include <vector>

namespace {

constexpr wchar_t kSourceName[] = L"Orvanet";

struct EventKind {
    ServiceEvent event;
    DWORD id;
    WORD type;
};

// Every event of the service, in one place: all are failures.
constexpr EventKind kEvents[] = {
    {ServiceEvent::StartFailed, MSG_START_FAILED, EVENTLOG_ERROR_TYPE},
    {ServiceEvent::NotStarted, MSG_SERVICE_NOT_STARTED, EVENTLOG_ERROR_TYPE},
    {ServiceEvent::ShutdownUnfinished, MSG_SHUTDOWN_UNFINISHED, EVENTLOG_ERROR_TYPE},
    {ServiceEvent::Crashed, MSG_SERVICE_CRASHED, EVENTLOG_ERROR_TYPE},
};

const EventKind& kindOf(ServiceEvent event) {
    for (const EventKind& kind : kEvents) {
        if (kind.event == event) {
            return kind;
        }
    }
    return kEvents[0];
}

} // namespace

EventLog& EventLog::instance() {
    static EventLog log;
    return log;
}

DWORD EventLog::open(EventWriter replacement) {
    writer = replacement;
    if (source) {
        return 0;
    }
    source.reset(RegisterEventSourceW(nullptr, kSourceName));
    return source ? 0 : GetLastError();
}

bool EventLog::report(ServiceEvent event, std::initializer_list<std::string_view> texts) {
    std::vector<std::wstring> wide;
    wide.reserve(texts.size());
    for (const std::string_view text : texts) {
        wide.push_back(toUtf16(text));
    }
    std::vector<const wchar_t*> strings;
    strings.reserve(wide.size());
    for (const std::wstring& text : wide) {
        strings.push_back(text.c_str());
    }
    return report(event, strings.data(), static_cast<WORD>(strings.size()));
}

bool EventLog::report(ServiceEvent event, const wchar_t* const* texts, WORD count) {
    if (!source) {
        return false;
    }
    const EventKind& kind = kindOf(event);
    // The platform's declaration takes the strings as non-const; it does not change them.
    return writer(source.get(), kind.type, 0, kind.id, nullptr, count, 0,
                  const_cast<LPCWSTR*>(texts), nullptr) != FALSE;
}

DWORD EventLog::eventId(ServiceEvent event) {
    return kindOf(event).id;
}

WORD EventLog::eventType(ServiceEvent event) {
    return kindOf(event).type;
}
