#include "support/TestFiles.h"

#include "platform/Owners.h"

#include <gtest/gtest.h>

#include <windows.h>
#include <aclapi.h>

#include <atomic>
#include <fstream>
#include <sstream>

TempFolder::TempFolder(const std::string& tag) {
    static std::atomic<int> counter{0};
    root = std::filesystem::temp_directory_path() /
           ("orvanet-" + tag + "-" + std::to_string(GetCurrentProcessId()) + "-" +
            std::to_string(counter++));
    std::filesystem::remove_all(root);
    std::filesystem::create_directories(root);
}

TempFolder::~TempFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(root, ignored);
}

std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

std::vector<std::string> readLines(const std::filesystem::path& path) {
    std::vector<std::string> lines;
    std::istringstream in(readFile(path));
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        lines.push_back(line);
    }
    return lines;
}

std::string messageOf(const std::string& line) {
    // "[YYYY-MM-DD HH:MM:SS] [LEVEL] message"
    const auto levelEnd = line.find("] ", 23);
    if (line.size() < 24 || line[0] != '[' || line[20] != ']' || levelEnd == std::string::npos) {
        return line;
    }
    return line.substr(levelEnd + 2);
}

std::string levelOf(const std::string& line) {
    const auto levelEnd = line.find("] ", 23);
    if (line.size() < 24 || line[0] != '[' || line[22] != '[' || levelEnd == std::string::npos) {
        return {};
    }
    return line.substr(23, levelEnd - 23);
}

void expectNoAccessForOthers(const std::filesystem::path& file) {
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_EQ(ERROR_SUCCESS,
              GetNamedSecurityInfoW(file.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                                    nullptr, nullptr, &dacl, nullptr, &descriptor));
    const LocalMemory owned(descriptor);
    ASSERT_NE(nullptr, dacl) << "no DACL: everyone has every right";
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        void* entry = nullptr;
        ASSERT_TRUE(GetAce(dacl, i, &entry));
        if (static_cast<ACE_HEADER*>(entry)->AceType != ACCESS_ALLOWED_ACE_TYPE) {
            continue;
        }
        PSID sid = &static_cast<ACCESS_ALLOWED_ACE*>(entry)->SidStart;
        for (const auto other : {WinWorldSid, WinBuiltinUsersSid, WinAuthenticatedUserSid}) {
            EXPECT_FALSE(IsWellKnownSid(sid, other)) << file << " grants " << other;
        }
    }
}
