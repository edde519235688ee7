#pragma once
// What differs between the systems the tests run on, stated once: Linux with our own
// libwinhttp, Windows, and Wine with its own winhttp.dll. A test asks for the row of the system
// it runs on and checks against it; nothing is weakened on one system for the sake of another.

#include <cstdint>
#include <map>
#include <string>

namespace TestSupport {

enum class TPlatform { Linux, Windows, Wine };

/// The expected outcomes on one system.
struct TPlatformRow {
    TPlatform Platform;
    const char* Name;
    /// The file a library named "winhttp.dll" is loaded from by name.
    std::string WinHttpFile;
    /// A library every process of the system can load, and one function it exports.
    std::string SystemLibrary;
    std::string SystemFunction;
    /// The system's English message texts (with their ".\r\n") for the codes the tests use.
    std::map<std::uint32_t, std::string> SystemTexts;
    /// The operating-system version reported; 0.0 where it is whatever the machine runs.
    int OsMajor;
    int OsMinor;
};

/// The row of the system this program runs on.
const TPlatformRow& CurrentPlatform();

}  // namespace TestSupport
