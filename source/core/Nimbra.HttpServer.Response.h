#pragma once
// Nimbra.HttpServer.Response: how a server module answers. The response decides its body
// framing once, just before the first output, and pushes body bytes through a replaceable
// raw writer that applies the chunked transfer coding (Nimbra.Http.Chunked); a transport
// implements the output.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "Nimbra.Http.Chunked.h"
#include "Nimbra.Http.Headers.h"
#include "Runtime.Stream.h"

namespace Nimbra {

class THttpServerResponse;

/// Callback run just before a response's headers are emitted; it may still change them.
using THttpResponseHeadersProc = std::function<void(THttpServerResponse&)>;

/// Where a response's body bytes go, and how the body is ended.
class IHttpResponseBodyWriter {
  public:
    virtual ~IHttpResponseBodyWriter() = default;
    /// The stream raw body bytes are written to.
    virtual Runtime::TStream& Stream() = 0;
    /// Ends the body: emits what is buffered and, for a chunked response, the last chunk.
    virtual void Flush() = 0;
};

/// The raw body stream of a response: passes bytes through for a plain body, or encodes
/// them with THttpChunkedWriter, in chunks of at least MinChunkSize bytes, for a chunked
/// one. Write-only, cannot be moved. Valid while its response lives.
class THttpRawResponseStream : public Runtime::TStream {
  public:
    explicit THttpRawResponseStream(THttpServerResponse& AResponse)
        : FOutput(AResponse), FChunked(FOutput), FResponse(&AResponse) {}

    std::int64_t Read(void* Buffer, std::int64_t Count) override;
    std::int64_t Write(const void* Buffer, std::int64_t Count) override;
    std::int64_t Seek(std::int64_t Offset, Runtime::TSeekOrigin Origin) override;
    /// For a chunked response: emits the gathered bytes and then the last chunk.
    void Flush();

  private:
    /// The transport's side: bytes go out as they are, after the headers.
    class TOutput : public Runtime::TStream {
      public:
        explicit TOutput(THttpServerResponse& AResponse) : FResponse(&AResponse) {}
        std::int64_t Read(void* Buffer, std::int64_t Count) override;
        std::int64_t Write(const void* Buffer, std::int64_t Count) override;
        std::int64_t Seek(std::int64_t Offset, Runtime::TSeekOrigin Origin) override;

      private:
        THttpServerResponse* FResponse;
        std::int64_t FWritten = 0;
    };

    TOutput FOutput;
    THttpChunkedWriter FChunked;  // writes to FOutput
    THttpServerResponse* FResponse;
    std::int64_t FStreamSize = 0;
};

/// The default body writer: a THttpRawResponseStream bound to one response.
class THttpRawResponseBodyWriter : public IHttpResponseBodyWriter {
  public:
    explicit THttpRawResponseBodyWriter(THttpServerResponse& AResponse) : FStream(AResponse) {}

    Runtime::TStream& Stream() override { return FStream; }
    void Flush() override { FStream.Flush(); }

  private:
    THttpRawResponseStream FStream;
};

/// The Content stream handed to modules: emits the headers on the first byte and forwards
/// to the response's current raw writer. Write-only, cannot be moved.
class THttpServerResponseStream : public Runtime::TStream {
  public:
    explicit THttpServerResponseStream(THttpServerResponse& AResponse) : FResponse(&AResponse) {}

    std::int64_t Read(void* Buffer, std::int64_t Count) override;
    std::int64_t Write(const void* Buffer, std::int64_t Count) override;
    std::int64_t Seek(std::int64_t Offset, Runtime::TSeekOrigin Origin) override;

  private:
    THttpServerResponse* FResponse;
    std::int64_t FStreamSize = 0;
};

/// A server-side response: status, reason, headers and body. Open until the first output,
/// then its framing (Chunked, ContentLength) is frozen; Close ends it. A transport derives
/// from it and implements the three output hooks. Belongs to the thread serving the
/// exchange.
class THttpServerResponse {
  public:
    THttpServerResponse();
    THttpServerResponse(const THttpServerResponse&) = delete;
    THttpServerResponse& operator=(const THttpServerResponse&) = delete;
    virtual ~THttpServerResponse();

    int StatusCode() const noexcept { return FStatusCode; }
    /// Also sets StatusReason to the code's reason phrase.
    void SetStatusCode(int Value);
    const std::string& StatusReason() const noexcept { return FStatusReason; }
    void SetStatusReason(std::string Value) { FStatusReason = std::move(Value); }

