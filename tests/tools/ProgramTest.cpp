// The real orvanetctl.exe as a child process: exit statuses, standard output and error.
#include "ImpostorPipe.h"
#include "platform/ModuleFolder.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <filesystem>
#include <string>
#include <thread>

namespace {

struct ChildRun {
    DWORD exitCode = 0xFFFFFFFF;
    std::string out;
    std::string err;
};

std::filesystem::path program() {
    return (moduleFolder(nullptr) / ORVANETCTL_FROM_TEST).lexically_normal();
}

std::string drain(HANDLE read) {
    std::string text;
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(read, buffer, sizeof buffer, &got, nullptr) && got > 0) {
        text.append(buffer, got);
    }
    return text;
}

ChildRun run(const std::wstring& arguments) {
    ChildRun result;
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE outRead, outWrite, errRead, errWrite;
    CreatePipe(&outRead, &outWrite, &inherit, 0);
    CreatePipe(&errRead, &errWrite, &inherit, 0);
    SetHandleInformation(outRead, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(errRead, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = outWrite;
    startup.hStdError = errWrite;
    std::wstring commandLine = L"\"" + program().wstring() + L"\" " + arguments;
    PROCESS_INFORMATION process{};
    const BOOL started = CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0,
                                        nullptr, nullptr, &startup, &process);
    CloseHandle(outWrite);
    CloseHandle(errWrite);
    if (started) {
        std::thread errReader([&] { result.err = drain(errRead); });
        result.out = drain(outRead);
        errReader.join();
        WaitForSingleObject(process.hProcess, 60000);
        GetExitCodeProcess(process.hProcess, &result.exitCode);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    } else {
        ADD_FAILURE() << "cannot start " << program().string() << ": " << GetLastError();
    }
    CloseHandle(outRead);
    CloseHandle(errRead);
    return result;
}

TEST(ProgramTest, NoArgumentsPrintsUsage) {
    const ChildRun result = run(L"");
    EXPECT_EQ(result.exitCode, 2u);
    EXPECT_EQ(result.out, "");
    EXPECT_NE(result.err.find("usage: orvanetctl start|stop|active"), std::string::npos)
        << result.err;
    EXPECT_NE(result.err.find("orvanetctl send TEXT"), std::string::npos) << result.err;
}

TEST(ProgramTest, OptionsAreNotAccepted) {
    for (const wchar_t* arguments : {L"--help", L"start --pipe x", L"send", L"stop now"}) {
        const ChildRun result = run(arguments);
        EXPECT_EQ(result.exitCode, 2u);
        EXPECT_NE(result.err.find("usage:"), std::string::npos) << result.err;
    }
}

TEST(ProgramTest, NoServiceExitsTwo) {
    const ChildRun result = run(L"active");
    EXPECT_EQ(result.exitCode, 2u);
    EXPECT_EQ(result.out, "");
    EXPECT_NE(result.err.find("no service answers on \\\\.\\pipe\\Orvanet"), std::string::npos)
        << result.err;
}

TEST(ProgramTest, ImpostorIsRefused) {
    ImpostorPipe impostor(L"\\\\.\\pipe\\Orvanet");
    const ChildRun result = run(L"start");
    EXPECT_EQ(result.exitCode, 2u);
    EXPECT_EQ(result.out, "");
    EXPECT_NE(result.err.find("refusing to send"), std::string::npos) << result.err;
    EXPECT_EQ(impostor.connectionsAtLeast(1), 1);
    EXPECT_EQ(impostor.received(), "");
}

TEST(ProgramTest, TextThatIsNotUnicodeIsNeverSent) {
    ImpostorPipe impostor(L"\\\\.\\pipe\\Orvanet");
    const ChildRun result = run(L"send " + std::wstring(1, wchar_t(0xD800)));
    EXPECT_EQ(result.exitCode, 2u);
    EXPECT_EQ(result.out, "");
    EXPECT_NE(result.err.find("argument 2 is not valid Unicode text; nothing was sent"),
              std::string::npos)
        << result.err;
    EXPECT_EQ(impostor.connections(), 0);
}

} // namespace
