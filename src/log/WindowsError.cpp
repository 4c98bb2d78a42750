#include "log/Logger.h"
#include "platform/Owners.h"

#include <windows.h>

std::string formatWindowsError(std::uint32_t code) {
    if (code == 0) {
        return "No error";
    }
    char* buffer = nullptr;
    const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS |
                                            FORMAT_MESSAGE_ALLOCATE_BUFFER,
                                        nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                                        reinterpret_cast<char*>(&buffer), 0, nullptr);
    const LocalMemory owned(buffer);
    if (length != 0 && buffer != nullptr) {
        std::string text(buffer, length);
        while (!text.empty() && (text.back() == '\r' || text.back() == '\n')) {
            text.pop_back();
        }
        return text;
    }
    return orvanet::format("Unknown error (code: {})", code);
}
