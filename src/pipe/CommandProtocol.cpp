// The JSON commands of the control pipe and their responses.
#include "pipe/PipeServer.h"

#include "log/Logger.h"
#include "pipe/PipeConstants.h"
#include "pipe/RequestText.h"
#include "vpn/VpnService.h"

#include <string>

nlohmann::json PipeServer::processCommand(std::string_view text) {
    const Request request = readRequest(text);
    if (request.parseError) {
        logError("PipeServer - JSON parse error: {}", excerpt(*request.parseError));
    }
    if (request.commandText) {
        logInfo("PipeServer::processCommand - Command type: {}", excerpt(*request.commandText));
    }
    if (!request.command) {
        return errorResponse(request.refusal);
    }
    switch (*request.command) {
    case Command::Start:
        return handleStart();
    case Command::Stop:
        return handleStop();
    case Command::Active:
        return handleStatus();
    }
    return errorResponse(request.refusal);
}

nlohmann::json PipeServer::handleStart() {
    logInfo("PipeServer::handleStart - Starting tun2proxy");
    // Its clean-up after a failure is bounded as a client's stop is.
    OperationResult result = vpnService->start(pipeconst::stopBound);
    if (result.success) {
        return nlohmann::json{{"status", "ok"}, {"message", "VPN started successfully"}};
    }
    return errorResponse(std::move(result.error));
}

nlohmann::json PipeServer::handleStop() {
    OperationResult result = vpnService->stop(pipeconst::stopBound);
    if (result.success) {
        return nlohmann::json{{"status", "ok"}, {"message", "VPN stopped successfully"}};
    }
    return errorResponse(std::move(result.error));
}

nlohmann::json PipeServer::handleStatus() {
    const bool running = vpnService->getStatus().running;
    return nlohmann::json{
        {"status", "ok"}, {"message", running ? "active" : "inactive"}, {"running", running}};
}
