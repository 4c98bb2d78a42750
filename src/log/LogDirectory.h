#pragma once

#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

// What createLogDirectories found that was not the service's own.
struct FoundFolders {
    // "NAME was WHAT; moved aside to NAME.untrusted-...", one for each folder moved aside.
    std::vector<std::string> moved;
    // A folder that is not trusted and could not be moved aside: nothing below it is used.
    std::filesystem::path heldUntrusted;
};

// Creates the missing folders of `directory` below `trustedBase` with a protected DACL
// (SYSTEM and Administrators full control, Users read). The service writes there as
// LocalSystem under a base where any user may create folders, so an existing folder below
// the base that is a reparse point (a planted junction or link) fails the call exactly like
// a folder that cannot be created, and one that another account owns or may change is moved
// aside and made anew: whoever made it may hold a handle opened with the right to change it,
// which no later change of its owner or DACL would take away. Folders of the base itself are
// not checked: they belong to the machine's administrator.
bool createLogDirectories(const std::filesystem::path& trustedBase,
                          const std::filesystem::path& directory, FoundFolders& found,
                          std::error_code& error);
