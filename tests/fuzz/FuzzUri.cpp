// TUri takes any text: every part is computed and the parts fit together.
#include <cstdint>
#include <string>

#include "FuzzCheck.h"
#include "Nimbra.Uri.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
    const std::string Text(reinterpret_cast<const char*>(Data), Size);
    const Nimbra::TUri Uri(Text);

    FUZZ_CHECK(Uri.OriginalUri() == Text);
    FUZZ_CHECK(!Uri.OriginalPath().empty() && Uri.OriginalPath().front() == '/');
    FUZZ_CHECK(Uri.OriginalQuery().empty() || Uri.OriginalQuery().front() == '?');
    FUZZ_CHECK(Uri.OriginalFragment().empty() || Uri.OriginalFragment().front() == '#');
    FUZZ_CHECK(Uri.Scheme() == Runtime::AsciiLowerCase(Uri.Scheme()));
    FUZZ_CHECK(IsValidUtf8(Uri.Path()) && IsValidUtf8(Uri.Query()) && IsValidUtf8(Uri.Fragment()));
    for (const std::string& Segment : Uri.Segments())
        FUZZ_CHECK(!Segment.empty() && IsValidUtf8(Segment));

    // The encoded pieces put back together give the encoded path.
    std::string Joined;
    for (const std::string& Piece : Uri.OriginalSegments()) Joined += Piece;
    FUZZ_CHECK(Joined == Uri.OriginalPath());

    const std::string Absolute = Uri.AbsoluteUri();
    FUZZ_CHECK(Absolute.find("://") != std::string::npos);
    FUZZ_CHECK(Uri.GetAuthority() == Uri.Authority());
    (void)Uri.IsDefaultPort();
    (void)Nimbra::TUri::HasScheme(Text);
    std::string Host, Port;
    Nimbra::TUri::ParseHost(Text, Host, Port);
    FUZZ_CHECK(Host.size() + Port.size() <= Text.size());

    const Nimbra::TUri Copy = Uri.Clone();
    FUZZ_CHECK(Copy.AbsoluteUri() == Absolute && Copy.Segments() == Uri.Segments());
    return 0;
}
