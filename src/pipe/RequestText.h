#pragma once

#include <nlohmann/json.hpp>

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

// A request's text and the answer's, with no handle and no log: what any local account can
// send the service is read here, and only here.

namespace pipeconst {
// What client text may take in a line, escapes counted: with the stamp, the level and the
// line's own words no line that carries it passes 300 bytes.
inline constexpr std::size_t commandExcerptBytes = 200;
} // namespace pipeconst

// Removes every CR and LF at the end of a request; nothing else is trimmed.
std::string_view trimLineEnds(std::string_view text);

// Client text as the log carries it: whole if it takes at most the excerpt's length there
// (escapes counted), else its longest start that does and "...": one request cannot flood
// the log, whatever bytes it holds.
std::string excerpt(std::string_view text);

enum class Command { Start, Stop, Active };

// What a request asks. Either `command` is set, or `refusal` is the error answer's message.
struct Request {
    std::optional<Command> command;
    // The "command" member when it is a string, known or not, for the log.
    std::optional<std::string> commandText;
    // The parser's message when the text is not JSON or its command is not a string.
    std::optional<std::string> parseError;
    std::string refusal;
};

Request readRequest(std::string_view text);

// Compact, keys in sorted order. Bytes that are not valid UTF-8 (quoted by a parse error, or
// an error text in a code page) become U+FFFD, so that the client always gets valid JSON;
// valid text comes out unchanged.
std::string serialiseResponse(const nlohmann::json& response);

nlohmann::json errorResponse(std::string message);
