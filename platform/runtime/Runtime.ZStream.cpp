#include "Runtime.ZStream.h"

#include <zlib.h>

#include <algorithm>
#include <climits>

namespace Runtime {

namespace {

// Large enough that the source is asked rarely, small enough that a stream costs little.
constexpr std::int64_t InputBufferSize = 64 * 1024;
// zlib counts in uInt; a larger read is served in several inflate calls.
constexpr std::int64_t MaxInflateChunk = std::int64_t{1} << 30;

// zlib has no message of its own for input that stops early; its gzip reader says this.
constexpr const char* TruncatedMessage = "unexpected end of file";

[[noreturn]] void RaiseZlibError(const z_stream& Z, int Code) {
    throw EDecompressionError(Z.msg != nullptr ? Z.msg : zError(Code));
}

}  // namespace

struct TDecompressionStream::TState {
    z_stream Z{};
    std::unique_ptr<Bytef[]> Input = std::make_unique_for_overwrite<Bytef[]>(InputBufferSize);
};

TDecompressionStream::TDecompressionStream(TStream& Source, int WindowBits)
    : FSource(Source), FState(std::make_unique<TState>()) {
    const int Code = inflateInit2(&FState->Z, WindowBits);
    if (Code != Z_OK) RaiseZlibError(FState->Z, Code);
    // From here on the destructor ends the inflate state, so nothing may throw before the
    // constructor returns without ending it first.
    try {
        FSourcePos = FSource.Position();
    } catch (...) {
        inflateEnd(&FState->Z);
        throw;
    }
}

TDecompressionStream::~TDecompressionStream() {
    inflateEnd(&FState->Z);
}

void TDecompressionStream::Refill() {
    // Someone else may have read the source in between; go back to where our data continues.
    // A forward-only source answers with the bytes it delivered, so it is never moved.
    if (FSource.Position() != FSourcePos) FSource.Seek(FSourcePos, TSeekOrigin::soBeginning);
    const std::int64_t N = FSource.Read(FState->Input.get(), InputBufferSize);
    if (N < 0 || N > InputBufferSize) throw EStreamError("Stream read error");
    FSourcePos += N;
    FTotalIn += N;
    FState->Z.next_in = FState->Input.get();
    FState->Z.avail_in = static_cast<uInt>(N);
}

std::int64_t TDecompressionStream::Read(void* Buffer, std::int64_t Count) {
    if (Count <= 0 || FFinished) return 0;
    z_stream& Z = FState->Z;
    auto* Out = static_cast<Bytef*>(Buffer);
    std::int64_t Done = 0;
    while (Done < Count && !FFinished) {
        if (Z.avail_in == 0) {
            Refill();
            if (Z.avail_in == 0) {
                // An empty body carries no compressed data at all; anything else that stops
                // before the end of the compressed data lost bytes on the way.
                if (FTotalIn == 0) {
                    FFinished = true;
                    break;
                }
                throw EDecompressionError(TruncatedMessage);
            }
        }
        const std::int64_t Chunk = std::min(Count - Done, MaxInflateChunk);
        Z.next_out = Out + Done;
        Z.avail_out = static_cast<uInt>(Chunk);
        const int Code = inflate(&Z, Z_NO_FLUSH);
        const std::int64_t Produced = Chunk - static_cast<std::int64_t>(Z.avail_out);
        Done += Produced;
        FTotalOut += Produced;
        switch (Code) {
            case Z_OK:
                break;
            case Z_STREAM_END:
                // Bytes after the end of the compressed data are left unread.
                FFinished = true;
                break;
            case Z_BUF_ERROR:
                // No progress is possible only when the input ran dry; the loop refills.
                if (Z.avail_in != 0) RaiseZlibError(Z, Code);
                break;
            default:
                RaiseZlibError(Z, Code);
        }
    }
    return Done;
}

std::int64_t TDecompressionStream::Write(const void*, std::int64_t) {
    throw EStreamError("Decompression stream is read-only.");
}

std::int64_t TDecompressionStream::Seek(std::int64_t Offset, TSeekOrigin Origin) {
    if (Offset == 0) {
        if (Origin == TSeekOrigin::soCurrent || Origin == TSeekOrigin::soEnd) return FTotalOut;
        if (Origin == TSeekOrigin::soBeginning && FTotalOut == 0) return 0;
    }
    throw EStreamError("Decompression stream cannot change position.");
}

}  // namespace Runtime
