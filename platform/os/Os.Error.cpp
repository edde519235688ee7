#include "Os.Error.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <unordered_map>
#endif

#ifndef _WIN32
namespace {
// Set by every call of the WinHTTP library, so read without a call into the dynamic linker:
// this library is always loaded with the program or with the WinHTTP library, and its four
// bytes fit the static TLS reserve that is kept for such libraries.
thread_local std::uint32_t GLastError __attribute__((tls_model("initial-exec"))) = 0;
}  // namespace

extern "C" std::uint32_t GetLastError(void) {
    return GLastError;
}
extern "C" void SetLastError(std::uint32_t Code) {
    GLastError = Code;
}
#endif

namespace Os {

#ifdef _WIN32

std::string FormatSystemMessage(std::uint32_t Code) {
    // English whatever the user's language, so messages read the same on every machine.
    wchar_t* Text = nullptr;
    const DWORD Length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, Code, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US),
        reinterpret_cast<wchar_t*>(&Text), 0, nullptr);
    std::string Result;
    if (Length > 0 && Text) {
        const int Bytes = WideCharToMultiByte(CP_UTF8, 0, Text, static_cast<int>(Length), nullptr,
                                              0, nullptr, nullptr);
        if (Bytes > 0) {
            Result.resize(static_cast<std::size_t>(Bytes));
            WideCharToMultiByte(CP_UTF8, 0, Text, static_cast<int>(Length), Result.data(), Bytes,
                                nullptr, nullptr);
        }
    }
    if (Text) LocalFree(Text);
    return Result;
}

#else

std::string FormatSystemMessage(std::uint32_t Code) {
    // The English texts of the system message table for the codes this layer can produce.
    static const std::unordered_map<std::uint32_t, const char*> Table = {
        {0, "The operation completed successfully."},
        {1, "Incorrect function."},
        {2, "The system cannot find the file specified."},
        {3, "The system cannot find the path specified."},
        {5, "Access is denied."},
        {6, "The handle is invalid."},
        {8, "Not enough memory resources are available to process this command."},
        {14, "Not enough memory resources are available to complete this operation."},
        {87, "The parameter is incorrect."},
        {120, "This function is not supported on this system."},
        {122, "The data area passed to a system call is too small."},
        {126, "The specified module could not be found."},
        {127, "The specified procedure could not be found."},
        {995,
         "The I/O operation has been aborted because of either a thread exit or an application "
         "request."},
        {1168, "Element not found."},
        {1460, "This operation returned because the timeout period expired."},
        {10060,
         "A connection attempt failed because the connected party did not properly respond "
         "after a period of time, or established connection failed because connected host has "
         "failed to respond."},
        {10061, "No connection could be made because the target machine actively refused it."},
    };
    auto It = Table.find(Code);
    if (It == Table.end()) return {};
    return std::string(It->second) + "\r\n";
}

#endif

std::string SysErrorMessage(std::uint32_t Code) {
    std::string S = FormatSystemMessage(Code);
    while (!S.empty() && (static_cast<unsigned char>(S.back()) <= ' ' || S.back() == '.'))
        S.pop_back();
    return S;
}

}  // namespace Os
