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
