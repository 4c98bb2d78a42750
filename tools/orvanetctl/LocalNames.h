#pragma once

#include <string>

// What the platform says of the people on this machine, for the report's redaction: where
// profiles are (ordinary users can make no folder there), and the collector's own account and
// profile, from its token, so that the report never carries the name of whoever made it.
struct LocalNames {
    std::string profilesFolder; // the profile list's ProfilesDirectory, "C:\Users" as a rule
    std::string account;        // "DOMAIN\name"; empty when it cannot be read
    std::string profile;        // the profile folder's path; empty when there is none
};

LocalNames localNames();
