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
    : FSource(Source), FState(std::make_unique<TState>()), FGzipMembers(WindowBits >= 16) {
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
    z_stream& Z = FState->Z;
    // Input not yet consumed moves to the front of the buffer; new bytes go after it.
    const std::int64_t Kept = Z.avail_in;
    if (Kept > 0 && Z.next_in != FState->Input.get())
        std::copy(Z.next_in, Z.next_in + Kept, FState->Input.get());
    // Someone else may have read the source in between; go back to where our data continues.
    // A forward-only source answers with the bytes it delivered, so it is never moved.
    if (FSource.Position() != FSourcePos) FSource.Seek(FSourcePos, TSeekOrigin::soBeginning);
    const std::int64_t N = FSource.Read(FState->Input.get() + Kept, InputBufferSize - Kept);
    if (N < 0 || N > InputBufferSize - Kept) throw EStreamError("Stream read error");
    FSourcePos += N;
    FTotalIn += N;
    Z.next_in = FState->Input.get();
    Z.avail_in = static_cast<uInt>(Kept + N);
}

bool TDecompressionStream::NextMemberFollows() {
    z_stream& Z = FState->Z;
    // The two bytes that open a gzip member; the buffer may end between them.
    while (Z.avail_in < 2) {
        const uInt Before = Z.avail_in;
        Refill();
        if (Z.avail_in == Before) return false;
    }
    return Z.next_in[0] == 0x1F && Z.next_in[1] == 0x8B;
}

std::int64_t TDecompressionStream::Read(void* Buffer, std::int64_t Count) {
    if (Count <= 0 || FFinished) return 0;
    z_stream& Z = FState->Z;
    auto* Out = static_cast<Bytef*>(Buffer);
    std::int64_t Done = 0;
    while (Done < Count && !FFinished) {
        bool SourceEnded = false;
        if (Z.avail_in == 0) {
            Refill();
            if (Z.avail_in == 0) {
                // An empty body carries no compressed data at all.
                if (FTotalIn == 0) {
                    FFinished = true;
                    break;
                }
                // zlib may have taken in the last bytes while output of them still waits for
                // room (raw deflate has no trailer after them): the data is cut short only
                // when inflating cannot go on without more input.
                SourceEnded = true;
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
                // gzip data may go on with further members, as concatenated files do; each
                // is part of the body. Other bytes after the end are left unread.
                if (FGzipMembers && NextMemberFollows()) {
                    const int ResetCode = inflateReset(&Z);
                    if (ResetCode != Z_OK) RaiseZlibError(Z, ResetCode);
                    break;
                }
                FFinished = true;
                break;
            case Z_BUF_ERROR:
                // No progress is possible only when the input ran dry; the loop refills,
                // unless the source has nothing more: then bytes were lost on the way.
                if (Z.avail_in != 0) RaiseZlibError(Z, Code);
                if (SourceEnded) throw EDecompressionError(TruncatedMessage);
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
