#include "Tarn.Utils.h"

#include "Runtime.Text.h"

namespace Tarn {

namespace {

constexpr char HexDigits[] = "0123456789ABCDEF";

bool IsUnreserved(unsigned char C) {
    if ((C >= 'A' && C <= 'Z') || (C >= 'a' && C <= 'z') || (C >= '0' && C <= '9')) return true;
    switch (C) {
        case '!': case '\'': case '(': case ')': case '*':
        case '-': case '.': case '_': case '~':
            return true;
        default:
            return false;
    }
}

int HexValue(char C) {
    if (C >= '0' && C <= '9') return C - '0';
    if (C >= 'a' && C <= 'f') return C - 'a' + 10;
    if (C >= 'A' && C <= 'F') return C - 'A' + 10;
    return -1;
}

}  // namespace

std::string PercentEncode(std::string_view S) {
    std::string Result;
    Result.reserve(S.size() * 3);
    for (const char Ch : S) {
        const auto C = static_cast<unsigned char>(Ch);
        if (IsUnreserved(C)) {
            Result += Ch;
        } else {
            Result += '%';
            Result += HexDigits[C >> 4];
            Result += HexDigits[C & 0x0F];
        }
    }
    return Result;
}

std::string PercentDecode(std::string_view S) {
    std::string Bytes;
    Bytes.reserve(S.size());
    for (std::size_t i = 0; i < S.size(); ++i) {
        if (S[i] == '%' && i + 2 < S.size()) {
            const int Hi = HexValue(S[i + 1]), Lo = HexValue(S[i + 2]);
            if (Hi >= 0 && Lo >= 0) {
                Bytes += static_cast<char>((Hi << 4) | Lo);
                i += 2;
                continue;
            }
        }
        Bytes += S[i];
    }
    return Runtime::ToValidUtf8(Bytes);
}

}  // namespace Tarn
