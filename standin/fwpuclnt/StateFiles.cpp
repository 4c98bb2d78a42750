#include "StateFiles.h"

#include <windows.h>

#include <fstream>
#include <iterator>

namespace {

std::filesystem::path ownFolder() {
    HMODULE self = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                           GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCWSTR>(&ownFolder), &self);
    wchar_t path[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameW(self, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        return std::filesystem::path(L".");
    }
    return std::filesystem::path(path).parent_path();
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

void StateFiles::writeState(const std::string& text) const {
    const std::filesystem::path target = folder / L"fwpuclnt-state.txt";
    const std::filesystem::path temporary = folder / L"fwpuclnt-state.tmp";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out << text;
    }
    MoveFileExW(temporary.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING);
}

void StateFiles::appendJournal(const std::string& line) const {
    std::ofstream out(folder / L"fwpuclnt-journal.txt", std::ios::binary | std::ios::app);
    out << GetCurrentProcessId() << ' ' << line << '\n';
}
