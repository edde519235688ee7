#include "PlatformTable.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace TestSupport {

namespace {

// Windows' own English texts; Linux's platform layer carries the same ones.
const std::map<std::uint32_t, std::string> WindowsTexts = {
    {5, "Access is denied.\r\n"},
    {8, "Not enough memory resources are available to process this command.\r\n"},
    {87, "The parameter is incorrect.\r\n"},
    {120, "This function is not supported on this system.\r\n"},
    {122, "The data area passed to a system call is too small.\r\n"},
    {424242, ""},
};

const TPlatformRow Rows[] = {
    {TPlatform::Linux, "Linux", "libwinhttp.so", "libz.so.1", "inflate", WindowsTexts, 10, 0},
    {TPlatform::Windows, "Windows", "winhttp.dll", "kernel32.dll", "GetTickCount64",
     WindowsTexts, 0, 0},
    // Wine has shorter texts of its own, and reports the version its prefix is set to: 6.1
    // (Windows 7) for a new prefix, which the tests' prefix is.
    {TPlatform::Wine,
     "Wine",
     "winhttp.dll",
     "kernel32.dll",
     "GetTickCount64",
     {
         {5, "Access denied.\r\n"},
         {8, "Not enough memory.\r\n"},
         {87, "Invalid parameter.\r\n"},
         {120, "Call not implemented.\r\n"},
         {122, "Insufficient buffer.\r\n"},
         {424242, ""},
     },
     6,
     1},
};

TPlatform Detect() {
#ifdef _WIN32
    const HMODULE Ntdll = GetModuleHandleW(L"ntdll.dll");
    return Ntdll && GetProcAddress(Ntdll, "wine_get_version") ? TPlatform::Wine
                                                              : TPlatform::Windows;
#else
    return TPlatform::Linux;
#endif
}

}  // namespace

const TPlatformRow& CurrentPlatform() {
    static const TPlatform P = Detect();
    for (const auto& R : Rows)
        if (R.Platform == P) return R;
    return Rows[0];
}

}  // namespace TestSupport
