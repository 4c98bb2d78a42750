#include "pipe/RequestText.h"

#include "log/Logger.h"
#include "pipe/PipeConstants.h"

std::string_view trimLineEnds(std::string_view text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
        text.remove_suffix(1);
    }
    return text;
}

std::string excerpt(std::string_view text) {
    if (text.size() <= pipeconst::commandExcerptBytes) {
        return std::string(text);
    }
    // A UTF-8 character is at most four bytes: back off over at most three continuation
    // bytes, so that text that is not UTF-8 at all is still cut near the limit.
    std::size_t end = pipeconst::commandExcerptBytes;
    for (int step = 0; step < 3 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80; ++step) {
        --end;
    }
    return std::string(text.substr(0, end)) + "...";
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
