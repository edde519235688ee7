#pragma once
// Nimbra.WinHttp.Engine: the default transport. Sends requests through the WinHTTP API
// (winhttp.dll, libwinhttp.so here), reached only through the binding's table, and hands the
// handles to a response that reads status, headers and body from WinHTTP as they are asked for.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "Nimbra.Http.Engine.h"
#include "winhttp.h"

namespace Nimbra {

/// How the engine's session reaches the network.
enum class THttpProxyMode {
    Default,  // the system's configured proxy
    Auto,     // the system's automatic proxy discovery
    Custom,   // ProxyName and ProxyBypass
};

/// Called with the WinHTTP request handle just before it is sent; the handle belongs to the
/// engine and is only valid during the call.
using TWinHttpRequestProc = std::function<void(HINTERNET)>;

namespace Detail {
/// The request handle of one send, shared by the engine while it sends, the response that
/// takes it over and the cancel hook left on the request. Whoever takes the handle out closes
/// it, so it is closed exactly once whichever of them comes first, from any thread.
class TWinHttpRequestSlot {
  public:
    /// The secure-failure text of this send; its address is the send's WinHTTP context value,
    /// so it lives as long as the slot, which outlives the handle.
    struct TCallbackContext {
        std::string SSLError;
        std::uint32_t SecureFailureFlags = 0;
    };

    explicit TWinHttpRequestSlot(HINTERNET AReq = nullptr) noexcept : FReq(AReq) {}
    TWinHttpRequestSlot(const TWinHttpRequestSlot&) = delete;
    TWinHttpRequestSlot& operator=(const TWinHttpRequestSlot&) = delete;
    ~TWinHttpRequestSlot() { Close(); }

    void Attach(HINTERNET AReq) noexcept { FReq.store(AReq); }
    /// The open handle, or null once it was closed or cancelled.
    HINTERNET Get() const noexcept { return FReq.load(); }
    /// Closes the handle if this call is the one that takes it out; the result is ignored.
    void Close() noexcept;
    /// Marks the send as cancelled, then closes the handle; a WinHTTP call blocked on it
    /// returns with a failure.
    void Cancel() noexcept;
    bool Cancelled() const noexcept { return FCancelled.load(); }
    TCallbackContext& Context() noexcept { return FContext; }

    /// Raises EWinHttpClientException for the call that just failed with Err: the check
    /// routine's text with Info, or with the cancel text when the send was cancelled.
    [[noreturn]] void RaiseFailure(std::uint32_t Err, const std::string& Info = {}) const;
    /// The open handle for the next call; raises the cancelled error once it is gone.
    HINTERNET Require() const;

  private:
    std::atomic<HINTERNET> FReq;
    std::atomic<bool> FCancelled{false};
    TCallbackContext FContext;
};
}  // namespace Detail

class TWinHttpResponseStream;

/// The WinHTTP response: owns the connection and request handles of one exchange (until it
/// is destroyed) and reads status, reason, length and headers from WinHTTP once each, on first
/// use; the body is read from WinHTTP as the caller reads the content stream.
class TWinHttpResponse : public THttpResponse {
  public:
    /// Takes over both handles.
    TWinHttpResponse(HINTERNET AConn, HINTERNET AReq);
    /// Takes over the connection and the request slot of a send; AHeadRequest tells that the
    /// request was a HEAD, whose response has no body; AHttp2Offered that WinHTTP took the
    /// offer of HTTP/2 for it.
    TWinHttpResponse(HINTERNET AConn, std::shared_ptr<Detail::TWinHttpRequestSlot> AReq,
                     bool AHeadRequest = false, bool AHttp2Offered = false);
    /// Closes the request handle (unless a cancel closed it already), then the connection.
    ~TWinHttpResponse() override;

    /// The length of the body this response carries: -1 for a chunked body and for one whose
    /// length the response does not state (its end is where the connection closes); 0 for
    /// the answer to a HEAD and for 204 and 304, which never carry one (their content-length
    /// header, if any, stays in Headers).
    std::int64_t GetContentLength() override;
    std::string GetContentType() override;
    std::string GetContentEncoding() override;
    std::int32_t GetStatusCode() override;
    std::string GetStatusReason() override;

    /// The text WinHTTP gives for one query level (WINHTTP_QUERY_*), as UTF-8.
    std::string QueryHeader(std::uint32_t InfoLevel);
    /// The request handle while it is open (null after a cancel); the response keeps owning it.
    HINTERNET RequestHandle() const noexcept { return FReq->Get(); }
    HINTERNET ConnectionHandle() const noexcept { return FConn; }
    /// The moments WinHTTP recorded for this exchange (WINHTTP_OPTION_REQUEST_TIMES, counter
    /// values of QueryPerformanceCounter), read when asked: the end of the body is among them
    /// once the body has been read. Empty when WinHTTP does not offer them (older Windows) or
    /// the request handle is gone.
    std::optional<WINHTTP_REQUEST_TIMES> RequestTimes() const;
    /// The protocol this exchange went over. HTTP/1.1 without asking when HTTP/2 was not
    /// offered; otherwise WinHTTP's answer (WINHTTP_OPTION_HTTP_PROTOCOL_USED), asked once, on
    /// first use, and kept. Raises EWinHttpClientException when that query fails, also after
    /// a cancel closed the request handle.
    THttpProtocol HttpProtocolUsed();

  protected:
    std::unique_ptr<Runtime::TStream> CreateContentStream() override;
    void LoadHeaders(THttpHeaders& Headers) override;
    bool LoadHeaderText(std::string& Text) override;

