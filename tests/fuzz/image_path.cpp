// The service's image path as the service manager reads it, against the documented rule
// written out the plain way: each cut at white space in turn, ".exe" where the file name
// has no full stop.
#include "Check.h"
#include "ImagePath.h"

#include <cstdint>
#include <set>
#include <vector>

namespace {

bool white(wchar_t c) {
    return c == L' ' || c == L'\t';
}

std::wstring program(std::wstring path) {
    std::size_t name = 0;
    for (std::size_t i = 0; i < path.size(); ++i) {
        name = path[i] == L'\\' || path[i] == L'/' ? i + 1 : name;
    }
    return path.find(L'.', name) == std::wstring::npos ? path + L".exe" : path;
}

std::wstring documented(const std::wstring& line, const std::set<std::wstring>& files) {
    std::size_t begin = 0;
    while (begin < line.size() && white(line[begin])) {
        ++begin;
    }
    if (begin == line.size()) {
        return {};
    }
    if (line[begin] == L'"') {
        std::wstring quoted;
        for (std::size_t i = begin + 1; i < line.size() && line[i] != L'"'; ++i) {
            quoted += line[i];
        }
        return program(quoted);
    }
    for (std::size_t end = begin; end <= line.size(); ++end) {
        if ((end == line.size() || white(line[end])) &&
            files.count(program(line.substr(begin, end - begin))) > 0) {
            return program(line.substr(begin, end - begin));
        }
    }
    return line.substr(begin);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // The first byte says which cuts name files; the rest is the line, two bytes a unit, in
    // a buffer of its own size, so that a read past its end is caught.
    if (size == 0) {
        return 0;
    }
    const unsigned fileCuts = data[0];
    std::vector<wchar_t> units((size - 1) / 2);
    for (std::size_t i = 0; i < units.size(); ++i) {
        units[i] = static_cast<wchar_t>(data[1 + 2 * i] | data[2 + 2 * i] << 8);
    }
    const std::wstring line(units.begin(), units.end());
    const std::size_t begin = std::min(line.find_first_not_of(L" \t"), line.size());
    std::set<std::wstring> files;
    unsigned cut = 0;
    for (std::size_t end = begin; end <= line.size(); ++end) {
        if ((end == line.size() || white(line[end])) && (fileCuts >> (cut++ % 8) & 1) != 0) {
            files.insert(program(line.substr(begin, end - begin)));
        }
    }
    const auto isFile = [&](const std::wstring& path) { return files.count(path) > 0; };
    check(serviceProgram(std::wstring_view(units.data(), units.size()), isFile) ==
              documented(line, files),
          "the program is the one the documented rule names");
    return 0;
}
