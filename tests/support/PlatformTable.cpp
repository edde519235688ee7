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
    {
        .Platform = TPlatform::Linux,
        .Name = "Linux",
        .WinHttpFile = "libwinhttp.so",
        .SystemLibrary = "libz.so.1",
        .SystemFunction = "inflate",
        .SystemTexts = WindowsTexts,
        .OsMajor = 10,
        .OsMinor = 0,
        .CounterRefusesNull = true,
        .EngineAsksForDecompression = true,
        .DecompressionOptionError = 0,
        .StatusLineWithoutReasonMessage = "",
        .HeadTimeoutMessage = TimedOut,
        .BodyTimeoutMessage = TimedOut,
        .ClosedMidBodyMessage = ConnectionReset,
        .CertificateFailureMessage = CertificateError,
        .CertificateTextFollows = true,
        .TlsHost = "127.0.0.1",
        .RequestTimesKnown = true,
        .CloseEndsABlockedCall = true,
    },
    {
        .Platform = TPlatform::Windows,
        .Name = "Windows",
        .WinHttpFile = "winhttp.dll",
        .SystemLibrary = "kernel32.dll",
        .SystemFunction = "GetTickCount64",
        .SystemTexts = WindowsTexts,
        .OsMajor = 0,  // whatever the machine runs
        .OsMinor = 0,
        .CounterRefusesNull = false,
        .EngineAsksForDecompression = true,
        .DecompressionOptionError = 0,
        .StatusLineWithoutReasonMessage = "",
        .HeadTimeoutMessage = TimedOut,
        .BodyTimeoutMessage = TimedOut,
        .ClosedMidBodyMessage = ConnectionReset,
        .CertificateFailureMessage = CertificateError,
        .CertificateTextFollows = true,
        .TlsHost = "127.0.0.1",
        .RequestTimesKnown = true,
        .CloseEndsABlockedCall = true,
    },
    {
        .Platform = TPlatform::Wine,
        .Name = "Wine",
        .WinHttpFile = "winhttp.dll",
        .SystemLibrary = "kernel32.dll",
        .SystemFunction = "GetTickCount64",
        // Shorter texts of its own.
        .SystemTexts =
            {
                {5, "Access denied.\r\n"},
                {8, "Not enough memory.\r\n"},
                {87, "Invalid parameter.\r\n"},
                {120, "Call not implemented.\r\n"},
                {122, "Insufficient buffer.\r\n"},
                {424242, ""},
            },
        // The version the prefix is set to: 6.1 for a new one, such as the tests' own.
        .OsMajor = 6,
        .OsMinor = 1,
        .CounterRefusesNull = false,
        // Not asked for below 6.3, and Wine 8's WinHTTP has no such option anyway.
        .EngineAsksForDecompression = false,
        .DecompressionOptionError = 12009,
        // A status line needs its reason phrase.
        .StatusLineWithoutReasonMessage =
            WinHttpError + "(12152) The server response cannot be parsed",
        // No time-out on the wait for the response head: the late answer arrives.
        .HeadTimeoutMessage = "",
        // The socket's own code, for which Wine has no text.
        .BodyTimeoutMessage = WinHttpError + "(10060) ",
        // Read as the end of the body, which the response model refuses as too short.
        .ClosedMidBodyMessage = "HttpEngine Error.\r\nCould not read complete entity body. "
                                "Content-length: 100; Bytes read: 10",
        // A secure-channel error, without the secure-failure notification.
        .CertificateFailureMessage = WinHttpError + "(12157) ",
        .CertificateTextFollows = false,
        // Host names are matched against the DNS names of the certificate only.
        .TlsHost = "localhost",
        // Wine 8's WinHTTP has no WINHTTP_OPTION_REQUEST_TIMES.
        .RequestTimesKnown = false,
        .CloseEndsABlockedCall = false,
    },
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
