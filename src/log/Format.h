#pragma once

// The one place that chooses the formatting library. GCC 12 has no <format>, so {fmt}
// stands in with the same "{}" syntax, the same output and compile-time checked format
// strings. A compiler with a complete <format> switches here: std::format_string and
// std::format replace the two names below.
#include <fmt/format.h>

#include <string>
#include <type_traits>
#include <utility>

namespace orvanet {

template <typename... Args>
using FormatString = fmt::format_string<Args...>;

template <typename... Args>
std::string format(FormatString<Args...> fmt, Args&&... args) {
    // The build leaves floating-point formatting out of fmt, which would then write nothing.
    static_assert((!std::is_floating_point_v<std::remove_cvref_t<Args>> && ...),
                  "no floating-point values in log text");
    return fmt::format(fmt, std::forward<Args>(args)...);
}

} // namespace orvanet
