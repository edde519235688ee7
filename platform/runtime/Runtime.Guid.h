#pragma once
// The runtime's GUID value and its braced text form.

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace Runtime {

/// A GUID in its usual field layout.
struct TGUID {
    std::uint32_t D1 = 0;
    std::uint16_t D2 = 0;
    std::uint16_t D3 = 0;
    std::array<std::uint8_t, 8> D4{};

    friend bool operator==(const TGUID&, const TGUID&) = default;
};

/// Reads exactly "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}" (hex digits in either case); false
/// (Guid untouched) for anything else.
bool TryStringToGUID(std::string_view S, TGUID& Guid) noexcept;
/// The braced, upper-case text form.
std::string GUIDToString(const TGUID& Guid);

}  // namespace Runtime
