#include "Nimbra.WinHttp.Engine.h"

#include <cstring>
#include <initializer_list>
#include <limits>
#include <string_view>
#include <vector>

#include "Nimbra.WinHttp.Api.h"
#include "Os.Error.h"
#include "Os.Version.h"
#include "Runtime.Format.h"
#include "Runtime.Text.h"

namespace Nimbra {

// The protocol options came with later Windows SDKs; older headers (mingw's among them) may
// not name them. The values are the system's.
#ifndef WINHTTP_OPTION_ENABLE_HTTP_PROTOCOL
#define WINHTTP_OPTION_ENABLE_HTTP_PROTOCOL 133
#endif
#ifndef WINHTTP_OPTION_HTTP_PROTOCOL_USED
#define WINHTTP_OPTION_HTTP_PROTOCOL_USED 134
#endif
#ifndef WINHTTP_PROTOCOL_FLAG_HTTP2
#define WINHTTP_PROTOCOL_FLAG_HTTP2 0x1
#endif

namespace {

constexpr const char* CancelledInfo = "The request was cancelled.";

// ---- UTF-16 at the WinHTTP boundary --------------------------------------------------------

using Runtime::FromUtf16;
using Runtime::ToUtf16;

// A text for WinHTTP, NUL-terminated UTF-16, joined from its parts: on the stack when it is
// ASCII and short, as host names, verbs, object names and header blocks nearly always are,
// so that a request costs no allocation for each of them.
class TWideText {
  public:
    TWideText(std::initializer_list<std::string_view> Parts) {
        std::size_t Size = 0;
        bool Ascii = true;
        for (const std::string_view Part : Parts) {
            Size += Part.size();
            Ascii = Ascii && Runtime::IsAscii(Part);
        }
        if (Ascii && Size < std::size(FShort)) {
            char16_t* To = FShort;
            for (const std::string_view Part : Parts)
                for (const char C : Part) *To++ = static_cast<unsigned char>(C);
            *To = u'\0';
            FText = std::u16string_view(FShort, Size);
            return;
        }
        std::string Joined;
        Joined.reserve(Size);
        for (const std::string_view Part : Parts) Joined += Part;
        FLong = ToUtf16(Joined);
        FText = FLong;
    }
    TWideText(const TWideText&) = delete;
    TWideText& operator=(const TWideText&) = delete;

    const char16_t* c_str() const noexcept { return FText.data(); }
    std::u16string_view View() const noexcept { return FText; }

