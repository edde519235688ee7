#pragma once
// Nimbra.Http.Chunked: the chunked transfer coding, both directions. The server pipeline's
// raw writer encodes a body with THttpChunkedWriter; the in-process engine decodes the
// captured bytes with THttpChunkedReader. Both keep to one narrow form: size lines of
// hexadecimal digits only (no extensions, blanks or bare LF), each chunk's data followed by
// CRLF, the last chunk "0" followed by an empty line (no trailers).

#include <cstdint>

#include "Runtime.Exception.h"
#include "Runtime.Stream.h"

namespace Nimbra {

/// The largest chunk written or accepted (7FFFFF hexadecimal).
inline constexpr std::int32_t MaxChunkSize = 8388607;

/// Base of the errors met while decoding a chunked body. Position is the count of raw body
/// bytes consumed when the error was found: just past the offending byte, or the raw body's
/// length when the bytes ran out.
class EChunkedException : public Runtime::Exception {
  public:
    std::int64_t Position() const noexcept { return FPosition; }
    const char* ClassName() const noexcept override { return "EChunkedException"; }

  protected:
    EChunkedException(const char* AFmt, std::int64_t APosition);

  private:
    std::int64_t FPosition;
};

/// The raw body ended where a size line, chunk data or a CRLF was still due.
class EChunkedExpectedDataException : public EChunkedException {
  public:
    explicit EChunkedExpectedDataException(std::int64_t APosition);
    const char* ClassName() const noexcept override { return "EChunkedExpectedDataException"; }
};

/// A size line holds something other than hexadecimal digits ended by CRLF, or a size
/// above MaxChunkSize.
class EChunkedInvalidSizeException : public EChunkedException {
  public:
    explicit EChunkedInvalidSizeException(std::int64_t APosition);
    const char* ClassName() const noexcept override { return "EChunkedInvalidSizeException"; }
};

/// Chunk data, or the last chunk, is not followed by exactly CR LF.
class EChunkedExpectedCRLFException : public EChunkedException {
  public:
    explicit EChunkedExpectedCRLFException(std::int64_t APosition);
    const char* ClassName() const noexcept override { return "EChunkedExpectedCRLFException"; }
};

/// Decodes a body in the chunked transfer coding from a stream. Reads the source forward and
/// never past the end of the chunked body. The source is not owned and must outlive the
/// reader.
class THttpChunkedReader {
  public:
    explicit THttpChunkedReader(Runtime::TStream& AStream) : FStream(&AStream) {}
    THttpChunkedReader(const THttpChunkedReader&) = delete;
    THttpChunkedReader& operator=(const THttpChunkedReader&) = delete;

    /// Delivers up to Count decoded bytes, across chunk boundaries; 0 once the body has
    /// ended. When the bytes asked for end exactly with a chunk's data, the next size line
    /// (and, for the last chunk, the final CRLF) is read before returning. Malformed or cut
    /// short input raises an EChunkedException; the bytes consumed stay consumed.
    std::int64_t Read(void* Buffer, std::int64_t Count);
    /// The last chunk and its final CRLF have been read.
    bool Finished() const noexcept { return FFinished; }

  private:
    std::int32_t ReadChunkSize();
    void ReadCRLF();
    /// The next source byte; raises EChunkedExpectedDataException when there is none.
    std::uint8_t ReadByte();
    std::int64_t Position() { return FStream->Position(); }

    Runtime::TStream* FStream;
    std::int32_t FRemainingInChunk = 0;  // data bytes of the current chunk still to deliver
    bool FFinished = false;
};

/// Encodes a body in the chunked transfer coding onto a stream, size lines in upper-case
/// hexadecimal without leading zeros. Written bytes are gathered while fewer than the
/// writer's minimum would be; a write that reaches it sends the gathered bytes and its own
/// as one chunk, split where a chunk would exceed MaxChunkSize. The sink is not owned and
/// must outlive the writer; it takes fewer bytes than offered only when it takes no more.
class THttpChunkedWriter {
  public:
    explicit THttpChunkedWriter(Runtime::TStream& ASink) : FSink(&ASink) {}
    THttpChunkedWriter(const THttpChunkedWriter&) = delete;
    THttpChunkedWriter& operator=(const THttpChunkedWriter&) = delete;

    /// Takes Count bytes, gathering them while the gathered ones and these stay below
    /// MinChunkSize. Returns how many of these bytes were taken (fewer: the sink stopped).
    std::int64_t Write(const void* Buffer, std::int64_t Count, std::int64_t MinChunkSize);
    /// Ends the body: the gathered bytes as a chunk, then the last chunk.
    void Finish();

  private:
    std::int64_t WriteChunks(const std::uint8_t* Data, std::int64_t Count);

    Runtime::TStream* FSink;
    Runtime::TBytes FCache;  // gathered bytes not yet sent
    Runtime::TBytes FFrame;  // reused to build each chunk's head
};

}  // namespace Nimbra
