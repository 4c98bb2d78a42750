#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// A log record's text as it is written: one line in any viewer and valid UTF-8, whatever
// came from outside (a client's request, the engine's lines, a system message).

// Appends text with its control characters (below 0x20, 0x7F, and the C1 controls and the
// line and paragraph separators), and every byte that is not part of a valid UTF-8
// character, written as escapes (\n, \r, \t, \xNN, \uNNNN). Nobody can end a line and write
// one of their own, cut the debugger's copy short with a NUL, send escape sequences to a
// console or leave a file that a viewer refuses as text. Other characters are kept as they
// are.
void appendEscaped(std::string& out, std::string_view text);

// Client text for a line, bounded by what it takes there: whole if its escaped form takes at
// most `limit` bytes, else its longest start that does, followed by "...". Never ends inside
// a character or an escape.
std::string logExcerpt(std::string_view text, std::size_t limit);

// The same from the end: "..." and the longest end that takes at most `limit` bytes. For a
// path, whose last part names the program.
std::string logTail(std::string_view text, std::size_t limit);
