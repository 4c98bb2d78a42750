#pragma once

#include "platform/Owners.h"

#include <windows.h>

#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

// Which owners and DACLs the log trusts. The service writes, renames and deletes as SYSTEM
// in places where ordinary users may create folders and files, so what it relies on must
// belong to accounts that could do as much anyway: SYSTEM, Administrators, and the account
// the service runs as (SYSTEM itself on Windows).

// Who may read a crash dump, and a copy of one: it holds the stacks of a SYSTEM process.
inline constexpr wchar_t kCrashDumpSddl[] = L"D:P(A;;FA;;;SY)(A;;FA;;;BA)";

// The SID of the account this process runs as (empty if it cannot be read).
const std::vector<BYTE>& ownAccountSid();

bool isTrustedOwner(PSID owner, PSID self);

// Whether the DACL gives anyone but the trusted accounts a right to write, delete, add
// children or change the security; a missing DACL gives everyone everything.
bool grantsUntrustedWrite(const ACL* dacl, PSID self);

// Why a folder found on the log's path may not be relied on (a link, another account's, one
// that others may change), or null if it may.
const char* distrustOfLogFolder(DWORD attributes, PSID owner, const ACL* dacl, PSID self);

// Why a file found in the log's place may not be relied on (it may be a user's plant: a
// folder, a link, a file with a second name, one another account owns), or null if it may.
const char* distrustOfLogFile(DWORD attributes, DWORD links, PSID owner, PSID self);

// Opens a file or folder without following a reparse point in its last component (a folder
// needs FILE_FLAG_BACKUP_SEMANTICS, which the call adds). Sharing: read and write, and delete
// when `shareDelete`.
UniqueHandle openWithoutFollowing(const std::filesystem::path& path, DWORD access,
                                  DWORD disposition = OPEN_EXISTING, bool shareDelete = true);

// The log file at `path`, opened (made if missing, with OPEN_ALWAYS) and checked with
// distrustOfLogFile, which `distrust` then names when the check fails. By default the handle
// only reads the file's attributes and owner and shares no delete, so that the name cannot
// be given to another file while it is held: open the log by its path, then let it go. A
// reader of another program's log asks for more access and shares delete.
UniqueHandle openCheckedLogFile(const std::filesystem::path& path, std::error_code& error,
                                const char** distrust = nullptr, DWORD disposition = OPEN_ALWAYS,
                                DWORD access = READ_CONTROL | FILE_READ_ATTRIBUTES,
                                bool shareDelete = false);

// "NAME.untrusted-YYYYMMDD-HHMMSS": the name of something moved aside, with the time now.
std::wstring untrustedName(const std::wstring& name);

// Moves what is at `path` (a file, a folder with all it holds, a link itself) to
// "NAME.untrusted-YYYYMMDD-HHMMSS" beside it, named in `aside`. False, with the platform's
// error, when it cannot be moved, as when another program holds it without delete sharing.
bool moveAside(const std::filesystem::path& path, std::filesystem::path& aside);

// One of the service's own files (the log, its older copy, the crash log) in a folder that
// only trusted accounts may write, opened and checked as openCheckedLogFile does. Whatever
// fails the checks was there before the folder was ours, and nothing of it is used: it is
// moved aside to "NAME.untrusted-YYYYMMDD-HHMMSS" and a new file made in its place (with
// OPEN_EXISTING, nothing is made). `moved` then says what was moved where, for the log.
UniqueHandle openOwnLogFile(const std::filesystem::path& path, DWORD disposition,
                            std::string& moved, std::error_code& error);

// Rename and delete through a handle, so that what is renamed or deleted is the file that
// was opened and checked, not whatever the path names by then.
bool renameByHandle(HANDLE file, const std::filesystem::path& target, bool replace = true);
bool deleteByHandle(HANDLE file);
