#pragma once
// Nimbra.Http.InProcEngine: the engine for "local" URLs: serves a request on the calling
// thread through the in-process server named by the URL's host and reads the answer back
// from memory, decoding a chunked body on the way.

#include <cstdint>
#include <limits>
#include <memory>
#include <string_view>

#include "Nimbra.Http.Engine.h"
#include "Nimbra.InProc.Context.h"
#include "Runtime.Exception.h"

namespace Nimbra {

/// No in-process server is registered under the URL's host.
class EInProcServerNotFoundException : public Runtime::Exception {
  public:
    explicit EInProcServerNotFoundException(std::string_view ServerName);
    const char* ClassName() const noexcept override { return "EInProcServerNotFoundException"; }
};

/// Base of the errors met while decoding a chunked body. Position is the count of raw body
/// bytes consumed when the error was found: just past the offending byte, or the raw body's
/// length when the bytes ran out.
class EChunkedException : public Runtime::Exception {
  public:
    std::int64_t Position() const noexcept { return FPosition; }
    const char* ClassName() const noexcept override { return "EChunkedException"; }

  protected:
    EChunkedException(const char* Fmt, std::int64_t APosition);

  private:
    std::int64_t FPosition;
};

/// The raw body ended where a size line, chunk data or a CRLF was still due.
class EChunkedExpectedDataException : public EChunkedException {
  public:
    explicit EChunkedExpectedDataException(std::int64_t Position);
    const char* ClassName() const noexcept override { return "EChunkedExpectedDataException"; }
};

/// A size line holds something other than hexadecimal digits ended by CRLF, or a size
/// above THttpChunkedReader::MaxChunkSize.
class EChunkedInvalidSizeException : public EChunkedException {
  public:
    explicit EChunkedInvalidSizeException(std::int64_t Position);
    const char* ClassName() const noexcept override { return "EChunkedInvalidSizeException"; }
};

/// Chunk data, or the last chunk, is not followed by exactly CR LF.
class EChunkedExpectedCRLFException : public EChunkedException {
  public:
    explicit EChunkedExpectedCRLFException(std::int64_t Position);
    const char* ClassName() const noexcept override { return "EChunkedExpectedCRLFException"; }
};

/// Decodes a body in the chunked transfer coding from a stream, as the server pipeline
/// writes it: size lines of hexadecimal digits only (no extensions, blanks or bare LF), each
/// chunk's data followed by CRLF, the last chunk "0" followed by an empty line (no
/// trailers). Reads the source forward and never past the end of the chunked body. The
/// source is not owned and must outlive the reader.
class THttpChunkedReader {
  public:
    /// The largest chunk accepted (7FFFFF hexadecimal).
    static constexpr std::int32_t MaxChunkSize = 8388607;

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

/// The raw body of an in-process response, read from its first byte: the captured bytes as
/// they are, or decoded when chunked. A body that ends short of its framing (chunked without
/// its last chunk, fewer bytes than the stated length, or ended by an aborted response where
/// no length was stated) raises when its end is reached, so a cut body never reads as a
/// complete one. The
/// captured bytes are not owned and must outlive the reads; destroying the stream does not
/// touch them.
class TInProcHttpResponseStream : public THttpResponseStream {
  public:
    /// AStatedLength: the length the response states for its body, -1 for none.
    TInProcHttpResponseStream(Runtime::TStream& AStream, bool AChunked, bool AAborted = false,
                              std::int64_t AStatedLength = -1);

  protected:
    std::int64_t DoRead(void* Buffer, std::int64_t Count) override;
    /// The bytes are in memory already: a read of any size goes through in one piece.
    std::int64_t MaxPieceSize() const noexcept override {
        return std::numeric_limits<std::int64_t>::max();
    }

  private:
    Runtime::TStream* FStream;
    std::unique_ptr<THttpChunkedReader> FChunkedReader;  // only for a chunked body
    bool FAborted;
    std::int64_t FStatedLength;
    std::int64_t FDelivered = 0;
};

/// The answer of an in-process exchange: status and reason read from the server response,
/// a copy of its headers, the body from the captured bytes. Owns the exchange context.
class TInProcHttpResponse : public THttpResponse {
  public:
    explicit TInProcHttpResponse(std::unique_ptr<TInProcHttpContext> AContext);
    ~TInProcHttpResponse() override;

    /// -1 for a chunked body, else the server response's content length (-1 when it has
    /// none); the same on every call.
    std::int64_t GetContentLength() override;
    std::string GetContentType() override;
    std::string GetContentEncoding() override;
    std::int32_t GetStatusCode() override;
    std::string GetStatusReason() override;

  protected:
    std::unique_ptr<Runtime::TStream> CreateContentStream() override;
    void LoadHeaders(THttpHeaders& Headers) override;

  private:
    THttpServerResponse& ServerResponse() { return FContext->Response(); }

    std::unique_ptr<TInProcHttpContext> FContext;
    std::int64_t FContentLength = -1;
    bool FContentLengthLoaded = false;
};

/// The engine for "local" URLs: each Send runs the whole exchange on the calling thread,
/// through the registered server named by the URL's host (A-Z case ignored; port and user
/// info play no part). Stateless; requests may be sent from several threads at once.
class TInProcHttpEngine : public THttpEngine {
  protected:
    std::unique_ptr<THttpRequest> DoCreateRequest() override;
    /// Raises EInProcServerNotFoundException for an unknown host. Failures of modules come
    /// back as the server's 500 answer.
    std::unique_ptr<THttpResponse> DoSend(THttpRequest& Request) override;
};

}  // namespace Nimbra
