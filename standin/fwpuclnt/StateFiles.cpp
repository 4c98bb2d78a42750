#include "StateFiles.h"

#include "platform/ModuleFolder.h"

#include <windows.h>

#include <fstream>
#include <iterator>

namespace {

std::filesystem::path ownFolder() {
    const std::filesystem::path folder =
        moduleFolder(moduleAt(reinterpret_cast<const void*>(&ownFolder)));
    return folder.empty() ? std::filesystem::path(L".") : folder;
}

} // namespace

StateFiles::StateFiles() : folder(ownFolder()) {}

std::string StateFiles::tunnelAlias() const {
    std::ifstream in(folder / L"fwpuclnt-alias.txt", std::ios::binary);
    std::string alias((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    while (!alias.empty() && (alias.back() == '\n' || alias.back() == '\r')) {
        alias.pop_back();
    }
    return alias.empty() ? std::string("orvantun") : alias;
}

void StateFiles::writeWhole(const wchar_t* name, const std::string& text) const {
    const std::filesystem::path target = folder / name;
    const std::filesystem::path temporary = folder / (std::wstring(name) + L".tmp");
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out << text;
    }
    MoveFileExW(temporary.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING);
}

std::uint64_t StateFiles::lastRulesGeneration() const {
    std::ifstream in(folder / L"fwpuclnt-nft.txt", std::ios::binary);
    std::string word;
    std::uint64_t generation = 0;
    in >> word >> generation;
    return word == "generation" ? generation : 0;
}

void StateFiles::writeRules(std::uint64_t generation, const std::string& rules) const {
    writeWhole(L"fwpuclnt-nft.txt", "generation " + std::to_string(generation) + "\n" + rules);
}

void StateFiles::holdEngineLock(bool held) {
    if (held == static_cast<bool>(engineLock)) {
        return;
    }
    if (!held) {
        engineLock.reset(); // closing the handle releases its lock
        return;
    }
    UniqueHandle file(CreateFileW((folder / L"fwpuclnt-engine.lock").c_str(),
                                  GENERIC_READ | GENERIC_WRITE,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    OVERLAPPED whole{};
    if (file && LockFileEx(file.get(), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0,
                           &whole)) {
        engineLock = std::move(file);
    }
}

void StateFiles::appendJournal(const std::string& line) const {
    std::ofstream out(folder / L"fwpuclnt-journal.txt", std::ios::binary | std::ios::app);
    out << GetCurrentProcessId() << ' ' << line << '\n';
}

std::filesystem::path StateFiles::readerFolder() {
    wchar_t folder[MAX_PATH] = {};
    const DWORD length = GetEnvironmentVariableW(L"ORVANET_STANDIN_STATE", folder, MAX_PATH);
    return length > 0 && length < MAX_PATH ? std::filesystem::path(folder)
                                           : std::filesystem::path();
}

std::string StateFiles::readFilters(const std::filesystem::path& folder) {
    std::ifstream in(folder / L"fwpuclnt-filters.txt", std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}
