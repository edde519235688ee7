// PercentDecode of any text gives valid UTF-8, and decoding an encoded text gives the text
// back (invalid UTF-8 in it replaced).
#include <cstdint>
#include <string>

#include "FuzzCheck.h"
#include "Tarn.Utils.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
    const std::string Text(reinterpret_cast<const char*>(Data), Size);
    const std::string Decoded = Tarn::PercentDecode(Text);
    FUZZ_CHECK(IsValidUtf8(Decoded));
    // Each triplet shrinks to one byte, each invalid byte grows to at most three.
    FUZZ_CHECK(Decoded.size() <= 3 * Text.size());

    const std::string Encoded = Tarn::PercentEncode(Text);
    FUZZ_CHECK(Encoded.size() <= 3 * Text.size());
    FUZZ_CHECK(Tarn::PercentDecode(Encoded) == Runtime::ToValidUtf8(Text));
    return 0;
}
