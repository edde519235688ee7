// The platform layer: library loading by name, the thread's last error, the system's message
// texts, the operating-system version and the performance counter, on each system against its
// row of the platform table.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "Nimbra.WinHttp.Api.h"
#include "Os.Clock.h"
#include "Os.Error.h"
#include "Os.Library.h"
#include "Os.Version.h"
#include "PlatformTable.h"

namespace {

using TestSupport::CurrentPlatform;
using TestSupport::TPlatform;

TEST(OsLayer, LibraryNamesMapToSharedObjects) {
    const auto& Row = CurrentPlatform();
    SCOPED_TRACE(Row.Name);
    // Linux finds the shared object for a DLL's name; Windows loads every name as given.
    const bool Mapped = Row.Platform == TPlatform::Linux;
    struct {
        const char* Name;
        std::string LinuxFile;
    } Cases[] = {
        {"winhttp.dll", "libwinhttp.so"},
        {"WinHttp.DLL", "libwinhttp.so"},
        {"sub/Foo.dll", "sub/libfoo.so"},
        {"libz.so.1", "libz.so.1"},
    };
    for (const auto& C : Cases) {
        SCOPED_TRACE(C.Name);
        EXPECT_EQ(Os::LibraryFileName(C.Name), Mapped ? C.LinuxFile : std::string(C.Name));
    }
    EXPECT_EQ(Os::LibraryFileName("winhttp.dll"), Row.WinHttpFile);
}

TEST(OsLayer, LoadFailuresSetTheLastError) {
    const auto& Row = CurrentPlatform();
    SCOPED_TRACE(Row.Name);
    EXPECT_EQ(Os::SafeLoadLibrary("ostrel-no-such-library.dll"), nullptr);
    EXPECT_EQ(GetLastError(), 126u);
    Os::HMODULE Lib = Os::SafeLoadLibrary(Row.SystemLibrary);
    ASSERT_NE(Lib, nullptr);
    EXPECT_NE(Os::GetProcAddress(Lib, Row.SystemFunction.c_str()), nullptr);
    EXPECT_EQ(Os::GetProcAddress(Lib, "NoSuchFunction"), nullptr);
    EXPECT_EQ(GetLastError(), 127u);
    EXPECT_TRUE(Os::FreeLibrary(Lib));
    EXPECT_FALSE(Os::FreeLibrary(nullptr));
    EXPECT_EQ(GetLastError(), 6u);
}

TEST(OsLayer, LastErrorIsPerThreadAndSharedWithTheLibrary) {
    ASSERT_TRUE(Nimbra::LoadWinHttp());
    // The threads hand over through atomics only: starting and joining a thread are system
    // calls, which on Windows may change the caller's last error.
    std::atomic<int> Step{0};
    DWORD SeenByOther = 99;
    std::thread T([&] {
        while (Step.load() != 1) std::this_thread::yield();
        SeenByOther = GetLastError();
        SetLastError(8);
        Step.store(2);
    });
    SetLastError(5);
    Step.store(1);
    while (Step.load() != 2) {
    }
    const DWORD Mine = GetLastError();
    T.join();
    EXPECT_EQ(SeenByOther, 0u);
    EXPECT_EQ(Mine, 5u);
    // The WinHTTP library sets the error; this program reads it through the platform layer.
    EXPECT_FALSE(Nimbra::WinHttpCloseHandle(reinterpret_cast<HINTERNET>(0x7)));
    EXPECT_EQ(GetLastError(), 6u);
}

TEST(OsLayer, SystemMessagesAndVersion) {
    const auto& Row = CurrentPlatform();
    SCOPED_TRACE(Row.Name);
    for (const auto& [Code, Text] : Row.SystemTexts) {
        SCOPED_TRACE(Code);
        EXPECT_EQ(Os::FormatSystemMessage(Code), Text);
        // The short form drops the line break and the period.
        const std::string Short = Text.empty() ? Text : Text.substr(0, Text.size() - 3);
        EXPECT_EQ(Os::SysErrorMessage(Code), Short);
    }
    if (Row.OsMajor > 0) {
        EXPECT_EQ(Os::TOSVersion::Major(), Row.OsMajor);
        EXPECT_EQ(Os::TOSVersion::Minor(), Row.OsMinor);
    } else {
        EXPECT_GE(Os::TOSVersion::Major(), 6);
    }
    const int Major = Os::TOSVersion::Major(), Minor = Os::TOSVersion::Minor();
    EXPECT_TRUE(Os::TOSVersion::Check(Major, Minor));
    EXPECT_TRUE(Os::TOSVersion::Check(Major - 1, 9));
    EXPECT_FALSE(Os::TOSVersion::Check(Major, Minor + 1));
    EXPECT_FALSE(Os::TOSVersion::Check(Major + 1, 0));
    EXPECT_EQ(Os::TOSVersion::Check(6, 3), Major > 6 || (Major == 6 && Minor >= 3));
}

TEST(OsLayer, PerformanceCounterCountsInItsOwnFrequency) {
    LARGE_INTEGER Frequency{}, First{}, Second{};
    ASSERT_TRUE(QueryPerformanceFrequency(&Frequency));
    ASSERT_GT(Frequency.QuadPart, 0);
    // The counter and the standard steady clock measure one span: the counter's reading,
    // turned into time by its frequency, lies between the clock's inner and outer readings.
    const auto Outer0 = std::chrono::steady_clock::now();
    ASSERT_TRUE(QueryPerformanceCounter(&First));
    const auto Inner0 = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const auto Inner1 = std::chrono::steady_clock::now();
    ASSERT_TRUE(QueryPerformanceCounter(&Second));
    const auto Outer1 = std::chrono::steady_clock::now();
    const double CounterNs =
        static_cast<double>(Second.QuadPart - First.QuadPart) * 1e9 / Frequency.QuadPart;
    auto Ns = [](auto Span) {
        return static_cast<double>(
            std::chrono::duration_cast<std::chrono::nanoseconds>(Span).count());
    };
    const double Tick = 1e9 / static_cast<double>(Frequency.QuadPart);
    EXPECT_GE(CounterNs + Tick, Ns(Inner1 - Inner0));
    EXPECT_LE(CounterNs, Ns(Outer1 - Outer0) + Tick);

    // Null pointers fail with 87 in our layer; the system's own functions write through
    // whatever they are given, so they are not asked.
    if (!CurrentPlatform().CounterRefusesNull) return;
    SetLastError(0);
    EXPECT_FALSE(QueryPerformanceCounter(nullptr));
    EXPECT_EQ(GetLastError(), static_cast<std::uint32_t>(ERROR_INVALID_PARAMETER));
    SetLastError(0);
    EXPECT_FALSE(QueryPerformanceFrequency(nullptr));
    EXPECT_EQ(GetLastError(), static_cast<std::uint32_t>(ERROR_INVALID_PARAMETER));
}

}  // namespace
