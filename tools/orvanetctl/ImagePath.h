#pragma once

#include <functional>
#include <string>
#include <string_view>

// The program a service's command line (its image path) runs, found as the service manager
// finds it, by the rule CreateProcess documents for a command line without an application
// name: a quoted path is the program, whatever follows; an unquoted one is cut at the first
// white space (space or tab) after which what comes before names an existing file, so that
// "C:\Program Files\Orvanet\Orvanet.exe", stored without quotes, is not read as "C:\Program".
// A file name with no extension (no full stop after its last separator) gets ".exe"; one
// with a full stop anywhere in it, at its start or its end too, has one. Where no cut names
// a file, the whole line. `isFile` says whether a path names an existing file.
std::wstring serviceProgram(std::wstring_view command,
                            const std::function<bool(const std::wstring&)>& isFile);
