// The real orvanetctl.exe as a child process: exit statuses, standard output and error.
#include "ImpostorPipe.h"
#include "platform/ModuleFolder.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

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

// The libraries an image's import directory names, in lower case: the loader resolves them
// before main runs, looking beside the program first.
std::vector<std::string> loadTimeImports(const std::filesystem::path& image) {
    std::ifstream in(image, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(bytes.data());
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS64*>(bytes.data() + dos->e_lfanew);
    const IMAGE_SECTION_HEADER* sections = IMAGE_FIRST_SECTION(nt);
    const auto at = [&](DWORD rva) {
        for (WORD i = 0; i < nt->FileHeader.NumberOfSections; ++i) {
            const auto& section = sections[i];
            if (rva >= section.VirtualAddress &&
                rva < section.VirtualAddress + section.Misc.VirtualSize) {
                return bytes.data() + (rva - section.VirtualAddress + section.PointerToRawData);
            }
        }
        return static_cast<const char*>(nullptr);
    };
    std::vector<std::string> names;
    const auto* entry = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(
        at(nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT].VirtualAddress));
    for (; entry != nullptr && entry->Name != 0 && at(entry->Name) != nullptr; ++entry) {
        std::string name = at(entry->Name);
        std::transform(name.begin(), name.end(), name.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        names.push_back(name);
    }
    return names;
}

// version.dll and iphlpapi.dll are not among the libraries the platform always takes from
// System32: loaded at start, a copy beside orvanetctl.exe (a Downloads folder) would run. They
// are loaded on first use, where main's pinned search allows (e2e_collect reads versions
// through one, e2e_dns_leaks the network through the other).
TEST(ProgramTest, VersionDllIsNotLoadedBeforeMain) {
    const auto imports = loadTimeImports(program());
    EXPECT_NE(std::find(imports.begin(), imports.end(), "kernel32.dll"), imports.end());
    for (const char* library : {"version.dll", "iphlpapi.dll"}) {
        EXPECT_EQ(std::find(imports.begin(), imports.end(), library), imports.end()) << library;
    }
}

} // namespace
