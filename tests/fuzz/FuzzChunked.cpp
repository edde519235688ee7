// Chunked bodies of any bytes, read in piece sizes chosen by the input: reading in pieces,
// reading all at once through the response body stream and a plain whole-buffer decoder
// agree on the bytes, or on the exception and its position; nothing past the end of the
// chunked body is consumed.
//
// Input: one byte n, then (n % 8) + 1 piece sizes of one byte each (a byte b reads b + 1
// bytes), then the raw body.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "FuzzCheck.h"
#include "Nimbra.Http.InProcEngine.h"

namespace {

struct TOutcome {
    std::string Data;           // compared only when Error is empty
    std::string Error;          // exception class
    std::int64_t Position = 0;  // where the body ended, or the exception's position
};

int HexValue(char C) {
    if (C >= '0' && C <= '9') return C - '0';
    if (C >= 'a' && C <= 'f') return C - 'a' + 10;
    if (C >= 'A' && C <= 'F') return C - 'A' + 10;
    return -1;
}

// The accepted form written out over the whole buffer, independent of the reader's loop.
TOutcome Reference(std::string_view Raw) {
    TOutcome O;
    std::size_t P = 0;
    auto Fail = [&](const char* Error, std::size_t At) {
        O.Error = Error;
        O.Position = static_cast<std::int64_t>(At);
        return O;
    };
    const char* const NoData = "EChunkedExpectedDataException";
    const char* const BadSize = "EChunkedInvalidSizeException";
    const char* const NoCRLF = "EChunkedExpectedCRLFException";
    for (;;) {
        if (P >= Raw.size()) return Fail(NoData, P);
        std::int64_t Size = 0;
        for (;;) {
            const int Digit = HexValue(Raw[P++]);
            if (Digit < 0) return Fail(BadSize, P);
            Size = Size * 16 + Digit;
            if (Size > Nimbra::MaxChunkSize) return Fail(BadSize, P);
            if (P >= Raw.size()) return Fail(NoData, P);
            if (Raw[P] == '\r') {
                ++P;
                break;
            }
        }
        if (P >= Raw.size()) return Fail(NoData, P);
        if (Raw[P++] != '\n') return Fail(BadSize, P);
        if (Size > 0) {
            if (Raw.size() - P < static_cast<std::size_t>(Size)) return Fail(NoData, Raw.size());
            O.Data.append(Raw.substr(P, static_cast<std::size_t>(Size)));
            P += static_cast<std::size_t>(Size);
        }
        if (P >= Raw.size()) return Fail(NoData, P);
        if (Raw[P++] != '\r') return Fail(NoCRLF, P);
        if (P >= Raw.size()) return Fail(NoData, P);
        if (Raw[P++] != '\n') return Fail(NoCRLF, P);
        if (Size == 0) {
            O.Position = static_cast<std::int64_t>(P);
            return O;
        }
    }
}

TOutcome InPieces(std::string_view Raw, const std::vector<std::int64_t>& Pieces) {
    Runtime::TBytesStream Source(Runtime::TBytes(Raw.begin(), Raw.end()));
    Nimbra::THttpChunkedReader Reader(Source);
    TOutcome O;
    std::vector<char> Buffer(257);
    try {
        for (std::size_t I = 0;; ++I) {
            const std::int64_t Piece = Pieces[I % Pieces.size()];
            const std::int64_t N = Reader.Read(Buffer.data(), Piece);
            FUZZ_CHECK(N >= 0 && N <= Piece);
            if (N == 0) break;
            O.Data.append(Buffer.data(), static_cast<std::size_t>(N));
        }
        FUZZ_CHECK(Reader.Finished());
        O.Position = Source.Position();
        // Once ended, the reader stays ended and reads nothing more.
        FUZZ_CHECK(Reader.Read(Buffer.data(), 16) == 0);
        FUZZ_CHECK(Source.Position() == O.Position);
    } catch (const Nimbra::EChunkedException& E) {
        O.Error = E.ClassName();
        O.Position = E.Position();
        FUZZ_CHECK(Source.Position() == E.Position());
    }
    return O;
}

TOutcome AllAtOnce(std::string_view Raw) {
    Runtime::TBytesStream Source(Runtime::TBytes(Raw.begin(), Raw.end()));
    Nimbra::TInProcHttpResponseStream Body(Source, true);
    TOutcome O;
    std::string Buffer(Raw.size() + 1, '\0');
    try {
        const std::int64_t N = Body.Read(Buffer.data(), static_cast<std::int64_t>(Buffer.size()));
        O.Data.assign(Buffer.data(), static_cast<std::size_t>(N));
        FUZZ_CHECK(Body.Read(Buffer.data(), 1) == 0);
        O.Position = Source.Position();
    } catch (const Nimbra::EChunkedException& E) {
        O.Error = E.ClassName();
        O.Position = E.Position();
    }
    return O;
}

void CheckSame(const TOutcome& A, const TOutcome& B) {
    FUZZ_CHECK(A.Error == B.Error);
    FUZZ_CHECK(A.Position == B.Position);
    if (A.Error.empty()) FUZZ_CHECK(A.Data == B.Data);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
    if (Size == 0) return 0;
    const std::size_t Count = Data[0] % 8 + 1;
    if (Size < 1 + Count) return 0;
    std::vector<std::int64_t> Pieces;
    for (std::size_t I = 0; I < Count; ++I) Pieces.push_back(std::int64_t{Data[1 + I]} + 1);
    const std::string_view Raw(reinterpret_cast<const char*>(Data) + 1 + Count, Size - 1 - Count);

    const TOutcome Expected = Reference(Raw);
    CheckSame(InPieces(Raw, Pieces), Expected);
    CheckSame(AllAtOnce(Raw), Expected);
    return 0;
}
