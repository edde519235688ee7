#pragma once
// The calling thread's last error, shared by every library of the process (on Linux this
// library is shared for exactly that reason; on Windows it is the system's own), and the
// system's English texts for error codes.

#include <cstdint>
#include <string>

#ifdef _WIN32
// kernel32's own functions, declared exactly as windows.h declares them, so that callers need
// not pull all of windows.h in with this header.
extern "C" {
__declspec(dllimport) unsigned long __stdcall GetLastError(void);
__declspec(dllimport) void __stdcall SetLastError(unsigned long Code);
}
#else
extern "C" {
/// The calling thread's last error code, with Windows' signature.
std::uint32_t GetLastError(void);
/// Sets the calling thread's last error code.
void SetLastError(std::uint32_t Code);
}
#endif

namespace Os {

// Windows' error codes this layer produces; macros so they agree with winhttp.h's.
#ifndef ERROR_SUCCESS
#define ERROR_SUCCESS 0
#endif
#ifndef ERROR_INVALID_HANDLE
#define ERROR_INVALID_HANDLE 6
#endif
#ifndef ERROR_NOT_ENOUGH_MEMORY
#define ERROR_NOT_ENOUGH_MEMORY 8
#endif
#ifndef ERROR_INVALID_PARAMETER
#define ERROR_INVALID_PARAMETER 87
#endif
#ifndef ERROR_CALL_NOT_IMPLEMENTED
#define ERROR_CALL_NOT_IMPLEMENTED 120
#endif
#ifndef ERROR_INSUFFICIENT_BUFFER
#define ERROR_INSUFFICIENT_BUFFER 122
#endif
#ifndef ERROR_MOD_NOT_FOUND
#define ERROR_MOD_NOT_FOUND 126
#endif
#ifndef ERROR_PROC_NOT_FOUND
#define ERROR_PROC_NOT_FOUND 127
#endif

/// The system message for a code exactly as the system's message table holds it (English,
/// ending in ".\r\n"); empty for codes the table does not know. On Windows the text comes
/// from the system (FormatMessageW, English), on Linux from a table of the codes this layer
/// and libwinhttp produce.
std::string FormatSystemMessage(std::uint32_t Code);

/// The system message without its trailing line break, blanks and period.
std::string SysErrorMessage(std::uint32_t Code);

}  // namespace Os
