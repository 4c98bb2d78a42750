#pragma once

#include "Cli.h"
#include "LocalNames.h"
#include "Redaction.h"
#include "ReportFolder.h"

#include <filesystem>
#include <string>
#include <vector>

// One collection: what is gathered, kept in memory until the names in it are known; the
// summary lists every item in the order it was met.
class Collection {
public:
    Collection(std::filesystem::path target, ReportFolder& folder, bool redact,
               const LocalNames& names)
        : target(std::move(target)), folder(folder), redact(redact),
          redaction(names.profilesFolder) {
        // Before anything is written: whoever collects is named in the report's own paths.
        redaction.learnAccount(names.account);
        redaction.learnProfile(names.profile);
    }

    // `origin`: the folder a copy came from, named in the summary.
    void text(const std::string& name, std::string bytes, const std::string& origin = {}) {
        items.push_back({name, std::move(bytes), Kind::Text, {}, origin});
    }
    void binary(const std::string& name, std::string bytes, const std::string& origin) {
        items.push_back({name, std::move(bytes), Kind::Binary, {}, origin});
    }
    void missing(const std::string& name, const std::string& why, bool failure) {
        items.push_back({name, {}, Kind::Missing, why, {}});
        failed = failed || failure;
    }

    // Writes every item, redacted, and summary.txt, and says how it went.
    CliOutput finish();

private:
    enum class Kind { Text, Binary, Missing };
    struct Item {
        std::string name;
        std::string bytes;
        Kind kind;
        std::string why;
        std::string origin;
    };

    std::filesystem::path target;
    ReportFolder& folder;
    bool redact;
    Redaction redaction;
    std::vector<Item> items;
    bool failed = false;
};
