#pragma once
// Nimbra.Http.InProcEngine: the engine for "local" URLs: serves a request on the calling
// thread through the in-process server named by the URL's host and reads the answer back
// from memory, decoding a chunked body on the way.

#include <cstdint>
#include <limits>
#include <memory>
#include <string_view>

#include "Nimbra.Http.Chunked.h"
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
    /// Always HTTP/1.1: the exchange keeps HTTP/1.1's model (status line, headers, a body
    /// framed by length or chunks), though nothing goes over a wire.
    THttpProtocol HttpProtocolUsed() const noexcept { return THttpProtocol::Http11; }

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
