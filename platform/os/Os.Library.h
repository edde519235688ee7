#pragma once
// Loading shared libraries by their Windows names: on Windows the system loads the DLL itself;
// on Linux code written against a DLL finds the matching shared object.

#include <span>
#include <string>
#include <string_view>

namespace Os {

using HMODULE = void*;

/// Error mode that keeps Windows from showing a dialog for a missing library.
inline constexpr unsigned SEM_NOOPENFILEERRORBOX = 0x8000;

/// The file name a library goes by on this system: on Linux "winhttp.dll" becomes
/// "libwinhttp.so" and names without a ".dll" suffix are returned unchanged; on Windows every
/// name is its own file name.
std::string LibraryFileName(std::string_view Name);

/// Folder of the running executable, without a trailing separator ("" if unknown).
std::string ExecutableDir();

/// Folder of the shared library that holds this platform layer, without a trailing separator
/// ("" if unknown). Libraries installed together with it are found from here, wherever the
/// installation was put.
std::string ModuleDir();

/// Loads a library by name: next to the executable first, then in each of SearchDirs in
/// order, then the usual search path. A copy found in one of these folders that fails to
/// load is the answer (null), not passed over for another copy further on. A name with a
/// folder in it is loaded from there only. Returns null on failure with the thread's last
/// error set (126 module not found). ErrorMode is applied for the duration of the load where
/// the system has one.
HMODULE SafeLoadLibrary(std::string_view Name, unsigned ErrorMode = SEM_NOOPENFILEERRORBOX,
                        std::span<const std::string> SearchDirs = {});

/// Address of an exported function, or null with the last error set (127).
void* GetProcAddress(HMODULE Module, const char* Name);

/// Releases a library loaded by SafeLoadLibrary; false (last error 6) for a null handle.
/// On Linux the code stays mapped until the process ends, so a pointer into it that some
/// static object still holds during shutdown never points into unmapped memory.
bool FreeLibrary(HMODULE Module);

}  // namespace Os
