#include "Nimbra.Http.InProcEngine.h"

#include <algorithm>
#include <cinttypes>

#include "Nimbra.InProc.Server.h"
#include "Runtime.Format.h"

namespace Nimbra {

using Runtime::TStream;

namespace {

int HexDigitValue(std::uint8_t C) noexcept {
    if (C >= '0' && C <= '9') return C - '0';
    if (C >= 'a' && C <= 'f') return C - 'a' + 10;
    if (C >= 'A' && C <= 'F') return C - 'A' + 10;
    return -1;
}

}  // namespace

// ---- Exceptions ---------------------------------------------------------------------------

EInProcServerNotFoundException::EInProcServerNotFoundException(std::string_view ServerName)
    : Exception(Runtime::Format("In-process server \"%s\" not found", std::string(ServerName))) {}

EChunkedException::EChunkedException(const char* Fmt, std::int64_t APosition)
    : Exception(Runtime::Format(Fmt, APosition)), FPosition(APosition) {}

EChunkedExpectedDataException::EChunkedExpectedDataException(std::int64_t Position)
    : EChunkedException("Expected chunked data or size at position %" PRId64, Position) {}

EChunkedInvalidSizeException::EChunkedInvalidSizeException(std::int64_t Position)
    : EChunkedException("Invalid chunk size at position %" PRId64, Position) {}

EChunkedExpectedCRLFException::EChunkedExpectedCRLFException(std::int64_t Position)
    : EChunkedException("Expected CRLF at position %" PRId64, Position) {}

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
        const int Digit = HexDigitValue(Byte);
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

// ---- TInProcHttpResponseStream ------------------------------------------------------------

TInProcHttpResponseStream::TInProcHttpResponseStream(TStream& AStream, bool AChunked, bool AAborted,
                                                     std::int64_t AStatedLength)
    : FStream(&AStream), FAborted(AAborted), FStatedLength(AChunked ? -1 : AStatedLength) {
    // The server may have left the position anywhere; the body starts at the first byte.
    FStream->SetPosition(0);
    if (AChunked) FChunkedReader = std::make_unique<THttpChunkedReader>(*FStream);
}

std::int64_t TInProcHttpResponseStream::DoRead(void* Buffer, std::int64_t Count) {
    const std::int64_t N =
        FChunkedReader ? FChunkedReader->Read(Buffer, Count) : FStream->Read(Buffer, Count);
    FDelivered += std::max<std::int64_t>(N, 0);
    if (N > 0 || Count <= 0) return N;
    // A body that reached its stated length is whole, even when the server failed after it.
    if (FStatedLength >= 0 && FDelivered >= FStatedLength) return 0;
    if (FAborted)
        throw EHttpEngineException::CreateFmt(
            "In-process response body is incomplete: the server failed after %" PRId64
            " bytes of it",
            FDelivered);
    if (FDelivered < FStatedLength)
        throw EHttpEngineException::CreateFmt("In-process response body is incomplete: %" PRId64
                                              " of %" PRId64 " bytes",
                                              FDelivered, FStatedLength);
    return 0;
}

// ---- TInProcHttpResponse ------------------------------------------------------------------

TInProcHttpResponse::TInProcHttpResponse(std::unique_ptr<TInProcHttpContext> AContext)
    : FContext(std::move(AContext)) {}

TInProcHttpResponse::~TInProcHttpResponse() {
    // The body streams read the context's captured bytes, so they go first.
    FreeContentStreams();
}

std::int64_t TInProcHttpResponse::GetContentLength() {
    if (!FContentLengthLoaded) {
        // From the server response, not the header copy: decoding a compressed body drops
        // "content-length" from the copy.
        FContentLength = Chunked() ? -1 : ServerResponse().ContentLength();
        FContentLengthLoaded = true;
    }
    return FContentLength;
}

std::string TInProcHttpResponse::GetContentType() {
    return Headers().Get("content-type");
}

std::string TInProcHttpResponse::GetContentEncoding() {
    return Headers().Get("content-encoding");
}

std::int32_t TInProcHttpResponse::GetStatusCode() {
    return ServerResponse().StatusCode();
}

std::string TInProcHttpResponse::GetStatusReason() {
    return ServerResponse().StatusReason();
}

std::unique_ptr<TStream> TInProcHttpResponse::CreateContentStream() {
    const bool IsChunked = Chunked();
    // A HEAD answer, 1xx, 204 and 304 never carry a body, whatever length they state.
    const int Status = ServerResponse().StatusCode();
    const bool NoBody = FContext->Request().Method() == "HEAD" || (Status >= 100 && Status < 200) ||
                        Status == 204 || Status == 304;
    return std::make_unique<TInProcHttpResponseStream>(
        FContext->ResponseContent(), IsChunked, ServerResponse().Aborted(),
        NoBody ? -1 : ServerResponse().ContentLength());
}

void TInProcHttpResponse::LoadHeaders(THttpHeaders& Headers) {
    // A copy of the collection: its entries are already in the form SetValue would store.
    Headers = ServerResponse().Headers();
}

// ---- TInProcHttpEngine --------------------------------------------------------------------

std::unique_ptr<THttpRequest> TInProcHttpEngine::DoCreateRequest() {
    return std::make_unique<THttpRequest>();
}

std::unique_ptr<THttpResponse> TInProcHttpEngine::DoSend(THttpRequest& Request) {
    auto Context = std::make_unique<TInProcHttpContext>(Request);
    const std::string& Host = Request.AsUri()->Host();
    // Held for the whole exchange, so a Remove on another thread cannot free the server
    // under a running module.
    const std::shared_ptr<TInProcHttpServer> Server =
        TInProcHttpServer::ServerManager().Acquire(Host);
    if (!Server) throw EInProcServerNotFoundException(Host);
    Server->Dispatcher().DispatchRequest(*Context);
    return std::make_unique<TInProcHttpResponse>(std::move(Context));
}

}  // namespace Nimbra
