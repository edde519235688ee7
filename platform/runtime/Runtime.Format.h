#pragma once
// printf-style formatting into std::string, the one place the system formats message texts.
// Arguments of type std::string are passed as their C strings.

#include <cstdio>
#include <string>
#include <type_traits>

namespace Runtime {

namespace Detail {
template <typename T>
decltype(auto) FormatArg(const T& Value) {
    if constexpr (std::is_same_v<T, std::string>)
        return Value.c_str();
    else
        return Value;
}
std::string FormatV(const char* Fmt, ...) __attribute__((format(printf, 1, 2)));
}  // namespace Detail

/// Formats like printf; std::string arguments may be passed directly.
template <typename... Args>
std::string Format(const char* Fmt, const Args&... Values) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
#pragma GCC diagnostic ignored "-Wformat-security"
    return Detail::FormatV(Fmt, Detail::FormatArg(Values)...);
#pragma GCC diagnostic pop
}

}  // namespace Runtime
