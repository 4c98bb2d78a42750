#pragma once

#include <filesystem>
#include <system_error>

// Creates the missing folders of `directory` below `trustedBase` with a protected DACL
// (SYSTEM and Administrators full control, Users read). The service writes there as
// LocalSystem under a base where any user may create folders, so an existing folder
// below the base that is a reparse point (a planted junction or link) fails the call
// exactly like a folder that cannot be created, and one that another account owns or may
// write to is taken over (Administrators as owner, the protected DACL) or, failing that,
// refused the same way. Folders of the base itself are not checked: they belong to the
// machine's administrator.
bool createLogDirectories(const std::filesystem::path& trustedBase,
                          const std::filesystem::path& directory, std::error_code& error);
