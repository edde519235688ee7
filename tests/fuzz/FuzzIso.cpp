// ISO 8601 parsers on any text: they accept or refuse without fault, and what they accept
// prints and reads back to the same value.
#include <cmath>
#include <cstdint>
#include <string>

#include "FuzzCheck.h"
#include "Runtime.Exception.h"
#include "Tarn.Utils.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
    const std::string Text(reinterpret_cast<const char*>(Data), Size);
    Tarn::TDateTime Value = -12345;
    const bool Ok = Tarn::TryISOToDateTime(Text, Value);
    if (!Ok) {
        FUZZ_CHECK(Value == -12345);
        bool Raised = false;
        try {
            (void)Tarn::ISOToDateTime(Text);
        } catch (const Runtime::EConvertError&) {
            Raised = true;
        }
        FUZZ_CHECK(Raised);
    } else {
        FUZZ_CHECK(std::isfinite(Value));
        FUZZ_CHECK(Value >= Runtime::MinDateTime - 1 && Value < Runtime::MaxDateTime + 1);
        const std::string Printed = Tarn::DateTimeToISO(Value, true);
        Tarn::TDateTime Again;
        FUZZ_CHECK(Tarn::TryISOToDateTime(Printed, Again));
        FUZZ_CHECK(Tarn::DateTimeToISO(Again, true) == Printed);
        FUZZ_CHECK(std::fabs(Again - Value) < 1e-6);
    }

    Tarn::TTime Time;
    if (Tarn::TryISOToTime(Text, Time)) FUZZ_CHECK(Time >= 0 && Time < 1);
    Tarn::TDate Date;
    FUZZ_CHECK(Tarn::TryISOToDate(Text, Date) == Ok);
    return 0;
}
