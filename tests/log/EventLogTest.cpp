// The service's events as Event Viewer shows them: each case's type and identifier, and its
// text formatted from the message table that Orvanet.exe carries, with the service's strings.
#include "support/EventRecorder.h"

#include "log/EventLog.h"
#include "platform/ModuleFolder.h"
#include "platform/Owners.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;

std::wstring shownText(HMODULE messages, const RecordedEvent& event) {
    std::vector<DWORD_PTR> arguments;
    for (const std::wstring& text : event.texts) {
        arguments.push_back(reinterpret_cast<DWORD_PTR>(text.c_str()));
    }
    wchar_t* text = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ALLOCATE_BUFFER |
            FORMAT_MESSAGE_ARGUMENT_ARRAY,
        messages, event.id, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US),
        reinterpret_cast<wchar_t*>(&text), 0, reinterpret_cast<va_list*>(arguments.data()));
    const LocalMemory owned(text);
    return length == 0 ? L"(no message " + std::to_wstring(event.id) + L")"
                       : std::wstring(text, length);
}

TEST(EventLogTest, EachCaseWritesItsEventWithTheServicesTextFromTheMessageTable) {
    const auto program = (moduleFolder(nullptr) / ORVANET_FROM_TEST).lexically_normal();
    const UniqueModule messages(LoadLibraryExW(
        program.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE));
    ASSERT_TRUE(messages) << program << ": " << GetLastError();
    const struct {
        ServiceEvent event;
        std::vector<std::string> texts;
        unsigned short shownId; // the low 16 bits, Event Viewer's "Event ID"
        std::wstring shown;
    } cases[] = {
        {ServiceEvent::StartFailed,
         {"FwpmEngineOpen0 failed: 1764"},
         1,
         L"The VPN could not be started: FwpmEngineOpen0 failed: 1764\r\n\r\nThe client was given "
         L"this answer. The steps that led to it are in the service's log, before the "
         L"\"Response sent\" line of this start.\r\n"},
        // A text is shown as given: a path beyond ASCII, and a "%1" that is not expanded again.
        {ServiceEvent::NotStarted,
         {"Exception during startup: C:\\Users\\Zo\xc3\xab\\Temp is not a folder %1"},
         2,
         L"The Orvanet service could not start and has stopped: Exception during startup: "
         L"C:\\Users\\Zo\u00eb\\Temp is not a folder %1\r\n\r\nNo VPN can be started until the "
         L"service runs. The service's log, if one could be opened, holds the steps before "
         L"it.\r\n"},
        {ServiceEvent::ShutdownUnfinished,
         {"30", "VpnService::stop (the tunnel engine has not ended)"},
         3,
         L"The Orvanet service's shut-down did not finish within 30 seconds, still waiting for "
         L"VpnService::stop (the tunnel engine has not ended). The service ended its own process; "
         L"its DNS filters were removed with it.\r\n"},
        {ServiceEvent::PipeNameHeld,
         {"CreateNamedPipe: Code 0x00000005 - Access denied."},
         5,
         L"Clients cannot reach the Orvanet service: another process has held the name of its "
         L"pipe, \\\\.\\pipe\\Orvanet, for over a minute (CreateNamedPipe: Code 0x00000005 - "
         L"Access denied.). Until it lets go no client can start, stop or ask about the VPN; the "
         L"usual holder is a second copy of the service, or a program posing as it. The "
         L"service's log says when the pipe is made again.\r\n"},
        {ServiceEvent::Crashed,
         {"Unhandled exception 0xC0000005 at tun2proxy.dll+0x1A2B; writing crash dump "
          "Orvanet_crash_20261209_100000_12.dmp",
          "Crash dump written: Orvanet_crash_20261209_100000_12.dmp (84213 bytes)"},
         4,
         L"The Orvanet service crashed and its process ended; its DNS filters were removed with "
         L"it.\r\n\r\nUnhandled exception 0xC0000005 at tun2proxy.dll+0x1A2B; writing crash dump "
         L"Orvanet_crash_20261209_100000_12.dmp\r\nCrash dump written: "
         L"Orvanet_crash_20261209_100000_12.dmp (84213 bytes)\r\n\r\nThe crash log and the dump "
         L"are in the service's log folder.\r\n"},
    };
    std::set<DWORD> ids;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.shownId);
        recordEvents();
        if (c.texts.size() == 1) {
            EXPECT_TRUE(EventLog::instance().report(c.event, {c.texts[0]}));
        } else {
            EXPECT_TRUE(EventLog::instance().report(c.event, {c.texts[0], c.texts[1]}));
        }
        const std::vector<RecordedEvent> events = recordedEvents();
        ASSERT_EQ(1u, events.size());
        // Every event is a failure, an error, but the pipe's name held, a warning; and so is
        // its message's severity.
        const bool warning = c.event == ServiceEvent::PipeNameHeld;
        EXPECT_EQ(warning ? EVENTLOG_WARNING_TYPE : EVENTLOG_ERROR_TYPE, events[0].type);
        EXPECT_EQ(warning ? 2u : 3u, events[0].id >> 30);
        EXPECT_EQ(c.shownId, events[0].id & 0xFFFF);
        EXPECT_EQ(c.shown, shownText(messages.get(), events[0]));
        ids.insert(events[0].id);
    }
    EXPECT_EQ(std::size(cases), ids.size());
}

