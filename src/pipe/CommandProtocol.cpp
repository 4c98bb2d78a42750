// The JSON commands of the control pipe and their responses.
#include "pipe/PipeServer.h"

#include "log/Logger.h"
#include "pipe/PipeConstants.h"
#include "pipe/RequestText.h"
#include "vpn/VpnService.h"

#include <string>

nlohmann::json PipeServer::processCommand(const nlohmann::json& request) {
    if (!request.contains("command")) {
        return errorResponse("Missing 'command' field");
    }
    // Anything but a string makes the library throw its type error, which the loop turns
    // into the parse-error response.
    const std::string command = request.at("command").get<std::string>();
    logInfo("PipeServer::processCommand - Command type: {}", excerpt(command));
    if (command == "start") {
        return handleStart(request);
    }
    if (command == "stop") {
        return handleStop();
    }
    if (command == "active") {
        return handleStatus();
    }
    return errorResponse("Unknown command: " + command);
}

nlohmann::json PipeServer::handleStart(const nlohmann::json& /*request*/) {
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
