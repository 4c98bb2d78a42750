#include "ReportCollection.h"

#include "ReportText.h"
#include "log/LogFileSecurity.h"
#include "platform/Owners.h"
#include "platform/Utf8.h"

#include <windows.h>
#include <sddl.h>

#include <ctime>

namespace fs = std::filesystem;

namespace {

std::string now() {
    const std::time_t t = std::time(nullptr);
    std::tm local{};
    localtime_s(&local, &t);
    char text[32] = {};
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    return text;
}

} // namespace

CliOutput Collection::finish() {
    // A copy of a dump is as much a SYSTEM process's stacks as the dump itself.
    PSECURITY_DESCRIPTOR raw = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kCrashDumpSddl, SDDL_REVISION_1, &raw,
                                                              nullptr)) {
        failed = true;
    }
    const LocalMemory dumpDescriptor(raw);
    for (const Item& item : items) {
        if (item.kind == Kind::Text) {
            redaction.learn(item.bytes);
        }
    }
    std::string lines;
    std::string holdingNames;
    for (const Item& item : items) {
        std::string failure;
        if (item.kind == Kind::Missing) {
            lines += "not gathered: " + item.name + ": " + item.why + "\n";
            continue;
        }
        const std::string bytes =
            item.kind == Kind::Text && redact ? redaction.apply(item.bytes) : item.bytes;
        if (item.kind == Kind::Text && redact && redaction.holdsLeftOut(bytes)) {
            holdingNames += (holdingNames.empty() ? "" : ", ") + item.name;
        }
        if (item.kind == Kind::Binary && !dumpDescriptor) {
            lines += "not gathered: " + item.name +
                     ": its protection could not be made, so it was not copied\n";
            continue;
        }
        if (folder.write(toUtf16(item.name), bytes,
                         item.kind == Kind::Binary ? dumpDescriptor.get() : nullptr, failure)) {
            lines += "gathered: " + item.name + " (" + std::to_string(bytes.size()) + " bytes)" +
                     (item.origin.empty() ? "" : " from " + item.origin) + "\n";
        } else {
            lines += "not gathered: " + item.name + ": " + failure + "\n";
            failed = true;
        }
    }
    std::string summary = "Orvanet problem report, collected " + now() + "\n";
    summary += redact ? "Account and machine names and the user-profile part of paths are "
                        "replaced by placeholders (<user-N>, <domain-N>) in the text files; " +
                            std::to_string(redaction.names()) +
                            " names replaced; in network.txt public and hardware addresses too "
                            "(<ipv4-N>, <ipv6-N>, <mac-N>). Crash dumps are copied as they "
                            "are.\n"
                      : "Not redacted (--no-redact): the files hold account names and "
                        "paths as written.\n";
    if (redact && redaction.notReplaced() > 0) {
        summary += std::to_string(redaction.notReplaced()) + " names of fewer than " +
                   std::to_string(Redaction::kShortestName) +
                   " characters, or written like a placeholder, are not replaced: they "
                   "cannot be told from ordinary words.\n";
    }
    if (redact && redaction.leftOut() > 0) {
        summary += "THIS REPORT MAY HOLD NAMES: more than " +
                   std::to_string(Redaction::kMostNames) + " names were found, and " +
                   std::to_string(redaction.leftOut()) +
                   " more are not replaced. Files that hold them: " +
                   (holdingNames.empty() ? std::string("none") : holdingNames) + ".\n";
        failed = true;
    }
    summary += lines;
    // The summary names folders and files, which may run through a user's profile.
    if (redact) {
        summary = redaction.apply(summary);
    }
    std::string failure;
    CliOutput output;
    if (!folder.write(L"summary.txt", summary, nullptr, failure)) {
        output.err = "orvanetctl: summary.txt " + failure + "\n";
        output.status = exitError;
        return output;
    }
    output.out = summary;
    output.status = failed ? exitError : exitOk;
    if (redact && redaction.leftOut() > 0) {
        output.err = "orvanetctl: the report in " + shown(target) +
                     " may hold names that were not replaced; summary.txt says which files\n";
    } else if (failed) {
        output.err = "orvanetctl: not everything could be gathered into " + shown(target) +
                     "; summary.txt says what and why\n";
    }
    return output;
}
