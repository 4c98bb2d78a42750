#pragma once

#include "ReportCollection.h"

#include <filesystem>
#include <string>
#include <vector>

// The service's log folders and the platform's dumps of it, read without changing anything
// there and without following a link.

// The log folder's files: copies named `prefix` + their own name. A missing log is a failure
// only where a log is expected.
void gatherLogFolder(Collection& collection, const std::filesystem::path& folder,
                     const std::string& prefix, bool logExpected);

// Where the service may have logged, in the order it tries them.
std::vector<std::filesystem::path> serviceLogFolders();

// Every folder of `folders` that holds any of the service's files.
void gatherServiceLogs(Collection& collection, const std::vector<std::filesystem::path>& folders);

// The platform's own dumps of the service, the newest first.
void gatherPlatformDumps(Collection& collection, const std::filesystem::path& folder);
