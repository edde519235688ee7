#pragma once
// Nimbra.Http.Engine: the contract between the client and its transports: the engine, the
// request a caller fills, the response a transport returns and the forward-only body stream.

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "Nimbra.Http.Headers.h"
#include "Nimbra.Uri.h"
#include "Runtime.Exception.h"
#include "Runtime.Format.h"
#include "Runtime.Stream.h"

namespace Nimbra {

/// Error of the engine contract; every message starts with "HttpEngine Error." and CR LF.
class EHttpEngineException : public Runtime::Exception {
  public:
    static constexpr const char* MessagePrefix = "HttpEngine Error.\r\n";

    explicit EHttpEngineException(std::string_view Msg);
    /// The prefixed text is the printf-style format for Args.
    template <typename... Args>
    static EHttpEngineException CreateFmt(std::string_view Msg, const Args&... Values) {
        const std::string Fmt = MessagePrefix + std::string(Msg);
        return EHttpEngineException(Formatted{}, Runtime::Format(Fmt.c_str(), Values...));
    }
    const char* ClassName() const noexcept override { return "EHttpEngineException"; }

  private:
    struct Formatted {};
    EHttpEngineException(Formatted, std::string Message) : Exception(std::move(Message)) {}
};

/// The HTTP version an exchange went over, as the transport reports it.
enum class THttpProtocol {
    Http11,  // HTTP/1.1 (or 1.0: the framing the two share)
    Http2,   // HTTP/2, negotiated on a TLS connection
};
/// "HTTP/1.1" or "HTTP/2"; a static text.
const char* HttpProtocolName(THttpProtocol Protocol) noexcept;

/// What a caller fills and hands to an engine's Send: method, URI, headers, body and
/// time-out. Owned by whoever created it; not copyable.
class THttpRequest {
  public:
    static constexpr std::int32_t DefaultTimeout = 60000;  // milliseconds

    THttpRequest() = default;
    THttpRequest(const THttpRequest&) = delete;
    THttpRequest& operator=(const THttpRequest&) = delete;
    virtual ~THttpRequest();

    /// The parsed URI; null until a URI is set. Valid until the next SetUri.
    const TUri* AsUri() const noexcept { return FAsUri.get(); }
    const std::string& Method() const noexcept { return FMethod; }
    /// Stores the method with a-z made upper case; nothing else is checked or changed.
    void SetMethod(std::string_view Value);
    /// The URI text exactly as last set.
    const std::string& Uri() const noexcept;
    /// Parses and stores the URI; parsing never fails.
    void SetUri(std::string Value);
    THttpHeaders& Headers() noexcept { return FHeaders; }
    const THttpHeaders& Headers() const noexcept { return FHeaders; }
    std::int32_t Timeout() const noexcept { return FTimeout; }
    void SetTimeout(std::int32_t Value) noexcept { FTimeout = Value; }

    /// Body bytes from the position the content stream had when attached to its end; 0
    /// without a stream. The stream's current position does not matter.
    std::int64_t ContentLength() const;
    /// The attached body stream, or null for no body. Valid while it stays attached (and,
    /// when not owned, as long as its owner keeps it).
    Runtime::TStream* ContentStream() const noexcept { return FContentStream; }
    /// Attaches a body stream (null detaches) and records its position as the body start.
    /// Attaching the stream already attached does nothing. When OwnsContentStream is true
    /// the previously attached stream is freed; the flag then applies to the new stream.
    /// If asking the new stream's position raises, nothing changes.
    void SetContentStream(Runtime::TStream* Value);
    /// Attaches a stream the request owns from now on: the previous stream is handled as
    /// above, then OwnsContentStream becomes true.
    void SetOwnedContentStream(std::unique_ptr<Runtime::TStream> Value);
    /// Whether the request frees the attached stream (never the one made by SetContent).
    bool OwnsContentStream() const noexcept { return FOwnsContentStream; }
    void SetOwnsContentStream(bool Value) noexcept { FOwnsContentStream = Value; }
    /// Makes the bytes the body through an internal stream the request keeps itself;
    /// OwnsContentStream becomes false.
    void SetContent(Runtime::TBytes Value);

    /// Hook a transport may install while it sends the request. Any thread may read and
    /// call it while the send runs: it is handed out as a copy, which stays valid whatever
    /// the transport installs meanwhile.
    std::function<void()> OnCancelRequested() const;
    void SetOnCancelRequested(std::function<void()> Value);

  private:
    void FreeContentStreamIfOwned() noexcept;