  private:
    char16_t FShort[256];
    std::u16string FLong;
    std::u16string_view FText;
};

// Host, verb and object name go to WinHTTP as NUL-terminated texts: one with a NUL inside
// would silently be cut there and name another server or resource.
bool HasNul(std::string_view S) noexcept {
    return S.find('\0') != std::string_view::npos;
}

// A CR or LF inside a name or value ends its line early, so the rest would go out as a header
// of its own; a NUL cuts the block short.
bool SplitsTheHeaderBlock(const THttpHeaders& Headers) {
    constexpr std::string_view LineBreakers("\r\n\0", 3);
    for (const THttpHeaderInfo& Info : Headers.AllHeaders()) {
        if (Info.Name().find_first_of(LineBreakers) != std::string::npos ||
            Info.Value().find_first_of(LineBreakers) != std::string::npos)
            return true;
    }
    return false;
}

// WinHTTP speaks http and https only: any other scheme (ftp, wss, a look-alike spelt with
// letters outside ASCII) or none at all would go out as plain HTTP to whatever host and port
// the URL names. Refused before the session is even opened. The stored scheme is lower case.
void RequireHttpScheme(const TUri& Uri) {
    const std::string& Scheme = Uri.Scheme();
    if (Scheme == "http" || Scheme == "https") return;
    SetLastError(ERROR_WINHTTP_UNRECOGNIZED_SCHEME);
    WinHttpCheck(false, Scheme.empty()
                            ? std::string("The URL names no scheme; only http and https are sent.")
                            : Runtime::Format("The scheme \"%s\" is not sent; only http and "
                                              "https are.",
                                              Scheme));
}

// The body always goes out framed by its length, which WinHTTP states from the total it is
// given. A caller's Content-Length that says otherwise, or a Transfer-Encoding beside it,
// would make the server end the body elsewhere and read the rest as a request of its own.
// A Content-Length that states the true length is dropped from the block, so the length is
// stated once. Returns the block to send.
std::string FramedHeaderBlock(const THttpHeaders& Headers, std::int64_t BodyLength) {
    if (Headers.Count() == 0) return "\r\n";
    std::string Value;
    if (Headers.GetIfExists("transfer-encoding", Value))
        throw EHttpEngineException::CreateFmt(
            "WinHttp - a \"Transfer-Encoding: %s\" header cannot be sent: the message body of "
            "%lld bytes is framed by its length",
            Value, static_cast<long long>(BodyLength));
    if (!Headers.GetIfExists("content-length", Value)) return Headers.RawWideHeaders();
    if (ParseContentLength(Value) != BodyLength)
        throw EHttpEngineException::CreateFmt(
            "WinHttp - the \"Content-Length: %s\" header contradicts the message body of %lld "
            "bytes",
            Value, static_cast<long long>(BodyLength));
    THttpHeaders Rest = Headers;
    Rest.Remove("content-length");
    return Rest.RawWideHeaders();
}

// Every value of a request header added on the handle itself (as a send hook may do with
// WinHttpAddRequestHeaders), in order.
std::vector<std::string> AddedRequestHeader(HINTERNET Req, DWORD Level) {
    std::vector<std::string> Values;
    const DWORD Query = Level | WINHTTP_QUERY_FLAG_REQUEST_HEADERS;
    for (DWORD Index = 0; Index < 1000; ++Index) {
        DWORD At = Index;
        DWORD Length = 0;
        if (WinHttpQueryHeaders(Req, Query, WINHTTP_HEADER_NAME_BY_INDEX, WINHTTP_NO_OUTPUT_BUFFER,
                                &Length, &At)) {
            Values.emplace_back();  // an empty value
            continue;
        }
        const DWORD Err = GetLastError();
        if (Err == ERROR_WINHTTP_HEADER_NOT_FOUND) break;
        WinHttpCheck(Err == ERROR_INSUFFICIENT_BUFFER, "Could not query the request's headers");
        std::u16string Buffer(Length / 2, u'\0');
        At = Index;
        WinHttpCheck(WinHttpQueryHeaders(Req, Query, WINHTTP_HEADER_NAME_BY_INDEX, Buffer.data(),
                                         &Length, &At) != FALSE,
                     "Could not query the request's headers");
        Buffer.resize(std::min<std::size_t>(Length / 2, Buffer.size()));
        Values.push_back(FromUtf16(Buffer));
    }
    return Values;
}

// The framing a send hook added on the handle obeys the same rule as the request's headers:
// the body goes out framed by its true length, and nothing else may say otherwise.
void RequireHookFraming(HINTERNET Req, std::int64_t BodyLength) {
    const std::vector<std::string> Codings =
        AddedRequestHeader(Req, WINHTTP_QUERY_TRANSFER_ENCODING);
    if (!Codings.empty())
        throw EHttpEngineException::CreateFmt(
            "WinHttp - a \"Transfer-Encoding: %s\" header cannot be sent: the message body of "
            "%lld bytes is framed by its length",
            Codings.front(), static_cast<long long>(BodyLength));
    for (const std::string& Value : AddedRequestHeader(Req, WINHTTP_QUERY_CONTENT_LENGTH))
        if (ParseContentLength(Value) != BodyLength)
            throw EHttpEngineException::CreateFmt(
                "WinHttp - the \"Content-Length: %s\" header contradicts the message body of "
                "%lld bytes",
                Value, static_cast<long long>(BodyLength));
}

/// A connection handle closed when the holder goes, unless it was released.
class TConnectionGuard {
  public:
    explicit TConnectionGuard(HINTERNET H) noexcept : FH(H) {}
    ~TConnectionGuard() {
        if (FH) WinHttpCloseHandle(FH);
    }
    TConnectionGuard(const TConnectionGuard&) = delete;
    TConnectionGuard& operator=(const TConnectionGuard&) = delete;
    HINTERNET Get() const noexcept { return FH; }
    HINTERNET Release() noexcept {
        HINTERNET H = FH;
        FH = nullptr;
        return H;
    }

