#pragma once

#include "platform/Owners.h"

#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

// `name` in the folder `parent` (a full path when `parent` is null), opened or made as
// NtCreateFile's `disposition` says (FILE_OPEN, FILE_CREATE, FILE_OPEN_IF) without following
// a link in it: a folder with FILE_DIRECTORY_FILE in `options`, a file with
// FILE_NON_DIRECTORY_FILE. What is made gets `descriptor` (null: what `parent` passes down).
// Nothing is looked up by a path that someone could change between two steps: the parent's
// handle holds the way in. The platform's error, or none.
std::error_code openRelative(HANDLE parent, const std::wstring& name, ACCESS_MASK access,
                             ULONG share, ULONG disposition, ULONG options,
                             PSECURITY_DESCRIPTOR descriptor, UniqueHandle& opened);

// What LogFolders::open found that was not the service's own.
struct FoundFolders {
    // "NAME was WHAT; moved aside to NAME.untrusted-...", one for each folder moved aside.
    std::vector<std::string> moved;
    // A folder that is not trusted and could not be moved aside, or that was back each time
    // it was: nothing below it is used. heldReason says why.
    std::filesystem::path heldUntrusted;
    std::string heldReason;
};

// The log's folders below a trusted base, held open while the log lives. The service writes
// there as LocalSystem where any user may create folders, so:
// - each folder is opened (made if missing, with a protected DACL: SYSTEM and Administrators
//   full control, Users read) relative to the handle of the one above it, and checked on
//   that same handle, so that no name is looked up twice between its check and its use;
// - one that another account owns or may change is moved aside and made anew, never taken
//   over: whoever made it may hold a handle opened with the right to change it, which no
//   later change of its owner or DACL would take away; a file or a link in its place is
//   moved aside the same way; one that cannot be moved, or is back each time it is, is
//   reported held (FoundFolders::heldUntrusted);
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
