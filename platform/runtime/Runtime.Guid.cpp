#include "Runtime.Guid.h"

#include "Runtime.Format.h"
#include "Runtime.Text.h"

namespace Runtime {

namespace {

// Reads Count hex digits at Pos; false when any is not a hex digit.
bool ReadHex(std::string_view S, std::size_t Pos, int Count, std::uint64_t& Value) noexcept {
    Value = 0;
    for (int i = 0; i < Count; ++i) {
        const int Digit = HexValue(S[Pos + static_cast<std::size_t>(i)]);
        if (Digit < 0) return false;
        Value = (Value << 4) | static_cast<std::uint64_t>(Digit);
    }
    return true;
}

}  // namespace

bool TryStringToGUID(std::string_view S, TGUID& Guid) noexcept {
    if (S.size() != 38 || S[0] != '{' || S[9] != '-' || S[14] != '-' || S[19] != '-' ||
        S[24] != '-' || S[37] != '}')
        return false;
    TGUID Result;
    std::uint64_t V;
    if (!ReadHex(S, 1, 8, V)) return false;
    Result.D1 = static_cast<std::uint32_t>(V);
    if (!ReadHex(S, 10, 4, V)) return false;
    Result.D2 = static_cast<std::uint16_t>(V);
    if (!ReadHex(S, 15, 4, V)) return false;
    Result.D3 = static_cast<std::uint16_t>(V);
    static constexpr std::size_t D4Pos[8] = {20, 22, 25, 27, 29, 31, 33, 35};
    for (std::size_t i = 0; i < 8; ++i) {
        if (!ReadHex(S, D4Pos[i], 2, V)) return false;
        Result.D4[i] = static_cast<std::uint8_t>(V);
    }
    Guid = Result;
    return true;
}

std::string GUIDToString(const TGUID& G) {
    return Format("{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", G.D1, G.D2, G.D3, G.D4[0],
                  G.D4[1], G.D4[2], G.D4[3], G.D4[4], G.D4[5], G.D4[6], G.D4[7]);
}

}  // namespace Runtime