  private:
    friend class TWinHttpResponseStream;
    /// UTF-16 characters a header query first asks into, on the stack: a whole response head
    /// of an ordinary server fits, so most queries are one call.
    static constexpr std::size_t QueryBufferChars = 1024;
    /// QueryHeader that answers false instead of raising when the header is missing.
    bool TryQueryHeader(std::uint32_t InfoLevel, std::string& Text, bool MissingIsError);
    /// Before the handle closes: a body read to exactly the length it states has not met
    /// WinHTTP's end yet, and one more read, which finds nothing, lets WinHTTP end the
    /// exchange and keep the connection for the next request instead of closing it with the
    /// handle. Errors are ignored.
    void FinishBody() noexcept;

    HINTERNET FConn;
    std::shared_ptr<Detail::TWinHttpRequestSlot> FReq;
    bool FHeadRequest = false;
    std::int32_t FStatusCode = 0;
    bool FStatusCodeLoaded = false;
    std::string FStatusReason;
    bool FStatusReasonLoaded = false;
    std::int64_t FContentLength = 0;
    bool FContentLengthLoaded = false;
    THttpProtocol FHttpProtocol = THttpProtocol::Http11;
    bool FHttpProtocolLoaded = false;
    /// The raw body stream once made; owned by the base class, which frees it.
    TWinHttpResponseStream* FBodyStream = nullptr;
};

/// The raw body of a WinHTTP response, read with WinHttpReadData straight into the caller's
/// buffer: one call asks for all the caller still wants, so WinHTTP can write a large
/// buffer directly instead of through a buffer of its own. Valid as long as its response,
/// which owns it.
class TWinHttpResponseStream : public THttpResponseStream {
  public:
    explicit TWinHttpResponseStream(TWinHttpResponse& AResponse) : FResponse(AResponse) {}

    /// Whether a read found the end of the body.
    bool Ended() const noexcept { return FEnded; }

  protected:
    std::int64_t DoRead(void* Buffer, std::int64_t Count) override;
    std::int64_t MaxPieceSize() const noexcept override { return 0xFFFFFFFF; }

  private:
    TWinHttpResponse& FResponse;
    bool FEnded = false;
};

/// The transport over WinHTTP. Holds one session from the first request until ResetSession
/// or destruction; each send opens a connection and a request handle that the returned
/// response owns. Used by one thread at a time; only a request's cancel hook may be called
/// from another thread.
class TWinHttpEngine : public THttpEngine {
  public:
    static constexpr const char16_t* UserAgent = u"Orvo Http/1.0";
    /// Request bodies go to WinHTTP in pieces of this size, never loaded whole.
    static constexpr std::int64_t WritePieceSize = 65536;

    /// Binds the WinHTTP library (once per process); opens no session yet.
    TWinHttpEngine();
    /// Closes the session; errors are ignored here.
    ~TWinHttpEngine() override;

    /// The session handle, opened with the current proxy settings on first use.
    HINTERNET Session() { return GetSession(); }
    /// Closes the session, if open; the next request opens a new one with the proxy settings
    /// of that moment. On failure the session stays set.
    void ResetSession();

    /// Runs on the request handle just before it is sent. Empty when none is set. The hook
    /// may replace or clear itself while it runs. Header lines it adds on the handle are
    /// held to the request's own rule: a Transfer-Encoding, or a Content-Length other than
    /// the body's, makes Send raise EHttpEngineException before anything is sent.
    const TWinHttpRequestProc& BeforeWinHttpSendRequest() const noexcept;
    void SetBeforeWinHttpSendRequest(TWinHttpRequestProc Value);
    /// The proxy settings take effect when the session is opened.
    THttpProxyMode ProxyMode() const noexcept { return FHttpProxyMode; }
    void SetProxyMode(THttpProxyMode Value) noexcept { FHttpProxyMode = Value; }
    const std::string& ProxyName() const noexcept { return FProxyName; }
    void SetProxyName(std::string Value) { FProxyName = std::move(Value); }
    const std::string& ProxyBypass() const noexcept { return FProxyBypass; }
    void SetProxyBypass(std::string Value) { FProxyBypass = std::move(Value); }
    /// Whether requests to https URLs offer HTTP/2 besides HTTP/1.1; false by default, so
    /// that every exchange is HTTP/1.1. The server chooses during the TLS handshake; plain
    /// http always stays HTTP/1.1. Where WinHTTP does not know the option (older Windows,
    /// Wine) the request goes out as HTTP/1.1 instead of failing. Applies from the next Send;
    /// the response's HttpProtocolUsed tells what was spoken.
    bool AllowHttp2() const noexcept { return FAllowHttp2; }
    void SetAllowHttp2(bool Value) noexcept { FAllowHttp2 = Value; }

  protected:
    std::unique_ptr<THttpRequest> DoCreateRequest() override;
    /// Connects, opens and sends the request, writes its body and waits for the response
    /// head. On any failure the handles of this request are closed and the session stays.
    std::unique_ptr<THttpResponse> DoSend(THttpRequest& Request) override;
    HINTERNET GetSession();
    /// Writes the stream from its current position in WritePieceSize pieces, never more than
    /// Limit bytes; returns the bytes written, plus one when the stream holds more than Limit.
    std::int64_t WriteContent(HINTERNET Req, Runtime::TStream& Stream, std::int64_t Limit);

  private:
    HINTERNET FSession = nullptr;
    // Shared, so that a running hook holds its own reference to the function it runs.
    std::shared_ptr<const TWinHttpRequestProc> FBeforeWinHttpSendRequest;
    THttpProxyMode FHttpProxyMode = THttpProxyMode::Default;
    std::string FProxyName;
    std::string FProxyBypass;
    bool FAllowHttp2 = false;
};

}  // namespace Nimbra
