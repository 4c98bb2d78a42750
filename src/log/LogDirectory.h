#pragma once

#include "platform/Owners.h"

#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

// What LogFolders::open found that was not the service's own.
struct FoundFolders {
    // "NAME was WHAT; moved aside to NAME.untrusted-...", one for each folder moved aside.
    std::vector<std::string> moved;
    // A folder that is not trusted and could not be moved aside: nothing below it is used.
    std::filesystem::path heldUntrusted;
};

// The log's folders below a trusted base, held open while the log lives. The service writes
// there as LocalSystem where any user may create folders, so:
// - each folder is opened (made if missing, with a protected DACL: SYSTEM and Administrators
//   full control, Users read) relative to the handle of the one above it, and checked on
//   that same handle, so that no name is looked up twice between its check and its use;
// - one that another account owns or may change is moved aside and made anew, never taken
//   over: whoever made it may hold a handle opened with the right to change it, which no
//   later change of its owner or DACL would take away; one that is a link is refused;
// - each is held without delete sharing until close(), so that nobody can move or replace
//   it while the log writes below it.
// Folders of the base itself are not checked: they belong to the machine's administrator.
class LogFolders {
public:
    bool open(const std::filesystem::path& trustedBase, const std::filesystem::path& directory,
              FoundFolders& found, std::error_code& error);
    void close() { held.clear(); }

private:
    bool openEach(const std::filesystem::path& trustedBase, const std::filesystem::path& directory,
                  FoundFolders& found, std::error_code& error);

    std::vector<UniqueHandle> held;
};
