#pragma once

#include <filesystem>
#include <string>
#include <vector>

// A fresh, empty folder under the temporary directory, removed again at the end.
class TempFolder {
public:
    explicit TempFolder(const std::string& tag);
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    const std::filesystem::path& path() const { return root; }

private:
    std::filesystem::path root;
};

std::string readFile(const std::filesystem::path& path);

// Fails the test if the file or folder grants Everyone, Users or Authenticated Users
// anything: under Wine a descriptor is kept as mode bits, and one that grants others
// anything reads back with an Everyone entry.
void expectNoAccessForOthers(const std::filesystem::path& file);
// Lines of a text file written in text mode (CR LF), without their line ends.
std::vector<std::string> readLines(const std::filesystem::path& path);

// The lines of the process's log file (the file it has open now), message parts only:
// what follows "] [LEVEL] ". Lines that do not have the shape are returned whole.
std::string messageOf(const std::string& line);
std::string levelOf(const std::string& line);
