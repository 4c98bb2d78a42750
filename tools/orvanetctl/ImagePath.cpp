#include "ImagePath.h"

namespace {

constexpr std::wstring_view kWhiteSpace = L" \t";

std::wstring withExtension(std::wstring_view path) {
    const std::size_t name = path.find_last_of(L"\\/");
    const std::wstring_view file = name == std::wstring_view::npos ? path : path.substr(name + 1);
    std::wstring program(path);
    if (file.find(L'.') == std::wstring_view::npos) {
        program += L".exe";
    }
    return program;
}

} // namespace

std::wstring serviceProgram(std::wstring_view command,
                            const std::function<bool(const std::wstring&)>& isFile) {
    const std::size_t begin = command.find_first_not_of(kWhiteSpace);
    if (begin == std::wstring_view::npos) {
        return {};
    }
    if (command[begin] == L'"') {
        const std::size_t end = command.find(L'"', begin + 1);
        return withExtension(
            command.substr(begin + 1, end == std::wstring_view::npos ? end : end - begin - 1));
    }
    for (std::size_t cut = command.find_first_of(kWhiteSpace, begin);;
         cut = command.find_first_of(kWhiteSpace, cut + 1)) {
        const std::wstring candidate = withExtension(
            command.substr(begin, cut == std::wstring_view::npos ? cut : cut - begin));
        if (isFile(candidate)) {
            return candidate;
        }
        if (cut == std::wstring_view::npos) {
            return std::wstring(command.substr(begin));
        }
    }
}