    THttpHeaders& Headers() noexcept { return FHeaders; }
    const THttpHeaders& Headers() const noexcept { return FHeaders; }

    const std::string& Protocol() const noexcept { return FProtocol; }
    void SetProtocol(std::string Value) { FProtocol = std::move(Value); }
    bool KeepAlive() const noexcept { return FKeepAlive; }

    std::int32_t MinChunkSize() const noexcept { return FMinChunkSize; }
    void SetMinChunkSize(std::int32_t Value) noexcept { FMinChunkSize = Value; }

    const std::shared_ptr<IHttpResponseBodyWriter>& RawWriter() const noexcept {
        return FRawWriter;
    }
    /// Replaces the body writer; nullptr raises Runtime::EAssertionFailed.
    void SetRawWriter(std::shared_ptr<IHttpResponseBodyWriter> Value);

    /// The body stream for modules, made on first use; owned by the response.
    Runtime::TStream& Content();

    bool Closed() const noexcept { return FClosed; }
    bool HeadersSent() const noexcept { return FHeadersSent; }

    /// True when "transfer-encoding" is exactly "chunked" (ignoring ASCII case). Setting it
    /// is ignored once the headers are sent; true drops "content-length".
    bool Chunked() const;
    void SetChunked(bool Value);
    /// "content-length" as a number, -1 when absent or not a number. Setting it is ignored
    /// once the headers are sent; a negative value removes the header.
    std::int64_t ContentLength() const;
    void SetContentLength(std::int64_t Value);
    std::string ContentType() const { return FHeaders.Get("content-type"); }
    void SetContentType(std::string_view Value) { FHeaders.SetValue("content-type", Value); }
    std::string ContentEncoding() const { return FHeaders.Get("content-encoding"); }
    void SetContentEncoding(std::string_view Value) {
        FHeaders.SetValue("content-encoding", Value);
    }

    /// Registers a callback for the moment before the headers are emitted; callbacks run
    /// newest first. They get this response and must not outlive it.
    void OnHeaders(THttpResponseHeadersProc Proc);

    /// Ends the response: flushes the body writer, and emits the headers (with
    /// "content-length" 0 when no length was set) if nothing was emitted yet. Closing a
    /// closed response does nothing; body writes after it raise Runtime::EStreamError.
    void Close();
    /// Sets the length to the bytes' count (unless chunked or already sent), writes them
    /// and closes.
    void Close(const Runtime::TBytes& AContent);
    /// Ends a response whose body cannot be completed, such as one whose module failed
    /// after the headers went out: nothing more is written (not the gathered bytes of a
    /// chunk, not the last chunk), so the receiving side finds a cut body rather than a
    /// complete one. Afterwards the response is closed and Aborted. Does nothing once closed.
    void Abort();
    bool Aborted() const noexcept { return FAborted; }

    /// A fresh default writer for this response.
    virtual std::shared_ptr<IHttpResponseBodyWriter> CreateRawWriter();

  protected:
    /// The transport's end of a response whose headers were already emitted.
    virtual void DoClose() = 0;
    /// The transport's end of an aborted response: one writing to a connection drops it,
    /// so the peer sees the body end early. Nothing by default.
    virtual void DoAbort() {}
    /// Emits status and headers; called once, before the first body byte.
    virtual void DoWriteHeaders() = 0;
    /// Takes up to Count raw bytes; returns how many were taken (0: it takes no more).
    virtual std::int64_t DoWrite(const void* Buffer, std::int64_t Count) = 0;

  private:
    friend class THttpRawResponseStream;
    friend class THttpServerResponseStream;

    void SendHeaders();

    int FStatusCode = 0;
    std::string FStatusReason;
    THttpHeaders FHeaders;
    std::shared_ptr<IHttpResponseBodyWriter> FRawWriter;
    std::unique_ptr<THttpServerResponseStream> FContent;
    bool FClosed = false;
    bool FAborted = false;
    std::string FProtocol = "HTTP/1.1";
    bool FKeepAlive = true;
    bool FHeadersSent = false;
    bool FSendingHeaders = false;
    std::int32_t FMinChunkSize = 16384;
    // Shared, so the running chain stays alive when a callback registers another one.
    std::shared_ptr<const THttpResponseHeadersProc> FOnHeadersProc;
};

}  // namespace Nimbra
