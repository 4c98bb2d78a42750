#include "pipe/PipeServer.h"

#include "log/EventLog.h"
#include "log/Logger.h"
#include "log/RepeatedFailure.h"
#include "pipe/ClientIdentity.h"
#include "pipe/PipeConstants.h"
#include "pipe/PipeIo.h"
#include "pipe/PipeSecurity.h"
#include "pipe/RequestText.h"

#include <chrono>
#include <exception>
#include <memory>
#include <optional>
#include <string>

namespace {

void reportFailure(std::string_view label, const IoResult& result) {
    if (result.status == IoStatus::TimedOut) {
        logError("PipeServer - {} timed out after {} ms", label, pipeconst::pipeIoTimeoutMs);
    } else if (result.status == IoStatus::Failed) {
        Logger::instance().logWindowsError(label, result.error);
    }
    // A stop needs no line of its own: the stop lines follow.
}

// A creation that joined a pipe another process already serves under the name. The
// first-instance flag refuses that, but not every platform enforces the flag (Wine does
// not); such an instance then carries the other pipe's instance limit instead of ours.
bool joinedForeignPipe(HANDLE instance) {
    DWORD maxInstances = 0;
    return !GetNamedPipeInfo(instance, nullptr, nullptr, nullptr, &maxInstances) ||
           maxInstances != 1;
}

// Whether the handle is still a pipe instance of ours, whatever state its connection is in.
bool stillAnInstance(HANDLE instance) {
    return GetNamedPipeInfo(instance, nullptr, nullptr, nullptr, nullptr) != 0;
}

// The instance, or none and the error that kept it from being made.
UniqueHandle createInstance(SECURITY_ATTRIBUTES* attributes, DWORD& error) {
    UniqueHandle instance(CreateNamedPipeW(pipeconst::pipeName, pipeconst::openMode,
                                           pipeconst::pipeMode, 1, pipeconst::bufferSize,
                                           pipeconst::bufferSize, 0, attributes));
    if (!instance) {
        error = GetLastError();
    } else if (joinedForeignPipe(instance.get())) {
        // Reported as the flag would have it reported.
        error = ERROR_ACCESS_DENIED;
        instance.reset();
    }
    return instance;
}

// Another process (a second copy of the service, or one posing as it) holding the name makes
// the creation fail every second for as long as it holds it: the first failure is a line, the
// rest are summed up now and then, and a minute of it is also a warning for administrators,
// since clients reach the other process or nothing.
void reportRepeated(RepeatedFailure& failures, std::string_view label, DWORD error,
                    RepeatedFailure::Clock::time_point now) {
    switch (failures.failed(now)) {
    case RepeatedFailure::Say::Whole:
        Logger::instance().logWindowsError(label, error);
        break;
    case RepeatedFailure::Say::Summary:
        logError("PipeServer - {} failed {} more times over {} s, the last with Code 0x{:08X} - "
                 "{}; trying again every second",
                 label, failures.summed(),
                 std::chrono::duration_cast<std::chrono::seconds>(failures.lasted(now)).count(),
                 error, formatWindowsError(error));
        break;
    case RepeatedFailure::Say::Nothing:
        break;
    }
}

void reportCreationFailure(RepeatedFailure& failures, DWORD error) {
    const RepeatedFailure::Clock::time_point now = RepeatedFailure::Clock::now();
    reportRepeated(failures, "CreateNamedPipe", error, now);
    const bool nameHeld = error == ERROR_ACCESS_DENIED || error == ERROR_PIPE_BUSY;
    if (failures.outlasted(pipeconst::nameHeldBound, now) && nameHeld) {
        Logger::instance().log(LogLevel::Warn,
                               "PipeServer - Another process has held the pipe's name for over "
                               "{} s; clients cannot reach the service",
                               pipeconst::nameHeldBound.count());
        EventLog::instance().report(ServiceEvent::PipeNameHeld,
                                    {orvanet::format("CreateNamedPipe: Code 0x{:08X} - {}", error,
                                                     formatWindowsError(error))});
    }
}

} // namespace

PipeServer::PipeServer(VpnService* vpnService) : vpnService(vpnService) {}

PipeServer::~PipeServer() {
    try {
        stop();
    } catch (...) {
        // A destructor must not throw; stop() only throws when called from the server
        // thread itself, which nothing does.
    }
}

bool PipeServer::start() {
    if (running.load()) {
        return true;
    }
    if (!stopEvent) {
        stopEvent.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        if (!stopEvent) {
            Logger::instance().logWindowsError("CreateEvent", GetLastError());
            return false;
        }
    }
    ResetEvent(stopEvent.get());
    stopRequested.store(false);
    running.store(true);
    try {
        serverThread = std::thread(&PipeServer::serverLoop, this);
    } catch (...) {
        running.store(false);
        throw;
    }
    logInfo("PipeServer started");
    return true;
}

void PipeServer::stop() {
    if (!running.load()) {
        return;
    }
    logInfo("PipeServer stopping...");
    stopRequested.store(true);
    SetEvent(stopEvent.get());
    if (serverThread.joinable()) {
        serverThread.join();
    }
    running.store(false);
    logInfo("PipeServer stopped");
}