EventLog::Clock::time_point g_now;
EventLog::Clock::time_point testNow() {
    return g_now;
}

// At most one event of a kind in ten minutes: the others are counted, and the next one
// written says how many were left out, in its text as Event Viewer shows it. Kinds are
// limited apart; the crash report's event is not limited.
TEST(EventLogTest, OneEventOfAKindInTenMinutesTheNextSayingHowManyWereLeftOut) {
    const auto program = (moduleFolder(nullptr) / ORVANET_FROM_TEST).lexically_normal();
    const UniqueModule messages(LoadLibraryExW(
        program.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE));
    ASSERT_TRUE(messages) << program << ": " << GetLastError();
    g_now = EventLog::Clock::time_point{} + std::chrono::hours(1);
    const auto start = g_now;
    recordEvents({}, &testNow);
    const struct {
        std::chrono::seconds at;
        ServiceEvent event;
        bool written;
        unsigned leftOut; // the count its note gives, when written
    } steps[] = {
        {0s, ServiceEvent::StartFailed, true, 0},    {60s, ServiceEvent::StartFailed, false, 0},
        {300s, ServiceEvent::StartFailed, false, 0}, {300s, ServiceEvent::PipeNameHeld, true, 0},
        {599s, ServiceEvent::StartFailed, false, 0}, {600s, ServiceEvent::StartFailed, true, 3},
        {601s, ServiceEvent::StartFailed, false, 0}, {601s, ServiceEvent::Crashed, true, 0},
        {601s, ServiceEvent::Crashed, true, 0},      {1500s, ServiceEvent::StartFailed, true, 1},
    };
    std::size_t written = 0;
    for (const auto& step : steps) {
        SCOPED_TRACE(step.at.count());
        g_now = start + step.at;
        if (step.event == ServiceEvent::Crashed) {
            const wchar_t* lines[] = {L"first", L"second"};
            EXPECT_TRUE(EventLog::instance().report(step.event, lines, 2));
        } else {
            EXPECT_EQ(step.written, EventLog::instance().report(step.event, {"text"}));
        }
        const std::vector<RecordedEvent> events = recordedEvents();
        ASSERT_EQ(written + (step.written ? 1 : 0), events.size());
        if (!step.written) {
            continue;
        }
        ++written;
        if (step.event != ServiceEvent::Crashed) {
            EXPECT_EQ(expectedEventLine(step.event, {"text"}, step.leftOut),
                      eventLine(events.back()));
        }
    }
    // As shown: the note ends the text.
    const std::wstring shown = shownText(messages.get(), recordedEvents()[2]);
    EXPECT_TRUE(shown.ends_with(L"line of this start.\r\n\r\n3 more like this since the last "
                                L"one were not written: the service writes one every 10 minutes "
                                L"at most.\r\n"))
        << std::string(shown.begin(), shown.end());
    recordEvents();
}

} // namespace
