#pragma once

#include "platform/Owners.h"

#include <windows.h>

#include <filesystem>
#include <string>

// The problem report's folder. It is often made under a folder that other users may write to
// (a shared support folder, C:\Temp), and what goes into it includes crash dumps of a SYSTEM
// process, so:
// - it is made new, with a protected descriptor of its own (its maker, SYSTEM and
//   Administrators), never what the parent passes down;
// - the handle that made it is held, without delete sharing, until the report is written,
//   so that nobody can move it away and put a folder or a link of theirs in its place;
// - each file is made new relative to that handle, never through a path, and never through
//   a link.
class ReportFolder {
public:
    // False with the platform's error: ERROR_ALREADY_EXISTS when something has the name.
    bool make(const std::filesystem::path& target, DWORD& error);

    // A new file `name` holding `bytes`, with `descriptor` (null: the folder's). A file that
    // cannot be written whole is removed again, not left short.
    bool write(const std::wstring& name, const std::string& bytes, PSECURITY_DESCRIPTOR descriptor,
               std::string& failure);

private:
    UniqueHandle folder;
};
