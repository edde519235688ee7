#include "Nimbra.Http.Engine.h"

#include <algorithm>
#include <cinttypes>
#include <mutex>
#include <utility>

#include "Nimbra.Http.Engines.h"
#include "Runtime.Text.h"
#include "Runtime.ZStream.h"

namespace Nimbra {

using Runtime::TBytes;
using Runtime::TSeekOrigin;
using Runtime::TStream;

namespace {

// Piece size of the read loop for bodies whose length is not known.
constexpr std::int64_t UnknownLengthPiece = 8192;

}  // namespace

const char* HttpProtocolName(THttpProtocol Protocol) noexcept {
    return Protocol == THttpProtocol::Http2 ? "HTTP/2" : "HTTP/1.1";
}

// ---- EHttpEngineException -----------------------------------------------------------------

EHttpEngineException::EHttpEngineException(std::string_view Msg)
    : Exception(MessagePrefix + std::string(Msg)) {}

// ---- THttpRequest -------------------------------------------------------------------------

THttpRequest::~THttpRequest() {
    // Before FIntStream goes: the check that keeps the internal stream out of the ownership
    // flag's reach compares against it.
    FreeContentStreamIfOwned();
}

void THttpRequest::SetMethod(std::string_view Value) {
    FMethod = Runtime::AsciiUpperCase(Value);
}

const std::string& THttpRequest::Uri() const noexcept {
    static const std::string None;
    return FAsUri ? FAsUri->OriginalUri() : None;
}

void THttpRequest::SetUri(std::string Value) {
    // The parsed URI keeps the text as set, so it is not copied for the request.
    FAsUri = std::make_unique<TUri>(std::move(Value));
}

std::int64_t THttpRequest::ContentLength() const {
    if (FContentStream == nullptr) return 0;
    return FContentStream->Size() - FContentStreamOriginalPos;
}

void THttpRequest::FreeContentStreamIfOwned() noexcept {
    // The internal stream belongs to FIntStream alone, whatever the flag says.
    if (FOwnsContentStream && FContentStream != nullptr && FContentStream != FIntStream.get())
        std::unique_ptr<TStream>{FContentStream}.reset();
    FContentStream = nullptr;
}

void THttpRequest::SetContentStream(TStream* Value) {
    if (Value == FContentStream) return;
    // Asked before anything changes, so a stream that cannot answer leaves the request as it was.
    const std::int64_t Pos = Value != nullptr ? Value->Position() : 0;
    FreeContentStreamIfOwned();
    FContentStream = Value;
    FContentStreamOriginalPos = Pos;
}

void THttpRequest::SetOwnedContentStream(std::unique_ptr<TStream> Value) {
    SetContentStream(Value.get());
    FOwnsContentStream = true;
    static_cast<void>(Value.release());
}

void THttpRequest::SetContent(TBytes Value) {
    auto Stream = std::make_unique<Runtime::TBytesStream>(std::move(Value));
    SetContentStream(Stream.get());
    FIntStream = std::move(Stream);
    FOwnsContentStream = false;
}

std::function<void()> THttpRequest::OnCancelRequested() const {
    const std::lock_guard<std::mutex> Lock(FCancelLock);
    return FOnCancelRequested;
}

void THttpRequest::SetOnCancelRequested(std::function<void()> Value) {
    std::function<void()> Previous;
    {
        const std::lock_guard<std::mutex> Lock(FCancelLock);
        Previous = std::exchange(FOnCancelRequested, std::move(Value));
    }
    // Previous goes here, outside the lock: what it captured may be freed with it.
}

// ---- THttpResponse ------------------------------------------------------------------------

void THttpResponse::PrepareResponse() {
    if (FPrepared) return;
    // First, so that what the steps below call does not start preparing again.
    FPrepared = true;
    try {
        FHeadersPending = LoadHeaderText(FHeaderText);
        if (FHeadersPending)
            THttpHeaders::FindInRawWideHeaders(FHeaderText, KnownHeaders, FKnownValues);
        else
            LoadHeaders(FHeaders);
        // What a transport asked while its headers were loading saw none of them.
        FChunkedKnown = false;
        FContentStream = CreateContentStream();
        if (!FContentStream) FContentStream = std::make_unique<Runtime::TBytesStream>();
        int WindowBits = 0;
        const std::string Encoding = GetContentEncoding();
        if (Runtime::SameTextAscii(Encoding, "deflate"))
            WindowBits = Runtime::TDecompressionStream::ZlibWindowBits;
        else if (Runtime::SameTextAscii(Encoding, "gzip"))
            WindowBits = Runtime::TDecompressionStream::GzipWindowBits;
        if (WindowBits != 0) {
            // The headers now describe the decoded body, whose length is unknown.
            FDecodedHere = true;
            FHeaders.Remove("content-encoding");
            FHeaders.Remove("content-length");
            FWrappedStream = std::move(FContentStream);
            FContentStream =
                std::make_unique<Runtime::TDecompressionStream>(*FWrappedStream, WindowBits);
        }
    } catch (...) {
        // Never hand out a body that may still be encoded.
        FreeContentStreams();
        throw;
    }
}

void THttpResponse::FreeContentStreams() noexcept {
    FContentStream.reset();
    FWrappedStream.reset();
}

bool THttpResponse::LoadHeaderText(std::string&) {
    return false;
}

const THttpHeaders& THttpResponse::GetHeaders() {
    PrepareResponse();
    if (FHeadersPending) {
        FHeaders.SetRawWideHeaders(FHeaderText);
        if (FDecodedHere) {
            FHeaders.Remove("content-encoding");
            FHeaders.Remove("content-length");
        }
        FHeadersPending = false;
        std::string().swap(FHeaderText);
        for (std::optional<std::string>& Known : FKnownValues) Known.reset();
    }
    return FHeaders;
}

bool THttpResponse::HeaderValue(std::string_view Name, std::string& Value) {
    PrepareResponse();
    if (!FHeadersPending) return FHeaders.GetIfExists(Name, Value);
    if (FDecodedHere && (Runtime::SameTextAscii(Name, "content-encoding") ||
                         Runtime::SameTextAscii(Name, "content-length")))
        return false;
    for (std::size_t I = 0; I < std::size(KnownHeaders); ++I) {
        if (Name.size() != KnownHeaders[I].size() || !Runtime::SameTextAscii(Name, KnownHeaders[I]))
            continue;
        if (!FKnownValues[I]) return false;
        Value = *FKnownValues[I];
        return true;
    }
    return THttpHeaders::FindInRawWideHeaders(FHeaderText, Name, Value);
}

bool THttpResponse::GetChunked() {
    // The headers do not change once loaded, and both the length and the body ask.
    if (FChunkedKnown) return FChunked;
    std::string Value;
    HeaderValue("transfer-encoding", Value);
    FChunked = Runtime::AsciiLowerCase(Value).find("chunked") != std::string::npos;
    FChunkedKnown = true;
    return FChunked;
}

TStream& THttpResponse::GetContentAsStream() {
    PrepareResponse();
    if (!FContentStream)
        throw EHttpEngineException("Response body is not available: preparing the response failed");
    return *FContentStream;
}

const TBytes& THttpResponse::GetContentAsBytes() {
    if (FBytesLoaded) return FContentBytes;
    PrepareResponse();
    TStream& S = GetContentAsStream();
    TBytes Result;
    std::string Stated;
    const bool KnownLength = HeaderValue("content-length", Stated) && !GetChunked();
    const std::int64_t N = KnownLength ? GetContentLength() : -1;
    if (N >= 0) {
        Result.resize(static_cast<std::size_t>(ContentBufferSize(N, 0)));
        std::int64_t Total = 0;
        while (Total < N) {
            const std::int64_t Want = static_cast<std::int64_t>(Result.size()) - Total;
            const std::int64_t Got = S.Read(Result.data() + Total, Want);
            Total += Got;
            if (Got < Want) break;
            if (Total < N) Result.resize(static_cast<std::size_t>(ContentBufferSize(N, Total)));
        }
        if (Total != N)
            throw EHttpEngineException::CreateFmt(
                "Could not read complete entity body. Content-length: %" PRId64
                "; Bytes read: %" PRId64,
                N, Total);
    } else {
        // Unknown length (also a length the transport cannot state): read to the end.
        std::int64_t Total = 0;
        for (;;) {
            Result.resize(static_cast<std::size_t>(Total + UnknownLengthPiece));
            const std::int64_t Got = S.Read(Result.data() + Total, UnknownLengthPiece);
            if (Got <= 0) break;
            Total += Got;
        }
        Result.resize(static_cast<std::size_t>(Total));
    }
    FContentBytes = std::move(Result);
    FBytesLoaded = true;
    return FContentBytes;
}

std::string THttpResponse::GetContentAsString() {
    PrepareResponse();
    const TBytes& Bytes = GetContentAsBytes();
    if (Bytes.empty()) return {};
    return Runtime::ToValidUtf8(
        std::string_view(reinterpret_cast<const char*>(Bytes.data()), Bytes.size()));
}

// ---- THttpResponseStream ------------------------------------------------------------------

std::int64_t THttpResponseStream::Read(void* Buffer, std::int64_t Count) {
    if (Count <= 0) return 0;
    auto* Out = static_cast<std::uint8_t*>(Buffer);
    std::int64_t Total = 0;
    const std::int64_t Piece = MaxPieceSize();
    while (Total < Count) {
        const std::int64_t Want = std::min(Count - Total, Piece);
        const std::int64_t Got = DoRead(Out + Total, Want);
        if (Got < 0 || Got > Want)
            throw Runtime::EStreamError("Http response stream got an invalid byte count.");
        if (Got == 0) break;
        Total += Got;
        FContentSize += Got;
    }
    return Total;
}

std::int64_t THttpResponseStream::Write(const void*, std::int64_t) {
    return 0;
}

std::int64_t THttpResponseStream::Seek(std::int64_t Offset, TSeekOrigin Origin) {
    if (Offset == 0) {
        switch (Origin) {
            case TSeekOrigin::soBeginning:
                if (FContentSize == 0) return 0;
                break;
            case TSeekOrigin::soCurrent:
            case TSeekOrigin::soEnd:
                return FContentSize;
        }
    }
    throw Runtime::EStreamError("Http response stream cannot change position.");
}

// ---- THttpEngine --------------------------------------------------------------------------

namespace {

// Read far more often than written; the lock makes a late setter harmless.
std::mutex GFactoryLock;
std::shared_ptr<IHttpEngineFactory> GFactory;

}  // namespace

std::shared_ptr<IHttpEngineFactory> GlobalEngineFactory() {
    std::lock_guard<std::mutex> Lock(GFactoryLock);
    return GFactory;
}

void SetGlobalEngineFactory(std::shared_ptr<IHttpEngineFactory> Factory) {
    std::shared_ptr<IHttpEngineFactory> Previous;
    {
        std::lock_guard<std::mutex> Lock(GFactoryLock);
        Previous = std::exchange(GFactory, std::move(Factory));
    }
    // Previous goes here, outside the lock: its destructor may ask for the factory again.
}

std::unique_ptr<THttpEngine> THttpEngine::CreateDefault() {
    if (const auto Factory = GlobalEngineFactory())
        if (auto Engine = Factory->CreateEngine()) return Engine;
    if (const THttpEngineMaker BuiltIn = BuiltInEngineMaker()) return BuiltIn();
    throw EHttpEngineNoDefault();
}

std::unique_ptr<THttpRequest> THttpEngine::CreateRequest() {
    return DoCreateRequest();
}

std::unique_ptr<THttpResponse> THttpEngine::Send(THttpRequest& Request) {
    if (Request.AsUri() == nullptr) throw EHttpEngineException("Uri invalid or not specified");
    auto Response = DoSend(Request);
    if (!Response) throw EHttpEngineException("The engine returned no response");
    return Response;
}

}  // namespace Nimbra
