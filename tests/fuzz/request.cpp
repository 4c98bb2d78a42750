// What any local account may send the pipe: the request's reading and the error answer.
#include "Check.h"
#include "pipe/RequestText.h"

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text =
        trimLineEnds(std::string_view(reinterpret_cast<const char*>(data), size));
    check(excerpt(text).size() <= pipeconst::commandExcerptBytes + 3,
          "a request's excerpt is bounded");
    const Request request = readRequest(text);
    if (request.command) {
        check(request.refusal.empty() && !request.parseError && request.commandText &&
                  (*request.commandText == "start" || *request.commandText == "stop" ||
                   *request.commandText == "active"),
              "a command is one of the three names, exactly");
        return 0;
    }
    const std::string& why = request.refusal;
    check(why == "Missing 'command' field" || why.rfind("Unknown command: ", 0) == 0 ||
              why.rfind("JSON parse error: [json.exception.", 0) == 0,
          "a refusal is one the protocol lists");
    // The client's parser takes the answer: compact, keys sorted, valid UTF-8.
    const std::string wire = serialiseResponse(errorResponse(why));
    check(validUtf8(wire), "the answer is valid UTF-8");
    const nlohmann::json answer = nlohmann::json::parse(wire);
    check(answer.is_object() && answer.size() == 2 && answer["status"] == "error" &&
              answer["message"].is_string() && answer.dump() == wire,
          "the answer is {\"message\":TEXT,\"status\":\"error\"}");
    return 0;
}
