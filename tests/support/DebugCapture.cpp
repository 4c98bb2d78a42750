#include "support/DebugCapture.h"
#include "support/TestFiles.h"

#include <windows.h>

namespace {

std::mutex g_mutex;
std::vector<std::string> g_texts;

LONG CALLBACK onException(EXCEPTION_POINTERS* info) {
    const EXCEPTION_RECORD* record = info->ExceptionRecord;
    if (record->ExceptionCode != DBG_PRINTEXCEPTION_C || record->NumberParameters < 2) {
        return EXCEPTION_CONTINUE_SEARCH;
    }
    const auto length = static_cast<size_t>(record->ExceptionInformation[0]);
    const auto* text = reinterpret_cast<const char*>(record->ExceptionInformation[1]);
    // The length counts the terminating NUL.
    std::string copy(text, length > 0 ? length - 1 : 0);
    {
        std::lock_guard lock(g_mutex);
        g_texts.push_back(std::move(copy));
    }
    return EXCEPTION_CONTINUE_EXECUTION;
}

} // namespace

DebugCapture::DebugCapture() {
    clear();
    handler = AddVectoredExceptionHandler(1, onException);
}

DebugCapture::~DebugCapture() {
    if (handler != nullptr) {
        RemoveVectoredExceptionHandler(handler);
    }
}

std::vector<std::string> DebugCapture::texts() const {
    std::lock_guard lock(g_mutex);
    return g_texts;
}

void DebugCapture::clear() {
    std::lock_guard lock(g_mutex);
    g_texts.clear();
}

std::ostream& operator<<(std::ostream& out, const LogLine& line) {
    return out << "[" << line.level << "] " << line.message;
}

std::vector<LogLine> capturedLines(const DebugCapture& capture) {
    std::vector<LogLine> lines;
    for (std::string text : capture.texts()) {
        const std::string prefix = "[Orvanet] ";
        if (text.rfind(prefix, 0) == 0) {
            text.erase(0, prefix.size());
        }
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
            text.pop_back();
        }
        lines.push_back({levelOf(text), messageOf(text)});
    }
    return lines;
}
