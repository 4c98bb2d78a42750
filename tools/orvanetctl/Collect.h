#pragma once

#include "Cli.h"
#include "LocalNames.h"

#include <filesystem>
#include <functional>
#include <optional>
#include <vector>

// What "collect" reads and asks. The program uses the defaults; tests name folders and a
// service of their own.
struct CollectSettings {
    // Empty: where the service writes it, %ProgramData%\Pellmarrow\Orvanet\logs; or as
    // --log-folder names it, where the service logs elsewhere (one of its fallbacks, or a
    // service manager that gives services another %ProgramData%, as Wine's does).
    std::filesystem::path logFolder;
    // Without logFolder: where the service may have logged, each gathered if it holds any of
    // the service's files. Empty: its own folder, System32\LogFiles\Orvanet and its
    // temporary folder.
    std::vector<std::filesystem::path> serviceFolders;
    // Empty: where Windows Error Reporting writes its dumps of the service by default.
    std::filesystem::path platformDumpFolder;
    bool redact = true;
    // Empty: what the platform says (the profiles folder, the collector's own account).
    std::optional<LocalNames> names;
    ClientSettings client;
    // Runs once the report's folder is made, before anything is gathered into it: a test's
    // way to try what another user could do meanwhile.
    std::function<void(const std::filesystem::path&)> afterFolderMade;
};

// Gathers into the new folder `target` what support needs: the log and its older copy, the
// crash log and the newest crash dumps, the service's configuration and state, the file
// versions, the answer to "active", and summary.txt saying what was gathered and what not,
// and why. Nothing in the log folder is changed, and no link out of it is followed. Exits
// with 0 when everything there is was gathered, 1 when something could not be, and 2, having
// written nothing, when the target exists or cannot be made.
CliOutput runCollect(const std::filesystem::path& target, const CollectSettings& settings);
