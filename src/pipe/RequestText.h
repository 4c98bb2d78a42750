#pragma once

#include <nlohmann/json.hpp>

#include <string>
#include <string_view>

// Removes every CR and LF at the end of a request; nothing else is trimmed.
std::string_view trimLineEnds(std::string_view text);

// Client text as the log carries it: whole if it takes at most the excerpt's length there
// (escapes counted), else its longest start that does and "...": one request cannot flood
// the log, whatever bytes it holds.
std::string excerpt(std::string_view text);

// Logs the received length and the request's excerpt.
void logRequest(std::string_view text);

// Compact, keys in sorted order. Bytes that are not valid UTF-8 (quoted by a parse error, or
// an error text in a code page) become U+FFFD, so that the client always gets valid JSON;
// valid text comes out unchanged.
std::string serialiseResponse(const nlohmann::json& response);

nlohmann::json errorResponse(std::string message);
