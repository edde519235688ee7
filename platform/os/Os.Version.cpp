#include "Os.Version.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace Os {

#ifdef _WIN32

namespace {

struct TVersion {
    int Major = 0;
    int Minor = 0;
};

// RtlGetVersion tells the version the system really runs; GetVersionEx would answer what
// the program's manifest claims to know about.
TVersion QueryVersion() noexcept {
    using TRtlGetVersion = LONG(WINAPI*)(OSVERSIONINFOW*);
    TVersion V;
    OSVERSIONINFOW Info{};
    Info.dwOSVersionInfoSize = sizeof Info;
    const ::HMODULE Ntdll = GetModuleHandleW(L"ntdll.dll");
    const auto Proc = Ntdll ? reinterpret_cast<TRtlGetVersion>(
                                  reinterpret_cast<void*>(::GetProcAddress(Ntdll, "RtlGetVersion")))
                            : nullptr;
    if (Proc && Proc(&Info) == 0) {
        V.Major = static_cast<int>(Info.dwMajorVersion);
        V.Minor = static_cast<int>(Info.dwMinorVersion);
    }
    return V;
}

const TVersion& Version() noexcept {
    static const TVersion V = QueryVersion();
    return V;
}

}  // namespace

int TOSVersion::Major() noexcept {
    return Version().Major;
}
int TOSVersion::Minor() noexcept {
    return Version().Minor;
}

#else

// The layer implements what the code expects of Windows 10, so it reports that version.
int TOSVersion::Major() noexcept {
    return 10;
}
int TOSVersion::Minor() noexcept {
    return 0;
}

#endif

bool TOSVersion::Check(int AMajor, int AMinor) noexcept {
    return Major() > AMajor || (Major() == AMajor && Minor() >= AMinor);
}

}  // namespace Os
