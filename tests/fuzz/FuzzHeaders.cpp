// Header blocks of any text: names come out lower case, values trimmed, and the block the
// collection writes reads back into the same collection.
#include <cstdint>
#include <map>
#include <string>

#include "FuzzCheck.h"
#include "Nimbra.Http.Headers.h"

namespace {
std::map<std::string, std::string> Snapshot(const Nimbra::THttpHeaders& Headers) {
    std::map<std::string, std::string> Result;
    for (const Nimbra::THttpHeaderInfo& Info : Headers.AllHeaders())
        Result.emplace(Info.Name(), Info.Value());
    return Result;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
    const std::string Text(reinterpret_cast<const char*>(Data), Size);
    Nimbra::THttpHeaders Headers;
    Headers.SetRawWideHeaders(Text);

    for (const Nimbra::THttpHeaderInfo& Info : Headers.AllHeaders()) {
        FUZZ_CHECK(!Info.Name().empty());
        FUZZ_CHECK(Info.Name() == Runtime::AsciiLowerCase(Info.Name()));
        FUZZ_CHECK(Headers.Get(Info.Name()) == Info.Value());
        if (!Info.Value().empty()) {
            FUZZ_CHECK(static_cast<unsigned char>(Info.Value().front()) > ' ');
            FUZZ_CHECK(static_cast<unsigned char>(Info.Value().back()) > ' ');
        }
    }

    const std::string Block = Headers.RawWideHeaders();
    Nimbra::THttpHeaders Again;
    Again.SetRawWideHeaders(Block);
    FUZZ_CHECK(Snapshot(Again) == Snapshot(Headers));
    FUZZ_CHECK(Again.RawWideHeaders().size() == Block.size());
    return 0;
}
