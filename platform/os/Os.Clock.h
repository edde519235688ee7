#pragma once
// The performance counter: a monotonic clock read as ticks, with Windows' signatures. Every
// library of the process reads the same clock through this one, so counter values taken in
// libwinhttp and in a program can be compared and subtracted directly.

#include <cstdint>

#if !defined(_WIN32) || !defined(_WINNT_)
// On Windows these are kernel32's own, declared as windows.h declares them; where windows.h
// is already in, its declarations serve (it must then come before this header).

/// A counter value or frequency, laid out as Windows' 64-bit LARGE_INTEGER.
typedef union _LARGE_INTEGER {
    struct {
        std::uint32_t LowPart;
        std::int32_t HighPart;
    } u;
    std::int64_t QuadPart;
} LARGE_INTEGER;

extern "C" {
#ifdef _WIN32
__declspec(dllimport) int __stdcall QueryPerformanceCounter(LARGE_INTEGER* PerformanceCount);
__declspec(dllimport) int __stdcall QueryPerformanceFrequency(LARGE_INTEGER* Frequency);
#else
/// The current counter value; nonzero on success, 0 (last error 87) for a null pointer.
int QueryPerformanceCounter(LARGE_INTEGER* PerformanceCount);
/// Ticks per second; fixed for the life of the process.
int QueryPerformanceFrequency(LARGE_INTEGER* Frequency);
#endif
}
#endif
