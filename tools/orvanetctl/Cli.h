#pragma once

#include <chrono>
#include <string>
#include <vector>

// What the client talks to and how long it waits. The program uses the defaults; tests
// shorten the waits or name another service.
struct ClientSettings {
    std::wstring pipeName = L"\\\\.\\pipe\\Orvanet";
    std::wstring serviceName = L"Orvanet";
    std::chrono::milliseconds busyWait{15000};
    std::chrono::milliseconds notServedWait{2000};
    std::chrono::milliseconds responseWait{60000};
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

// The request for a command line, or empty when the command line is not one of ours.
std::string requestFor(const std::vector<std::string>& args);

// The exit status for a response: its "status" member "ok" or "error"; anything else is
// no usable answer.
int exitStatusFor(const std::string& response);
