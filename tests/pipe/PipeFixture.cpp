#include "PipeFixture.h"

#include "platform/Utf8.h"

#include <windows.h>

namespace {

// As the client line writes them.
std::string utf8(const std::wstring& text) {
    return toUtf8(text, InvalidText::Replace).value_or(std::string());
}

} // namespace

std::string ownProgram() {
    wchar_t program[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, program, MAX_PATH);
    return utf8(program);
}

std::string ownClientLine() {
    wchar_t user[256] = {};
    DWORD userLength = 256;
    GetUserNameW(user, &userLength);
    BYTE sid[SECURITY_MAX_SID_SIZE] = {};
    DWORD sidSize = sizeof sid;
    wchar_t domain[256] = {};
    DWORD domainLength = 256;
    SID_NAME_USE use{};
    LookupAccountNameW(nullptr, user, sid, &sidSize, domain, &domainLength, &use);
    return "PipeServer - Client: process " + std::to_string(GetCurrentProcessId()) + ", program " +
           ownProgram() + ", account " + utf8(domain) + "\\" + utf8(user);
}

void PipeFixture::SetUp() {
    vpndouble::reset();
    ASSERT_TRUE(Logger::instance().initialize(folder.path() / "pipe.log"));
}

void PipeFixture::TearDown() {
    server.reset();
    vpndouble::release();
    Logger::instance().close();
}

std::vector<LogLine> PipeFixture::lines() const {
    std::vector<LogLine> result;
    for (const auto& line : readLines(folder.path() / "pipe.log")) {
        const std::string message = messageOf(line);
        if (line.empty() || message == "=== Service logging initialized ===") {
            continue;
        }
        result.push_back({levelOf(line), message});
    }
    return result;
}

std::vector<std::string> PipeFixture::messages() const {
    std::vector<std::string> result;
    for (const auto& line : lines()) {
        result.push_back(line.message);
    }
    return result;
}

int PipeFixture::count(const std::string& message) const {
    int n = 0;
    for (const auto& text : messages()) {
        n += text == message ? 1 : 0;
    }
    return n;
}

int PipeFixture::find(const std::string& message, int from) const {
    const auto all = messages();
    for (int i = from; i < static_cast<int>(all.size()); ++i) {
        if (all[i] == message) {
            return i;
        }
    }
    return -1;
}

bool PipeFixture::waitForLine(const std::string& message) const {
    for (int attempt = 0; attempt < 1000; ++attempt) {
        if (find(message) >= 0) {
            return true;
        }
        Sleep(10);
    }
    return false;
}

bool PipeFixture::waitForLineStartingWith(const std::string& prefix) const {
    for (int attempt = 0; attempt < 1000; ++attempt) {
        for (const auto& text : messages()) {
            if (text.starts_with(prefix)) {
                return true;
            }
        }
        Sleep(10);
    }
    return false;
}

bool PipeFixture::waitForCount(const std::string& message, int n) const {
    for (int attempt = 0; attempt < 1000; ++attempt) {
        if (count(message) >= n) {
            return true;
        }
        Sleep(10);
    }
    return false;
}

void ServedPipe::SetUp() {
    PipeFixture::SetUp();
    ASSERT_TRUE(server->start());
    ASSERT_EQ(R"({"message":"inactive","running":false,"status":"ok"})",
              pipeclient::exchange(R"({"command":"active"})"));
    ASSERT_TRUE(waitForLine("PipeServer - Response sent, length: 52"));
}
