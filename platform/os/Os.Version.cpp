#include "Os.Version.h"

namespace Os {

// The layer implements what the code expects of Windows 10, so it reports that version.
int TOSVersion::Major() noexcept {
    return 10;
}
int TOSVersion::Minor() noexcept {
    return 0;
}

bool TOSVersion::Check(int AMajor, int AMinor) noexcept {
    return Major() > AMajor || (Major() == AMajor && Minor() >= AMinor);
}

}  // namespace Os
