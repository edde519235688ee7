#include "Runtime.Format.h"

#include <cstdarg>

namespace Runtime::Detail {

std::string FormatV(const char* Fmt, ...) {
    va_list Args;
    va_start(Args, Fmt);
    va_list Copy;
    va_copy(Copy, Args);
    int Needed = std::vsnprintf(nullptr, 0, Fmt, Copy);
    va_end(Copy);
    std::string Result;
    if (Needed > 0) {
        Result.resize(static_cast<std::size_t>(Needed));
        std::vsnprintf(Result.data(), Result.size() + 1, Fmt, Args);
    }
    va_end(Args);
    return Result;
}

}  // namespace Runtime::Detail