  private:
    HINTERNET FH;
};

// The session's status callback. WinHTTP calls it on the sending thread, inside
// WinHttpSendRequest, with the context value of that send: the request slot's context,
// which lives as long as the request handle.
void WINAPI SecureFailureCallback(HINTERNET, DWORD_PTR Context, DWORD Status, LPVOID Info,
                                  DWORD Length) {
    if (Status != WINHTTP_CALLBACK_STATUS_SECURE_FAILURE || Context == 0 || Info == nullptr ||
        Length < sizeof(DWORD))
        return;
    DWORD Flags = 0;
    std::memcpy(&Flags, Info, sizeof Flags);
    static constexpr struct {
        DWORD Flag;
        const char* Text;
    } Texts[] = {
        {WINHTTP_CALLBACK_STATUS_FLAG_CERT_REV_FAILED, "Revocation check failed. "},
        {WINHTTP_CALLBACK_STATUS_FLAG_INVALID_CERT, "Invalid certificate. "},
        {WINHTTP_CALLBACK_STATUS_FLAG_CERT_REVOKED, "Certificate revoked. "},
        {WINHTTP_CALLBACK_STATUS_FLAG_INVALID_CA, "Invalid Certificate Authority. "},
        {WINHTTP_CALLBACK_STATUS_FLAG_CERT_CN_INVALID, "Certificate common name (host) mismatch. "},
        {WINHTTP_CALLBACK_STATUS_FLAG_CERT_DATE_INVALID, "Expired certificate. "},
        {WINHTTP_CALLBACK_STATUS_FLAG_SECURITY_CHANNEL_ERROR, "SSL Library internal error. "},
    };
    try {
        std::string Text;
        for (const auto& T : Texts)
            if (Flags & T.Flag) Text += T.Text;
        Text += Runtime::Format("(%08X)", static_cast<unsigned>(Flags));
        auto* Target = reinterpret_cast<Detail::TWinHttpRequestSlot::TCallbackContext*>(Context);
        Target->SSLError = std::move(Text);
        Target->SecureFailureFlags = Flags;
    } catch (...) {
        // Nothing may leave a callback called from C; the send then fails without the text.
    }
}

}  // namespace

// ---- TWinHttpRequestSlot -------------------------------------------------------------------

namespace Detail {

void TWinHttpRequestSlot::Close() noexcept {
    if (HINTERNET H = FReq.exchange(nullptr)) WinHttpCloseHandle(H);
}

void TWinHttpRequestSlot::Cancel() noexcept {
    // Marked first, so the call that fails because of the close sees why.
    FCancelled.store(true);
    try {
        Close();
    } catch (...) {
        // Only an unbound library can raise here, and then there is no handle to close.
    }
}

void TWinHttpRequestSlot::RaiseFailure(std::uint32_t Err, const std::string& Info) const {
    // The thread's last error stays what the failed call left, as after WinHttpCheck.
    SetLastError(Err);
    if (Cancelled()) RaiseWinHttpError(Err, CancelledInfo);
    RaiseWinHttpError(Err, Info,
                      Err == ERROR_WINHTTP_SECURE_FAILURE ? FContext.SecureFailureFlags : 0);
}

HINTERNET TWinHttpRequestSlot::Require() const {
    HINTERNET H = Get();
    if (!H) RaiseFailure(Cancelled() ? ERROR_WINHTTP_OPERATION_CANCELLED : ERROR_INVALID_HANDLE);
    return H;
}

}  // namespace Detail

// ---- TWinHttpResponse ----------------------------------------------------------------------

TWinHttpResponse::TWinHttpResponse(HINTERNET AConn, HINTERNET AReq)
    : TWinHttpResponse(AConn, std::make_shared<Detail::TWinHttpRequestSlot>(AReq)) {}

TWinHttpResponse::TWinHttpResponse(HINTERNET AConn,
                                   std::shared_ptr<Detail::TWinHttpRequestSlot> AReq,
                                   bool AHeadRequest, bool AHttp2Offered)
    : FConn(AConn),
      FReq(std::move(AReq)),
      FHeadRequest(AHeadRequest),
      // Without the offer nothing else can have been spoken.
      FHttpProtocolLoaded(!AHttp2Offered) {}

TWinHttpResponse::~TWinHttpResponse() {
    FinishBody();
    // The body streams read through the request handle: gone before it closes.
    FreeContentStreams();
    FReq->Close();
    if (FConn) WinHttpCloseHandle(FConn);
}

std::int32_t TWinHttpResponse::GetStatusCode() {
    if (FStatusCodeLoaded) return FStatusCode;
    HINTERNET Req = FReq->Require();
    DWORD Code = 0;
    DWORD Length = sizeof Code;
    if (!WinHttpQueryHeaders(Req, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                             WINHTTP_HEADER_NAME_BY_INDEX, &Code, &Length, WINHTTP_NO_HEADER_INDEX))
        FReq->RaiseFailure(GetLastError());
    FStatusCode = static_cast<std::int32_t>(Code);
    FStatusCodeLoaded = true;
    return FStatusCode;
}

std::string TWinHttpResponse::GetStatusReason() {
    if (!FStatusReasonLoaded) {
        FStatusReason = QueryHeader(WINHTTP_QUERY_STATUS_TEXT);
        FStatusReasonLoaded = true;
    }
    return FStatusReason;
}

bool TWinHttpResponse::TryQueryHeader(std::uint32_t InfoLevel, std::string& Text,
                                      bool MissingIsError) {
    HINTERNET Req = FReq->Require();
    // Asked once into a buffer that holds nearly every answer (a whole response head of an
    // ordinary server included); only a longer one is asked again, at the size WinHTTP names.
    char16_t Short[QueryBufferChars];
    DWORD Length = sizeof Short;
    if (WinHttpQueryHeaders(Req, InfoLevel, WINHTTP_HEADER_NAME_BY_INDEX, Short, &Length,
                            WINHTTP_NO_HEADER_INDEX)) {
        // The length of what was written, in bytes, without the NUL.
        Text = FromUtf16(
            std::u16string_view(Short, std::min<std::size_t>(Length / 2, std::size(Short))));
        return true;
    }
    const DWORD Err = GetLastError();
    if (Err != ERROR_INSUFFICIENT_BUFFER) {
        if (Err == ERROR_WINHTTP_HEADER_NOT_FOUND && !MissingIsError) return false;
        FReq->RaiseFailure(Err, Runtime::Format("Could not query header info (%u)",
                                                static_cast<unsigned>(InfoLevel)));
    }
    // The length named is in bytes and counts the terminating NUL.
    std::u16string Buffer(Length / 2, u'\0');
    if (!WinHttpQueryHeaders(Req, InfoLevel, WINHTTP_HEADER_NAME_BY_INDEX, Buffer.data(), &Length,
                             WINHTTP_NO_HEADER_INDEX))
        FReq->RaiseFailure(GetLastError());
    // Now the length of what was written, without the NUL.
    Buffer.resize(std::min<std::size_t>(Length / 2, Buffer.size()));
    Text = FromUtf16(Buffer);
    return true;
}

std::string TWinHttpResponse::QueryHeader(std::uint32_t InfoLevel) {
    std::string Text;
    TryQueryHeader(InfoLevel, Text, true);
    return Text;
}

std::optional<WINHTTP_REQUEST_TIMES> TWinHttpResponse::RequestTimes() const {
    const HINTERNET Req = FReq->Get();
    if (!Req) return std::nullopt;
    WINHTTP_REQUEST_TIMES Times{};
    DWORD Length = sizeof Times;
    if (!WinHttpQueryOption(Req, WINHTTP_OPTION_REQUEST_TIMES, &Times, &Length))
        return std::nullopt;
    return Times;
}

THttpProtocol TWinHttpResponse::HttpProtocolUsed() {
    if (FHttpProtocolLoaded) return FHttpProtocol;
    HINTERNET Req = FReq->Require();
    DWORD Flags = 0;
    DWORD Length = sizeof Flags;
    if (!WinHttpQueryOption(Req, WINHTTP_OPTION_HTTP_PROTOCOL_USED, &Flags, &Length))
        FReq->RaiseFailure(GetLastError());
    FHttpProtocol =
        Flags & WINHTTP_PROTOCOL_FLAG_HTTP2 ? THttpProtocol::Http2 : THttpProtocol::Http11;
    FHttpProtocolLoaded = true;
    return FHttpProtocol;
}

std::int64_t TWinHttpResponse::GetContentLength() {
    if (FContentLengthLoaded) return FContentLength;
    std::string Text;
    if (GetChunked()) {
        FContentLength = -1;
    } else if (const std::int32_t Status = GetStatusCode();
               FHeadRequest || Status == 204 || Status == 304) {
        // These never carry a body, whatever length their headers state for the resource.
        FContentLength = 0;
    } else if (TryQueryHeader(WINHTTP_QUERY_CONTENT_LENGTH, Text, false)) {
        FContentLength = ParseContentLength(Text);
    } else {
        FContentLength = -1;  // the body ends where the connection closes
    }
    FContentLengthLoaded = true;
    return FContentLength;
}

std::string TWinHttpResponse::GetContentType() {
    std::string Value;
    HeaderValue("content-type", Value);
    return Value;
}

std::string TWinHttpResponse::GetContentEncoding() {
    std::string Value;
    HeaderValue("content-encoding", Value);
    return Value;
}

void TWinHttpResponse::LoadHeaders(THttpHeaders& Headers) {
    Headers.SetRawWideHeaders(QueryHeader(WINHTTP_QUERY_RAW_HEADERS_CRLF));
}

bool TWinHttpResponse::LoadHeaderText(std::string& Text) {
    // Asked while preparing, as LoadHeaders would be; most responses are then read through a
    // few of their headers only, and the collection is built when a caller asks for it.
    Text = QueryHeader(WINHTTP_QUERY_RAW_HEADERS_CRLF);
    return true;
}

std::unique_ptr<Runtime::TStream> TWinHttpResponse::CreateContentStream() {
    auto Stream = std::make_unique<TWinHttpResponseStream>(*this);
    FBodyStream = Stream.get();
    return Stream;
}

void TWinHttpResponse::FinishBody() noexcept {
    // Only what is known already is asked: the length is not queried for this.
    if (FBodyStream == nullptr || FBodyStream->Ended() || !FContentLengthLoaded ||
        FContentLength <= 0 || FBodyStream->ContentSize() != FContentLength)
        return;
    const HINTERNET Req = FReq->Get();
    if (!Req) return;
    try {
        char Byte;
        DWORD Read = 0;
        static_cast<void>(WinHttpReadData(Req, &Byte, 1, &Read));
    } catch (...) {
        // Only an unbound library can raise here; the connection then goes with the handle.
    }
}

// ---- TWinHttpResponseStream ----------------------------------------------------------------

std::int64_t TWinHttpResponseStream::DoRead(void* Buffer, std::int64_t Count) {
    if (Count <= 0) return 0;
    const DWORD Want =
        static_cast<DWORD>(std::min<std::int64_t>(Count, std::numeric_limits<DWORD>::max()));
    HINTERNET Req = FResponse.FReq->Require();
    DWORD Read = 0;
    if (!WinHttpReadData(Req, Buffer, Want, &Read)) FResponse.FReq->RaiseFailure(GetLastError());
    if (Read == 0) FEnded = true;
    return Read;
}

// ---- TWinHttpEngine ------------------------------------------------------------------------

TWinHttpEngine::TWinHttpEngine() {
    // A library that cannot be loaded shows at the first request, as a WinHTTP error.
    static_cast<void>(LoadWinHttp());
}

TWinHttpEngine::~TWinHttpEngine() {
    try {
        ResetSession();
    } catch (...) {
        // A session that cannot be closed is left to the process's end.
    }
}

void TWinHttpEngine::ResetSession() {
    if (!FSession) return;
    WinHttpCheck(WinHttpCloseHandle(FSession) != FALSE, "Session close failed.");
    FSession = nullptr;
}

HINTERNET TWinHttpEngine::GetSession() {
    if (FSession) return FSession;
    DWORD AccessType = WINHTTP_ACCESS_TYPE_DEFAULT_PROXY;
    std::u16string Name, Bypass;
    const char16_t* NamePtr = WINHTTP_NO_PROXY_NAME;
    const char16_t* BypassPtr = WINHTTP_NO_PROXY_BYPASS;
    switch (FHttpProxyMode) {
        case THttpProxyMode::Default:
            break;
        case THttpProxyMode::Auto:
            AccessType = WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY;
            break;
        case THttpProxyMode::Custom:
            AccessType = WINHTTP_ACCESS_TYPE_NAMED_PROXY;
            Name = ToUtf16(FProxyName);
            Bypass = ToUtf16(FProxyBypass);
            NamePtr = Name.c_str();
            BypassPtr = Bypass.c_str();
            break;
    }
    HINTERNET Session = WinHttpOpen(UserAgent, AccessType, NamePtr, BypassPtr, 0);
    if (!Session) {
        if (GetLastError() != ERROR_INVALID_PARAMETER) WinHttpCheck(false, "Session open failed.");
        // An access type or proxy the system rejects: fall back to the system's default.
        Session = WinHttpOpen(UserAgent, WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                              WINHTTP_NO_PROXY_BYPASS, 0);
    }
    WinHttpCheck(Session != nullptr, "Session open failed.");
    if (WinHttpSetStatusCallback(Session, &SecureFailureCallback,
                                 WINHTTP_CALLBACK_FLAG_SECURE_FAILURE,
                                 0) == WINHTTP_INVALID_STATUS_CALLBACK) {
        const DWORD Err = GetLastError();
        // Not kept: a session without the callback would lose the certificate texts.
        WinHttpCloseHandle(Session);
        throw Runtime::EOSError(Runtime::Format("System Error.  Code: %u.\r\n%s",
                                                static_cast<unsigned>(Err),
                                                Os::SysErrorMessage(Err)));
    }
    FSession = Session;
    return FSession;
}

const TWinHttpRequestProc& TWinHttpEngine::BeforeWinHttpSendRequest() const noexcept {
    static const TWinHttpRequestProc None;
    return FBeforeWinHttpSendRequest ? *FBeforeWinHttpSendRequest : None;
}

void TWinHttpEngine::SetBeforeWinHttpSendRequest(TWinHttpRequestProc Value) {
    FBeforeWinHttpSendRequest =
        Value ? std::make_shared<const TWinHttpRequestProc>(std::move(Value)) : nullptr;
}

std::unique_ptr<THttpRequest> TWinHttpEngine::DoCreateRequest() {
    return std::make_unique<THttpRequest>();
}

std::int64_t TWinHttpEngine::WriteContent(HINTERNET Req, Runtime::TStream& Stream,
                                          std::int64_t Limit) {
    std::vector<std::uint8_t> Buffer(static_cast<std::size_t>(WritePieceSize));
    std::int64_t Total = 0;
    while (Total < Limit) {
        const std::int64_t N = Stream.Read(Buffer.data(), std::min(WritePieceSize, Limit - Total));
        if (N <= 0) return Total;
        DWORD Written = 0;
        WinHttpCheck(WinHttpWriteData(Req, Buffer.data(), static_cast<DWORD>(N), &Written) !=
                     FALSE);
        Total += Written;
    }
    // A stream longer than the length it stated: counted, never sent.
    return Stream.Read(Buffer.data(), 1) > 0 ? Total + 1 : Total;
}

std::unique_ptr<THttpResponse> TWinHttpEngine::DoSend(THttpRequest& Request) {
    // The cancel hook's state; it also holds this send's secure-failure context.
    const TUri& Uri = *Request.AsUri();
    RequireHttpScheme(Uri);
    auto Slot = std::make_shared<Detail::TWinHttpRequestSlot>();
    bool Http2Offered = false;
    const std::int32_t Port = Uri.Port();
    const std::string& Host = Uri.Host();
    HINTERNET Session = GetSession();

    // A port beyond 16 bits would be cut to another port, and a NUL would cut the name.
    if (Port < 0 || Port > 0xFFFF || HasNul(Host)) {
        SetLastError(ERROR_WINHTTP_INVALID_URL);
        WinHttpCheck(false, "Could not create connection");
    }
    TConnectionGuard Conn(
        WinHttpConnect(Session, TWideText{Host}.c_str(), static_cast<INTERNET_PORT>(Port), 0));
    WinHttpCheck(Conn.Get() != nullptr, "Could not create connection");

    const DWORD Flags = Runtime::SameTextAscii(Uri.Scheme(), "https") ? WINHTTP_FLAG_SECURE : 0;
    if (HasNul(Uri.OriginalPath()) || HasNul(Uri.OriginalQuery()) ||
        HasNul(Uri.OriginalFragment()) || HasNul(Request.Method())) {
        SetLastError(ERROR_INVALID_PARAMETER);
        WinHttpCheck(false, "Could not open request");
    }
    HINTERNET Req = WinHttpOpenRequest(
        Conn.Get(), TWideText{Request.Method()}.c_str(),
        TWideText{Uri.OriginalPath(), Uri.OriginalQuery(), Uri.OriginalFragment()}.c_str(), nullptr,
        WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES, Flags);
    WinHttpCheck(Req != nullptr, "Could not open request");
    Slot->Attach(Req);

    try {
        const int T = Request.Timeout();
        if (!WinHttpSetTimeouts(Req, T, T, T, T)) Slot->RaiseFailure(GetLastError());

        if (SplitsTheHeaderBlock(Request.Headers()))
            Slot->RaiseFailure(ERROR_INVALID_PARAMETER, "Could not send request");
        const std::int64_t ContentLength = Request.ContentLength();
        // WinHTTP takes the body length as 32 bits; a cut length would send another body.
        if (ContentLength < 0 || ContentLength > std::numeric_limits<DWORD>::max())
            throw EHttpEngineException::CreateFmt(
                "WinHttp - message body of %lld bytes cannot be sent",
                static_cast<long long>(ContentLength));
        const std::string HeaderBlock = FramedHeaderBlock(Request.Headers(), ContentLength);
        const TWideText HeaderText{HeaderBlock};
        const DWORD Total = static_cast<DWORD>(ContentLength);

        DWORD Option = WINHTTP_DISABLE_REDIRECTS;
        if (!WinHttpSetOption(Req, WINHTTP_OPTION_DISABLE_FEATURE, &Option, sizeof Option))
            Slot->RaiseFailure(GetLastError());
        if (Os::TOSVersion::Check(6, 3)) {
            Option = WINHTTP_DECOMPRESSION_FLAG_GZIP | WINHTTP_DECOMPRESSION_FLAG_DEFLATE;
            if (!WinHttpSetOption(Req, WINHTTP_OPTION_DECOMPRESSION, &Option, sizeof Option))
                Slot->RaiseFailure(GetLastError());
        }

        if (FAllowHttp2 && Flags == WINHTTP_FLAG_SECURE) {
            // An offer: a WinHTTP that does not know the option sends HTTP/1.1 instead.
            Option = WINHTTP_PROTOCOL_FLAG_HTTP2;
            Http2Offered = WinHttpSetOption(Req, WINHTTP_OPTION_ENABLE_HTTP_PROTOCOL, &Option,
                                            sizeof Option) != FALSE;
            if (!Http2Offered && GetLastError() != ERROR_WINHTTP_INVALID_OPTION)
                Slot->RaiseFailure(GetLastError());
        }

        if (const auto Hook = FBeforeWinHttpSendRequest) {
            (*Hook)(Req);
            RequireHookFraming(Req, ContentLength);
        }
        Request.SetOnCancelRequested([Slot] { Slot->Cancel(); });

        Slot->Context().SSLError.clear();
        Slot->Context().SecureFailureFlags = 0;
        const auto Context = reinterpret_cast<DWORD_PTR>(&Slot->Context());
        BOOL Sent = WinHttpSendRequest(Req, HeaderText.c_str(),
                                       static_cast<DWORD>(HeaderText.View().size()),
                                       WINHTTP_NO_REQUEST_DATA, 0, Total, Context);
        // Some WinHTTP implementations (Wine's) refuse a block that is only the closing empty
        // line, which is what a request without headers passes; nothing has been sent then,
        // so the request goes again without a block, which every implementation takes.
        if (!Sent && GetLastError() == ERROR_WINHTTP_INVALID_HEADER && HeaderText.View() == u"\r\n")
            Sent = WinHttpSendRequest(Req, WINHTTP_NO_ADDITIONAL_HEADERS, 0,
                                      WINHTTP_NO_REQUEST_DATA, 0, Total, Context);
        if (!Sent) {
            const DWORD Err = GetLastError();
            Slot->RaiseFailure(Err, Err == ERROR_WINHTTP_SECURE_FAILURE ? Slot->Context().SSLError
                                                                        : std::string());
        }

        if (Total > 0) {
            Runtime::TStream* Content = Request.ContentStream();
            if (Content == nullptr)
                throw Runtime::EAssertionFailed(Runtime::Format(
                    "Assertion failure (Nimbra.WinHttp.Engine.cpp, line %d)", __LINE__));
            std::int64_t Written = 0;
            try {
                Written = WriteContent(Req, *Content, Total);
            } catch (const EWinHttpClientException&) {
                if (Slot->Cancelled()) Slot->RaiseFailure(ERROR_WINHTTP_OPERATION_CANCELLED);
                throw;
            }
            if (Written != Total)
                throw EHttpEngineException("WinHttp - message body not completely sent");
        }

        if (!WinHttpReceiveResponse(Req, nullptr)) Slot->RaiseFailure(GetLastError());
    } catch (...) {
        Slot->Close();
        throw;  // the connection closes as Conn goes
    }
    return std::make_unique<TWinHttpResponse>(Conn.Release(), std::move(Slot),
                                              Request.Method() == "HEAD", Http2Offered);
}

}  // namespace Nimbra
