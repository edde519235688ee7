#include "Nimbra.Http.Chunked.h"

#include <algorithm>
#include <cinttypes>

#include "Runtime.Format.h"
#include "Runtime.Text.h"

namespace Nimbra {

namespace {

constexpr std::uint8_t LastChunk[] = {'0', '\r', '\n', '\r', '\n'};
constexpr std::uint8_t ChunkEnd[] = {'\r', '\n'};

// Upper-case hexadecimal digits, no leading zeros; Value > 0.
void AppendHex(Runtime::TBytes& Out, std::int64_t Value) {
    char Digits[16];
    int N = 0;
    do {
        Digits[N++] = "0123456789ABCDEF"[Value & 0xF];
        Value >>= 4;
    } while (Value > 0);
    while (N > 0) Out.push_back(static_cast<std::uint8_t>(Digits[--N]));
}

}  // namespace

// ---- Exceptions ---------------------------------------------------------------------------

EChunkedException::EChunkedException(const char* AFmt, std::int64_t APosition)
    : Exception(Runtime::Format(AFmt, APosition)), FPosition(APosition) {}

EChunkedExpectedDataException::EChunkedExpectedDataException(std::int64_t APosition)
    : EChunkedException("Expected chunked data or size at position %" PRId64, APosition) {}

EChunkedInvalidSizeException::EChunkedInvalidSizeException(std::int64_t APosition)
    : EChunkedException("Invalid chunk size at position %" PRId64, APosition) {}

EChunkedExpectedCRLFException::EChunkedExpectedCRLFException(std::int64_t APosition)
    : EChunkedException("Expected CRLF at position %" PRId64, APosition) {}

// ---- THttpChunkedReader -------------------------------------------------------------------

std::uint8_t THttpChunkedReader::ReadByte() {
    std::uint8_t Byte = 0;
    if (FStream->Read(&Byte, 1) != 1) throw EChunkedExpectedDataException(Position());
    return Byte;
}

std::int32_t THttpChunkedReader::ReadChunkSize() {
    std::uint8_t Byte = ReadByte();
    std::int32_t Size = 0;
    do {
        const int Digit = Runtime::HexValue(static_cast<char>(Byte));
        if (Digit < 0) throw EChunkedInvalidSizeException(Position());
        // Checked digit by digit, so the one that carries the size over is the one reported.
        const std::int64_t Next = std::int64_t{Size} * 16 + Digit;
        if (Next > MaxChunkSize) throw EChunkedInvalidSizeException(Position());
        Size = static_cast<std::int32_t>(Next);
        Byte = ReadByte();
    } while (Byte != '\r');
    // CR is only allowed as the start of the line's CRLF, so anything after it is a bad size
    // line rather than a missing CRLF.
    if (ReadByte() != '\n') throw EChunkedInvalidSizeException(Position());
    if (Size == 0) {
        // No trailers: the body ends with an empty line right after the last chunk.
        ReadCRLF();
        FFinished = true;
    }
    return Size;
}

void THttpChunkedReader::ReadCRLF() {
    if (ReadByte() != '\r') throw EChunkedExpectedCRLFException(Position());
    if (ReadByte() != '\n') throw EChunkedExpectedCRLFException(Position());
}

std::int64_t THttpChunkedReader::Read(void* Buffer, std::int64_t Count) {
    if (Count <= 0 || FFinished) return 0;
    auto* Out = static_cast<std::uint8_t*>(Buffer);
    std::int64_t Total = 0;
    std::int64_t Got = 0;
    // Runs once more after the request is satisfied at a chunk's end, so the next size line
    // (and the end of the body) is seen before returning.
    do {
        if (FRemainingInChunk == 0) {
            FRemainingInChunk = ReadChunkSize();
            if (FFinished) break;
        }
        const std::int64_t N = std::min<std::int64_t>(Count - Total, FRemainingInChunk);
        Got = 0;
        if (N > 0) {
            Got = FStream->Read(Out + Total, N);
            // A chunk cut short must not read as a complete body.
            if (Got <= 0) throw EChunkedExpectedDataException(Position());
            FRemainingInChunk -= static_cast<std::int32_t>(Got);
            Total += Got;
            if (FRemainingInChunk == 0) ReadCRLF();
        }
    } while (Got != 0);
    return Total;
}

// ---- THttpChunkedWriter -------------------------------------------------------------------

std::int64_t THttpChunkedWriter::Write(const void* Buffer, std::int64_t Count,
                                       std::int64_t MinChunkSize) {
    if (Count <= 0) return 0;
    const auto* Data = static_cast<const std::uint8_t*>(Buffer);
    if (static_cast<std::int64_t>(FCache.size()) + Count < MinChunkSize) {
        FCache.insert(FCache.end(), Data, Data + Count);
        return Count;
    }
    return WriteChunks(Data, Count);
}

void THttpChunkedWriter::Finish() {
    if (!FCache.empty()) WriteChunks(nullptr, 0);
    FSink->Write(LastChunk, sizeof(LastChunk));
}

std::int64_t THttpChunkedWriter::WriteChunks(const std::uint8_t* Data, std::int64_t Count) {
    // The cached bytes and the new ones go out together, as one chunk unless that would
    // exceed MaxChunkSize.
    Runtime::TBytes Cache;
    Cache.swap(FCache);
    const std::int64_t Cached = static_cast<std::int64_t>(Cache.size());
    const std::int64_t Total = Cached + Count;
    std::int64_t Offset = 0;
    std::int64_t DataEmitted = 0;
    while (Offset < Total) {
        const std::int64_t Piece = std::min<std::int64_t>(Total - Offset, MaxChunkSize);
        FFrame.clear();
        AppendHex(FFrame, Piece);
        FFrame.push_back('\r');
        FFrame.push_back('\n');
        const std::int64_t Head = static_cast<std::int64_t>(FFrame.size());
        // The cached bytes of this piece go out with its size line; the caller's bytes are
        // written from where they are, so a large write is not copied once more.
        const std::int64_t FromCache = std::clamp<std::int64_t>(Cached - Offset, 0, Piece);
        if (FromCache > 0)
            FFrame.insert(FFrame.end(), Cache.begin() + Offset, Cache.begin() + Offset + FromCache);
        const std::int64_t Frame = static_cast<std::int64_t>(FFrame.size());
        const std::int64_t Written = FSink->Write(FFrame.data(), Frame);
        DataEmitted += std::max<std::int64_t>(Written - Head, 0);
        if (Written < Frame) break;
        const std::int64_t FromData = Piece - FromCache;
        if (FromData > 0) {
            const std::int64_t N = FSink->Write(Data + (Offset + FromCache - Cached), FromData);
            DataEmitted += N;
            if (N < FromData) break;
        }
        if (FSink->Write(ChunkEnd, sizeof(ChunkEnd)) < static_cast<std::int64_t>(sizeof(ChunkEnd)))
            break;
        Offset += Piece;
    }
    // Keep the buffers for the next chunk, unless a large write made them huge.
    constexpr std::size_t KeepCapacity = 1 << 20;
    if (Cache.capacity() <= KeepCapacity) {
        Cache.clear();
        FCache.swap(Cache);
    }
    if (FFrame.capacity() > KeepCapacity) Runtime::TBytes().swap(FFrame);
    return std::clamp<std::int64_t>(DataEmitted - Cached, 0, Count);
}

}  // namespace Nimbra
