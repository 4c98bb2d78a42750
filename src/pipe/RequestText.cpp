#include "pipe/RequestText.h"

#include "log/LineText.h"

std::string_view trimLineEnds(std::string_view text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
        text.remove_suffix(1);
    }
    return text;
}

std::string excerpt(std::string_view text) {
    return logExcerpt(text, pipeconst::commandExcerptBytes);
}

Request readRequest(std::string_view text) {
    Request request;
    try {
        const nlohmann::json json = nlohmann::json::parse(text.begin(), text.end());
        if (!json.contains("command")) {
            request.refusal = "Missing 'command' field";
            return request;
        }
        // Anything but a string makes the library throw its type error, which is answered
        // as a parse error.
        const std::string name = json.at("command").get<std::string>();
        request.commandText = name;
        if (name == "start") {
            request.command = Command::Start;
        } else if (name == "stop") {
            request.command = Command::Stop;
        } else if (name == "active") {
            request.command = Command::Active;
        } else {
            request.refusal = "Unknown command: " + name;
        }
    } catch (const nlohmann::json::exception& e) {
        request.parseError = e.what();
        request.refusal = std::string("JSON parse error: ") + e.what();
    }
    return request;
}

std::string serialiseResponse(const nlohmann::json& response) {
    return response.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

nlohmann::json errorResponse(std::string message) {
    return nlohmann::json{{"status", "error"}, {"message", std::move(message)}};
}
