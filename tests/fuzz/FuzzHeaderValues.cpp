// The header-value and query parsers of TNimbraUtils on any text. The input is split at the
// first NUL into an Accept text and a candidate list (separated by NULs too).
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "FuzzCheck.h"
#include "Nimbra.Utils.h"

using Nimbra::TNimbraUtils;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
    const std::string_view Text(reinterpret_cast<const char*>(Data), Size);

    const auto Params = TNimbraUtils::GetQueryParams(Text, true);
    for (const auto& Pair : Params) FUZZ_CHECK(IsValidUtf8(Pair.Name) && IsValidUtf8(Pair.Value));
    const Nimbra::TQueryString Query = TNimbraUtils::GetQueryString(Text, false);
    FUZZ_CHECK(Query.ParamCount() == static_cast<int>(Params.size()));

    const Nimbra::THeaderParamsInfo Info = TNimbraUtils::ParseContentType(Text);
    for (const auto& Param : Info.Params) FUZZ_CHECK(Info.ParamValue(Param.Name).size() <= Size);
    std::string Name, Value;
    TNimbraUtils::ParseHeader(Text, Name, Value);
    FUZZ_CHECK(Name.size() + Value.size() <= Size);

    std::vector<std::string> Parts;
    std::string_view Rest = Text;
    while (true) {
        const std::size_t Nul = Rest.find('\0');
        Parts.emplace_back(Rest.substr(0, Nul));
        if (Nul == std::string_view::npos) break;
        Rest.remove_prefix(Nul + 1);
    }
    const std::string Accept = Parts.front();
    const std::vector<std::string> Candidates(Parts.begin() + 1, Parts.end());
    const auto IsCandidate = [&](const std::string& Chosen) {
        if (Chosen.empty()) return true;
        for (const std::string& C : Candidates)
            if (C == Chosen) return true;
        return false;
    };
    FUZZ_CHECK(IsCandidate(TNimbraUtils::AcceptsType(Accept, Candidates)));
    FUZZ_CHECK(IsCandidate(TNimbraUtils::AcceptsEncoding(Accept, Candidates)));
    return 0;
}
