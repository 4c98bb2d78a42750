#pragma once

#include <chrono>
#include <cstddef>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// What the client talks to and how long it waits. The program uses the defaults; tests
// shorten the waits or name another service.
struct ClientSettings {
    std::wstring pipeName = L"\\\\.\\pipe\\Orvanet";
    std::wstring serviceName = L"Orvanet";
    std::chrono::milliseconds busyWait{15000};
    std::chrono::milliseconds notServedWait{2000};
    std::chrono::milliseconds responseWait{60000};
    // Far above any real answer; more is not the service talking.
    std::size_t responseLimit = 1024 * 1024;
};

// Exit statuses: the service answered "ok", answered "error", or gave no usable answer
// (also for a wrong command line, which reaches no service either).
enum ExitStatus : int { exitOk = 0, exitError = 1, exitNoAnswer = 2 };

struct CliOutput {
    int status = exitNoAnswer;
    std::string out; // the response, byte for byte
    std::string err;
};

// args are the command-line arguments after the program name.
CliOutput runCli(const std::vector<std::string>& args, const ClientSettings& settings = {});

// Writes the response and flushes it; false when either fails (a full disk, a closed pipe).
bool writeResponse(std::FILE* out, const std::string& response);

// Runs the program for its command line (argv[0] is the program) and returns its exit
// status; standard output gets the response exactly as received, standard error the rest.
int runProgram(int argc, wchar_t** argv, std::FILE* out, std::FILE* err);

// The request for a command line, or empty when the command line is not one of ours.
std::string requestFor(const std::vector<std::string>& args);

// The exit status for a response: its "status" member "ok" or "error"; anything else is
// no usable answer.
int exitStatusFor(const std::string& response);
