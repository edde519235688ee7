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

const std::string WinHttpError = "Could not perform WinHttp operation.\r\nError: ";
const std::string TimedOut = WinHttpError + "(12002) The request has timed out";
const std::string ConnectionReset =
    WinHttpError +
    "(12030) The connection with the server has been reset or terminated, or an incompatible "
    "SSL protocol was encountered";
const std::string CertificateError = WinHttpError + "(12175) Error in Server SSL Certificate";

const TPlatformRow Rows[] = {
    {TPlatform::Linux, "Linux", "libwinhttp.so", "libz.so.1", "inflate", WindowsTexts, 10, 0,
     /* EngineAsksForDecompression */ true, /* DecompressionOptionError */ 0, TimedOut,
     TimedOut, ConnectionReset, CertificateError, /* CertificateTextFollows */ true,
     "127.0.0.1", /* CloseEndsABlockedCall */ true},
    {TPlatform::Windows, "Windows", "winhttp.dll", "kernel32.dll", "GetTickCount64",
     WindowsTexts, 0, 0, true, 0, TimedOut, TimedOut, ConnectionReset, CertificateError, true,
     "127.0.0.1", true},
    // Wine 8: shorter system texts of its own; the version its prefix is set to, 6.1 for a
    // new prefix such as the tests' (so the engine does not ask for decompression, which
    // this WinHTTP does not have either); no time-out on the wait for the response head; a
    // body time-out surfaces as the socket's 10060, which has no text here; a connection
    // closed mid-body reads as the end of the body, which the response model refuses; a
    // certificate failure is a secure-channel error without notification; host names are
    // matched against DNS names only; closing a handle does not end a blocked call.
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
     1,
     /* EngineAsksForDecompression */ false,
     /* DecompressionOptionError */ 12009,
     /* HeadTimeoutMessage */ "",
     WinHttpError + "(10060) ",
     "HttpEngine Error.\r\nCould not read complete entity body. Content-length: 100; Bytes "
     "read: 10",
     WinHttpError + "(12157) ",
     /* CertificateTextFollows */ false,
     "localhost",
     /* CloseEndsABlockedCall */ false},
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