    std::string FMethod;
    THttpHeaders FHeaders;
    std::unique_ptr<TUri> FAsUri;
    std::int32_t FTimeout = DefaultTimeout;
    // Owned only when FOwnsContentStream is true and it is not FIntStream.
    Runtime::TStream* FContentStream = nullptr;
    std::int64_t FContentStreamOriginalPos = 0;
    std::unique_ptr<Runtime::TBytesStream> FIntStream;
    bool FOwnsContentStream = false;
    // Guards FOnCancelRequested alone: the sending thread installs the hook while another
    // one may be asking for it.
    mutable std::mutex FCancelLock;
    std::function<void()> FOnCancelRequested;
};

/// The response as seen through the client's interface.
class IHttpResponse {
  public:
    virtual ~IHttpResponse() = default;
    virtual std::int32_t GetStatusCode() = 0;
    virtual std::string GetStatusReason() = 0;
    virtual const THttpHeaders& GetHeaders() = 0;
    virtual std::int64_t GetContentLength() = 0;
    virtual std::string GetContentType() = 0;
    virtual Runtime::TStream& GetContentAsStream() = 0;
    virtual const Runtime::TBytes& GetContentAsBytes() = 0;
};

/// What a transport returns from Send: status, headers and a body decoded from gzip or
/// deflate as the server sent it. Headers and body are fetched from the transport once, on
/// first use; the body can be consumed once, as a stream or as cached bytes. The owner frees
/// it, and with it the headers, the body streams and the transport's resources.
class THttpResponse : public IHttpResponse {
  public:
    THttpResponse() = default;
    THttpResponse(const THttpResponse&) = delete;
    THttpResponse& operator=(const THttpResponse&) = delete;
    ~THttpResponse() override = default;

    std::int32_t StatusCode() { return GetStatusCode(); }
    std::string StatusReason() { return GetStatusReason(); }
    /// The transport's headers, without content-encoding and content-length once the body is
    /// decoded. Valid as long as the response.
    const THttpHeaders& Headers() { return GetHeaders(); }
    std::string ContentType() { return GetContentType(); }
    std::string ContentEncoding() { return GetContentEncoding(); }
    std::int64_t ContentLength() { return GetContentLength(); }
    /// The body, decoded, as a forward-only stream owned by the response.
    Runtime::TStream& ContentAsStream() { return GetContentAsStream(); }
    /// The rest of the body read to its end and cached; valid as long as the response.
    const Runtime::TBytes& ContentAsBytes() { return GetContentAsBytes(); }
    /// The body bytes as UTF-8 text, invalid sequences replaced by U+FFFD.
    std::string ContentAsString() { return GetContentAsString(); }
    bool Chunked() { return GetChunked(); }

    // Transport operations. Status, reason, type, encoding and length go straight to the
    // transport; the others prepare the response first.
    std::int64_t GetContentLength() override = 0;
    std::string GetContentType() override = 0;
    virtual std::string GetContentEncoding() = 0;
    std::int32_t GetStatusCode() override = 0;
    std::string GetStatusReason() override = 0;
    virtual bool GetChunked();
    const Runtime::TBytes& GetContentAsBytes() override;
    Runtime::TStream& GetContentAsStream() override;
    virtual std::string GetContentAsString();
    const THttpHeaders& GetHeaders() override;

  protected:
    /// A new stream over the raw body, owned by the response. Runs after the headers are
    /// loaded, so it may read Headers() and Chunked(). Null means no body.
    virtual std::unique_ptr<Runtime::TStream> CreateContentStream() = 0;
    /// Fills the collection with the transport's headers.
    virtual void LoadHeaders(THttpHeaders& Headers) = 0;
    /// For a transport that has its headers as one block of text (in THttpHeaders'
    /// RawWideHeaders format): writes the block and returns true, and LoadHeaders is then not
    /// called; the collection is built from the block only when Headers() is first asked for,
    /// and the response's own look-ups read the block. False (the default): LoadHeaders
    /// fills the collection while preparing.
    virtual bool LoadHeaderText(std::string& Text);
    /// One header's value as Headers() holds it (decoding done here having removed the
    /// encoding and the length), without building the collection; prepares the response.
    bool HeaderValue(std::string_view Name, std::string& Value);

    /// Loads the headers, creates the body stream and puts a decoder in front of it; runs
    /// once, and on a failure the body is not available afterwards.
    void PrepareResponse();
    /// For a transport whose body stream refers to its own members: frees the body streams
    /// early, from the transport's destructor.
    void FreeContentStreams() noexcept;

