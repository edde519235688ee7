// The content decoding stream over bodies of any bytes, fed in pieces and read in pieces
// chosen by the input: the decoded bytes equal a whole-buffer decode of the same body, or both
// fail. Bodies the target compresses itself (gzip, zlib-wrapped deflate, raw deflate, gzip in
// two members) must also decode back to what was compressed.
//
// Input: a mode byte m, then (m >> 4) % 8 + 1 piece sizes of one byte each (a byte b stands
// for b + 1 bytes; they split the body as the source hands it out and the reads of the
// decoded bytes alike), then the body. m & 3 picks the format: 0 gzip, 1 zlib, 2 raw
// deflate, 3 gzip whose compressed form is two members; with m & 4 the body is compressed by
// the target first, else it is taken as compressed data.
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "FuzzCheck.h"
#include "Runtime.Stream.h"
#include "Runtime.ZStream.h"

namespace {

// More than any body of max_len inflates to is never needed to tell a difference.
constexpr std::size_t OutputLimit = std::size_t{32} << 20;

struct TOutcome {
    bool Failed = false;
    std::string Data;
};

/// A source that hands out at most the next piece size per read, cycling through them.
class TPiecewiseStream : public Runtime::TBytesStream {
  public:
    TPiecewiseStream(std::string_view Data, const std::vector<std::int64_t>& APieces)
        : TBytesStream(Runtime::TBytes(Data.begin(), Data.end())), FPieces(APieces) {}
    std::int64_t Read(void* Buffer, std::int64_t Count) override {
        const std::int64_t Piece = FPieces[FNext++ % FPieces.size()];
        return TBytesStream::Read(Buffer, std::min(Count, Piece));
    }

  private:
    const std::vector<std::int64_t>& FPieces;
    std::size_t FNext = 0;
};

std::string Compress(std::string_view Data, int WindowBits) {
    z_stream Z{};
    FUZZ_CHECK(deflateInit2(&Z, Z_DEFAULT_COMPRESSION, Z_DEFLATED, WindowBits, 8,
                            Z_DEFAULT_STRATEGY) == Z_OK);
    std::string Out(deflateBound(&Z, static_cast<uLong>(Data.size())) + 64, '\0');
    Z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(Data.data()));
    Z.avail_in = static_cast<uInt>(Data.size());
    Z.next_out = reinterpret_cast<Bytef*>(Out.data());
    Z.avail_out = static_cast<uInt>(Out.size());
    FUZZ_CHECK(deflate(&Z, Z_FINISH) == Z_STREAM_END);
    Out.resize(Z.total_out);
    deflateEnd(&Z);
    return Out;
}

// The rules written out over the whole body at once: an empty body is empty; the data must
// end where the format says it ends, and bytes after that end are ignored, except that gzip
// data goes on with every further member that follows it directly.
TOutcome Reference(std::string_view Body, int WindowBits) {
    TOutcome O;
    if (Body.empty()) return O;
    z_stream Z{};
    FUZZ_CHECK(inflateInit2(&Z, WindowBits) == Z_OK);
    Z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(Body.data()));
    Z.avail_in = static_cast<uInt>(Body.size());
    std::vector<Bytef> Out(64 * 1024);
    for (;;) {
        Z.next_out = Out.data();
        Z.avail_out = static_cast<uInt>(Out.size());
        const int Code = inflate(&Z, Z_NO_FLUSH);
        O.Data.append(reinterpret_cast<const char*>(Out.data()), Out.size() - Z.avail_out);
        if (O.Data.size() > OutputLimit) break;
        if (Code == Z_STREAM_END) {
            const bool NextMember =
                WindowBits >= 16 && Z.avail_in >= 2 && Z.next_in[0] == 0x1F && Z.next_in[1] == 0x8B;
            if (!NextMember) break;
            inflateReset(&Z);
            continue;
        }
        if (Code == Z_OK) continue;
        if (Code == Z_BUF_ERROR && Z.avail_out == 0) continue;
        O.Failed = true;  // corrupt data, or data that stops before its end
        break;
    }
    inflateEnd(&Z);
    return O;
}

TOutcome Streamed(std::string_view Body, int WindowBits, const std::vector<std::int64_t>& Pieces) {
    TOutcome O;
    TPiecewiseStream Source(Body, Pieces);
    try {
        Runtime::TDecompressionStream Decoder(Source, WindowBits);
        std::vector<char> Buffer(257);
        for (std::size_t I = 0;; ++I) {
            const std::int64_t Piece = Pieces[I % Pieces.size()];
            const std::int64_t N = Decoder.Read(Buffer.data(), Piece);
            FUZZ_CHECK(N >= 0 && N <= Piece);
            if (N == 0) break;
            O.Data.append(Buffer.data(), static_cast<std::size_t>(N));
            FUZZ_CHECK(Decoder.Position() == static_cast<std::int64_t>(O.Data.size()));
            if (O.Data.size() > OutputLimit) return O;
        }
        // Once ended, the stream stays ended.
        FUZZ_CHECK(Decoder.Read(Buffer.data(), 16) == 0);
    } catch (const Runtime::EDecompressionError&) {
        O.Failed = true;
    }
    return O;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
    if (Size == 0) return 0;
    const std::uint8_t Mode = Data[0];
    const std::size_t Count = (Mode >> 4) % 8 + 1;
    if (Size < 1 + Count) return 0;
    std::vector<std::int64_t> Pieces;
    for (std::size_t I = 0; I < Count; ++I) Pieces.push_back(std::int64_t{Data[1 + I]} + 1);
    const std::string_view Payload(reinterpret_cast<const char*>(Data) + 1 + Count,
                                   Size - 1 - Count);

    static constexpr int WindowBitsOf[] = {31, 15, -15, 31};
    const int WindowBits = WindowBitsOf[Mode & 3];
    std::string Body(Payload);
    if (Mode & 4) {
        if ((Mode & 3) == 3) {
            // Two members, split where the first piece size says.
            const std::size_t Split = std::min<std::size_t>(Payload.size(), Pieces[0]);
            Body = Compress(Payload.substr(0, Split), 31) + Compress(Payload.substr(Split), 31);
        } else {
            Body = Compress(Payload, WindowBits);
        }
    }

    const TOutcome Expected = Reference(Body, WindowBits);
    const TOutcome Got = Streamed(Body, WindowBits, Pieces);
    if (Expected.Data.size() > OutputLimit || Got.Data.size() > OutputLimit) return 0;
    FUZZ_CHECK(Got.Failed == Expected.Failed);
    if (!Got.Failed) FUZZ_CHECK(Got.Data == Expected.Data);
    if (Mode & 4) {
        FUZZ_CHECK(!Got.Failed);
        FUZZ_CHECK(Got.Data == Payload);
    }
    return 0;
}
