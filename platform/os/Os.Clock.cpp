#include "Os.Clock.h"

// On Windows the counter is the system's own; this file has nothing to add there.
#ifndef _WIN32

#include <time.h>

#include "Os.Error.h"

namespace {

// CLOCK_MONOTONIC counted in nanoseconds: steady, and unmoved when the wall clock is set.
constexpr std::int64_t TicksPerSecond = 1000000000;

inline std::int64_t Now() noexcept {
    timespec T{};
    clock_gettime(CLOCK_MONOTONIC, &T);
    return static_cast<std::int64_t>(T.tv_sec) * TicksPerSecond + T.tv_nsec;
}

}  // namespace

extern "C" int QueryPerformanceCounter(LARGE_INTEGER* PerformanceCount) {
    if (!PerformanceCount) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    PerformanceCount->QuadPart = Now();
    return 1;
}

extern "C" int QueryPerformanceFrequency(LARGE_INTEGER* Frequency) {
    if (!Frequency) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    Frequency->QuadPart = TicksPerSecond;
    return 1;
}
#endif
