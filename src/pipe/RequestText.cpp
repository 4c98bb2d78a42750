#include "pipe/RequestText.h"

#include "log/LineText.h"
#include "log/Logger.h"
#include "pipe/PipeConstants.h"

std::string_view trimLineEnds(std::string_view text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
        text.remove_suffix(1);
    }
    return text;
}

std::string excerpt(std::string_view text) {
    return logExcerpt(text, pipeconst::commandExcerptBytes);
}

void logRequest(std::string_view text) {
    logInfo("PipeServer - Received command, length: {}", text.size());
    Logger::instance().log(LogLevel::Debug, "PipeServer - Command: {}", excerpt(text));
}

std::string serialiseResponse(const nlohmann::json& response) {
    return response.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

nlohmann::json errorResponse(std::string message) {
    return nlohmann::json{{"status", "error"}, {"message", std::move(message)}};
}
