#pragma once
// The operating-system version this platform layer reports. On Windows it is the version the
// system runs (Wine answers what its configuration names); the Linux layer supports what
// Windows 10 supports, so it answers 10.0.

namespace Os {

/// Version of the operating system as the rest of the system sees it.
class TOSVersion {
  public:
    static int Major() noexcept;
    static int Minor() noexcept;
    /// True when the version is at least Major.Minor.
    static bool Check(int AMajor, int AMinor = 0) noexcept;
};

}  // namespace Os
