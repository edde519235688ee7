// Day-time duration text of any kind: read or refused; out-of-range parts raise
// EConvertError and nothing else.
#include <cmath>
#include <cstdint>
#include <string>

#include "FuzzCheck.h"
#include "Runtime.Exception.h"
#include "Tarn.Utils.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
    const std::string Text(reinterpret_cast<const char*>(Data), Size);
    Tarn::TTime Value = -1;
    try {
        if (Tarn::TryDayTimeDurationToDateTime(Text, Value)) {
            FUZZ_CHECK(std::isfinite(Value) && Value >= 0);
            // Whole seconds print and read back unchanged while the day count leaves the
            // double enough precision for milliseconds.
            if (Value < 1e5) {
                const std::string Printed = Tarn::DateTimeToDayTimeDuration(Value);
                Tarn::TTime Again = -1;
                FUZZ_CHECK(Tarn::TryDayTimeDurationToDateTime(Printed, Again));
                FUZZ_CHECK(std::fabs(Again - Value) < 1e-6);
            }
        } else {
            FUZZ_CHECK(Value == -1);
        }
    } catch (const Runtime::EConvertError&) {
    }
    return 0;
}
