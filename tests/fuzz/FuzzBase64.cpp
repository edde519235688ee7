// Base64 decoding of any text: bytes or EConvertError; the bytes encode and decode back, and
// arbitrary bytes survive an encode/decode round trip.
#include <algorithm>
#include <cstdint>
#include <span>
#include <string>

#include "FuzzCheck.h"
#include "Runtime.Exception.h"
#include "Tarn.Utils.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
    const std::string Text(reinterpret_cast<const char*>(Data), Size);
    try {
        const Runtime::TBytes Bytes = Tarn::DecodeBase64(Text);
        FUZZ_CHECK(Bytes.size() <= Text.size() / 4 * 3 + 2);
        FUZZ_CHECK(Tarn::DecodeBase64(Tarn::EncodeBase64(Bytes)) == Bytes);
    } catch (const Runtime::EConvertError&) {
    }

    const std::span<const std::uint8_t> Raw(Data, Size);
    const std::string Encoded = Tarn::EncodeBase64(Raw);
    FUZZ_CHECK(Encoded.size() % 4 == 0);
    const Runtime::TBytes Back = Tarn::DecodeBase64(Encoded);
    FUZZ_CHECK(Back.size() == Size && std::equal(Back.begin(), Back.end(), Data));
    return 0;
}