  private:
    // Declared in reverse order of freeing: headers, then the stream read by the caller,
    // then the raw stream behind a decoder.
    std::unique_ptr<Runtime::TStream> FWrappedStream;
    std::unique_ptr<Runtime::TStream> FContentStream;
    THttpHeaders FHeaders;
    /// The block from LoadHeaderText while FHeaders is not built from it yet.
    std::string FHeaderText;
    bool FHeadersPending = false;
    /// The headers the response reads itself (encoding, framing, length, type), taken from
    /// the block in one pass when it is loaded; valid while FHeadersPending.
    static constexpr std::string_view KnownHeaders[] = {"content-encoding", "transfer-encoding",
                                                        "content-length", "content-type"};
    std::optional<std::string> FKnownValues[std::size(KnownHeaders)];
    /// The body is decoded here: the encoding and length headers are not the body's.
    bool FDecodedHere = false;
    bool FChunked = false;
    bool FChunkedKnown = false;
    bool FPrepared = false;
    Runtime::TBytes FContentBytes;
    bool FBytesLoaded = false;
};

/// Base of the transports' raw body streams: forward-only, fed by DoRead in pieces of at
/// most ReadPieceSize bytes (unless the transport allows more). It answers position questions with
/// the bytes delivered so far and raises EStreamError when asked to move.
class THttpResponseStream : public Runtime::TStream {
  public:
    static constexpr std::int64_t ReadPieceSize = 8192;

    /// Fills the buffer through as many DoRead calls as needed; less only at the end.
    std::int64_t Read(void* Buffer, std::int64_t Count) override;
    /// The body cannot be written; always 0.
    std::int64_t Write(const void* Buffer, std::int64_t Count) override;
    /// 0 from the beginning answers 0 before the first byte; 0 from the current position or
    /// the end answers ContentSize. Anything else raises EStreamError.
    std::int64_t Seek(std::int64_t Offset, Runtime::TSeekOrigin Origin) override;
    /// What is known of the size without moving: the bytes delivered so far.
    std::int64_t Size() override { return FContentSize; }
    /// Body bytes delivered so far.
    std::int64_t ContentSize() const noexcept { return FContentSize; }

  protected:
    /// Copies at most Count (never more than MaxPieceSize) raw body bytes into Buffer and
    /// returns how many; 0 means the body has ended.
    virtual std::int64_t DoRead(void* Buffer, std::int64_t Count) = 0;
    /// The most one DoRead is asked for. A transport that fills a large buffer as cheaply as
    /// a small one raises it, so that the body goes straight into the caller's buffer.
    virtual std::int64_t MaxPieceSize() const noexcept { return ReadPieceSize; }

  private:
    std::int64_t FContentSize = 0;
};

/// A transport: creates requests and sends them.
class THttpEngine {
  public:
    THttpEngine() = default;
    THttpEngine(const THttpEngine&) = delete;
    THttpEngine& operator=(const THttpEngine&) = delete;
    virtual ~THttpEngine() = default;

    /// A new default engine, owned by the caller: the global factory's engine when it makes
    /// one, else the platform's built-in engine (the WinHTTP engine), as Nimbra.Http.Engines
    /// names it; EHttpEngineNoDefault where there is none.
    static std::unique_ptr<THttpEngine> CreateDefault();

    /// A new request for this engine; the caller owns it.
    std::unique_ptr<THttpRequest> CreateRequest();
    /// Sends the request, which the caller keeps owning, and returns the response, which the
    /// caller owns. Raises EHttpEngineException when no URI was set; transport errors pass
    /// through unchanged.
    std::unique_ptr<THttpResponse> Send(THttpRequest& Request);

  protected:
    virtual std::unique_ptr<THttpRequest> DoCreateRequest() = 0;
    virtual std::unique_ptr<THttpResponse> DoSend(THttpRequest& Request) = 0;
};

/// Raised by THttpEngine::CreateDefault where no engine can be had.
class EHttpEngineNoDefault : public Runtime::Exception {
  public:
    EHttpEngineNoDefault()
        : Exception("Default THttpEngine class not available for current platform.") {}
    const char* ClassName() const noexcept override { return "EHttpEngineNoDefault"; }
};

/// Makes the engines THttpEngine::CreateDefault hands out in place of the built-in one.
class IHttpEngineFactory {
  public:
    virtual ~IHttpEngineFactory() = default;
    /// A new engine that the caller owns, or null for the built-in engine.
    virtual std::unique_ptr<THttpEngine> CreateEngine() = 0;
};

/// The process-wide factory CreateDefault asks first; empty unless one was set. Meant to be
/// set during start-up, before any client exists; released at shutdown.
std::shared_ptr<IHttpEngineFactory> GlobalEngineFactory();
/// Replaces the process-wide factory (null removes it).
void SetGlobalEngineFactory(std::shared_ptr<IHttpEngineFactory> Factory);

}  // namespace Nimbra
