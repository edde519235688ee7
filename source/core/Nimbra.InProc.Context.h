#pragma once
// Nimbra.InProc.Context: one in-process exchange: the server request built from a client
// request, whose body is pulled from the client's body stream, and a server response whose
// body bytes are kept in memory for the client side to read.

#include <cstdint>
#include <memory>
#include <optional>

#include "Nimbra.Http.Engine.h"
#include "Nimbra.HttpServer.Context.h"

namespace Nimbra {

class TInProcHttpContext;

/// The server request's body: the client request's body stream read ahead in blocks of
/// BufferSize bytes, never handing out more than the client request's ContentLength in
/// total. Reads the client stream forward from where it stands and never moves it. The
/// client request must outlive this stream's reads.
class TInProcHttpServerRequestStream : public THttpRequestStream {
  public:
    static constexpr std::int64_t BufferSize = 65536;

    explicit TInProcHttpServerRequestStream(THttpRequest& AClientRequest);

  protected:
    /// The client request's ContentLength, asked once.
    std::int64_t GetContentLength() override;
    std::int64_t ReadContent(void* Buffer, std::int64_t Count) override;

  private:
    std::int64_t ReadFromBuffer(std::uint8_t* Dest, std::int64_t Len);
    void FillBuffer();

    THttpRequest* FClientRequest;  // not owned
    Runtime::TStream* FStream;     // the client's body stream, not owned; may be null
    std::optional<std::int64_t> FContentLength;
    std::int64_t FTotalRead = 0;  // body bytes handed out so far
    Runtime::TBytes FBuffer;
    std::int64_t FBufferPos = 0;      // next unread byte in FBuffer
    std::int64_t FBufferDataLen = 0;  // valid bytes in FBuffer
    bool FEof = false;                // the client stream has reported its end
};

/// The server response of an in-process exchange: status, reason and headers stay in the
/// object, and every raw body byte (with chunk framing when chunked) is appended to
/// CachedContent. No status line or header block is produced.
class TInProcHttpServerResponse : public THttpServerResponse {
  public:
    explicit TInProcHttpServerResponse(TInProcHttpContext& AContext) : FContext(&AContext) {}

    /// The raw body bytes written so far; lives as long as the response.
    Runtime::TBytesStream& CachedContent() noexcept { return FCachedContent; }
    TInProcHttpContext& Context() const noexcept { return *FContext; }

  protected:
    void DoClose() override {}
    void DoWriteHeaders() override {}
    std::int64_t DoWrite(const void* Buffer, std::int64_t Count) override;

  private:
    TInProcHttpContext* FContext;  // the context owning this response
    Runtime::TBytesStream FCachedContent;
};

/// The exchange for one client request: a server request carrying the client's method
/// ("GET" when empty), URL, headers (exactly the client's) and body, and an in-process server
/// response. Owns both. The client request must live while the server runs (its body is
/// read then); afterwards the context no longer touches it.
class TInProcHttpContext : public THttpServerContext {
  public:
    explicit TInProcHttpContext(THttpRequest& AClientRequest);
    ~TInProcHttpContext() override;

    /// The raw response body captured so far.
    Runtime::TStream& ResponseContent() noexcept { return FResponse->CachedContent(); }
    TInProcHttpServerResponse& InProcResponse() noexcept { return *FResponse; }

  protected:
    THttpServerRequest& GetRequest() override { return *FRequest; }
    THttpServerResponse& GetResponse() override { return *FResponse; }

  private:
    std::unique_ptr<THttpServerRequest> FRequest;
    std::unique_ptr<TInProcHttpServerResponse> FResponse;
};

}  // namespace Nimbra