void PipeServer::serverLoop() {
    logInfo("PipeServer::serverLoop - Thread started");
    {
        PipeSecurity security;
        FlushThread flusher;
        UniqueHandle instance;
        // Made once for the instance and the loop, not per client: the event and the
        // buffer were a measurable part of an exchange. The buffer is not filled in
        // advance, so that only the pages a request lands in ever take memory.
        std::optional<PipeIo> io;
        const auto buffer = std::make_unique_for_overwrite<char[]>(pipeconst::bufferSize);
        RepeatedFailure failedCreations;
        RepeatedFailure failedEvents;
        while (!stopRequested.load()) {
            if (!instance) {
                io.reset();
                DWORD error = 0;
                instance = createInstance(security.attributes(), error);
                if (!instance) {
                    reportCreationFailure(failedCreations, error);
                    WaitForSingleObject(stopEvent.get(), pipeconst::createRetryPauseMs);
                    continue;
                }
                if (const unsigned failed = failedCreations.ended(); failed > 0) {
                    logInfo("PipeServer - Pipe created after {} failed attempts; this process "
                            "serves it from now on",
                            failed);
                }
            }
            if (!io) {
                io.emplace(instance.get(), stopEvent.get(), flusher);
            }
            if (!io->usable()) {
                reportRepeated(failedEvents, "CreateEvent", GetLastError(),
                               RepeatedFailure::Clock::now());
                io.reset();
                WaitForSingleObject(stopEvent.get(), pipeconst::createRetryPauseMs);
                continue;
            }
            if (const unsigned failed = failedEvents.ended(); failed > 0) {
                logInfo("PipeServer - CreateEvent succeeded after {} failed attempts", failed);
            }
            DWORD error = 0;
            switch (io->waitForClient(error)) {
            case ConnectStatus::Failed:
                // Closing the instance would free the name for any process to take. It is
                // kept and waits again; only a handle that is itself unusable is replaced.
                if (stillAnInstance(instance.get())) {
                    DisconnectNamedPipe(instance.get());
                    WaitForSingleObject(stopEvent.get(), pipeconst::createRetryPauseMs);
                } else {
                    instance.reset();
                }
                continue;
            case ConnectStatus::Stopped:
                continue;
            case ConnectStatus::ClientGone:
                DisconnectNamedPipe(instance.get());
                continue;
            case ConnectStatus::Connected:
                break;
            }
            if (!stopRequested.load()) {
                try {
                    serveClient(*io, buffer.get());
                } catch (const std::exception& e) {
                    logError("PipeServer - Client handling failed: {}", e.what());
                } catch (...) {
                    logError("PipeServer - Client handling failed: unknown exception");
                }
            }
            // The same instance waits for the next client.
            DisconnectNamedPipe(instance.get());
        }
    }
    logInfo("PipeServer::serverLoop - Thread exiting");
}

void PipeServer::serveClient(PipeIo& io, char* buffer) {
    logInfo("PipeServer - Client connected");
    const IoResult received =
        io.read(buffer, pipeconst::requestReadLimit, pipeconst::pipeIoTimeoutMs);
    // Every local account may drive the VPN: the log says who asked. After the read, since
    // the client's token is only available once something was read from it.
    logInfo("{}", describeClient(io.handle()));
    if (received.status != IoStatus::Done) {
        reportFailure("ReadFile from pipe", received);
        return;
    }
    const std::string_view text = trimLineEnds(std::string_view(buffer, received.bytes));
    logInfo("PipeServer - Received command, length: {}", text.size());
    Logger::instance().log(LogLevel::Debug, "PipeServer - Command: {}", excerpt(text));

    const nlohmann::json response = answer(text);
    // The client's answer is not in the log otherwise, and support gets only the log.
    if (response.value("status", "") == "error") {
        Logger::instance().log(LogLevel::Warn, "PipeServer - Answered with an error: {}",
                               excerpt(response.value("message", "")));
    }
    const std::string wire = serialiseResponse(response);
    const IoResult written =
        io.write(wire.data(), static_cast<DWORD>(wire.size()), pipeconst::pipeIoTimeoutMs);
    if (written.status != IoStatus::Done) {
        reportFailure("WriteFile to pipe", written);
        return;
    }
    // The disconnect that follows drops what the client has not read yet, so the response
    // counts as sent only once the client has it. A flush that fails for another reason
    // (the client read and closed) does not make it unsent.
    const IoResult flushed = io.flush(pipeconst::pipeIoTimeoutMs);
    if (flushed.status == IoStatus::NotStarted) {
        Logger::instance().logWindowsError("CreateThread", flushed.error);
        return;
    }
    if (flushed.status == IoStatus::TimedOut || flushed.status == IoStatus::Stopped) {
        reportFailure("FlushFileBuffers", flushed);
        return;
    }
    logInfo("PipeServer - Response sent, length: {}", written.bytes);
}

nlohmann::json PipeServer::answer(std::string_view text) {
    try {
        return processCommand(text);
    } catch (const std::exception& e) {
        // Not a fault of the request, but the client still gets an answer of the usual
        // shape and the loop goes on.
        logError("PipeServer - Command failed: {}", e.what());
        return errorResponse(std::string("Internal error: ") + e.what());
    } catch (...) {
        logError("PipeServer - Command failed: unknown exception");
        return errorResponse("Internal error: unknown exception");
    }
}
