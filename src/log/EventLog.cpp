#include "log/EventLog.h"

#include "log/Format.h"
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

// Every event of the service, in one place: failures, and one warning of a state that
// keeps clients away.
constexpr EventKind kEvents[] = {
    {ServiceEvent::StartFailed, MSG_START_FAILED, EVENTLOG_ERROR_TYPE},
    {ServiceEvent::NotStarted, MSG_SERVICE_NOT_STARTED, EVENTLOG_ERROR_TYPE},
    {ServiceEvent::ShutdownUnfinished, MSG_SHUTDOWN_UNFINISHED, EVENTLOG_ERROR_TYPE},
    {ServiceEvent::Crashed, MSG_SERVICE_CRASHED, EVENTLOG_ERROR_TYPE},
    {ServiceEvent::PipeNameHeld, MSG_PIPE_NAME_HELD, EVENTLOG_WARNING_TYPE},
};

std::size_t indexOf(ServiceEvent event) {
    for (std::size_t i = 0; i < std::size(kEvents); ++i) {
        if (kEvents[i].event == event) {
            return i;
        }
    }
    return 0;
}

const EventKind& kindOf(ServiceEvent event) {
    return kEvents[indexOf(event)];
}

} // namespace

EventLog& EventLog::instance() {
    static EventLog log;
    return log;
}

DWORD EventLog::open(EventWriter replacement, Clock::time_point (*clock)()) {
    writer = replacement;
    {
        std::lock_guard lock(limitMutex);
        now = clock;
        limits = {};
    }
    if (source) {
        return 0;
    }
    source.reset(RegisterEventSourceW(nullptr, kSourceName));
    return source ? 0 : GetLastError();
}

bool EventLog::admit(ServiceEvent event, unsigned& leftOut) {
    std::lock_guard lock(limitMutex);
    Limit& limit = limits[indexOf(event)];
    const Clock::time_point at = now();
    if (limit.written && at - limit.last < kEventInterval) {
        ++limit.leftOut;
        return false;
    }
    leftOut = limit.leftOut;
    limit = {true, at, 0};
    return true;
}

std::string EventLog::leftOutNote(unsigned count) {
    if (count == 0) {
        return {};
    }
    return orvanet::format("\r\n\r\n{} more like this since the last one were not written: "
                           "the service writes one every {} minutes at most.",
                           count, kEventInterval.count());
}

bool EventLog::report(ServiceEvent event, std::initializer_list<std::string_view> texts) {
    unsigned leftOut = 0;
    if (!admit(event, leftOut)) {
        return false;
    }
    std::vector<std::wstring> wide;
    wide.reserve(texts.size() + 1);
    for (const std::string_view text : texts) {
        wide.push_back(toUtf16(text));
    }
    wide.push_back(toUtf16(leftOutNote(leftOut)));
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
