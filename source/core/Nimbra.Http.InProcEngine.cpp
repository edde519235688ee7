#include "Nimbra.Http.InProcEngine.h"

#include <algorithm>
#include <cinttypes>

#include "Nimbra.InProc.Server.h"
#include "Runtime.Format.h"

namespace Nimbra {

using Runtime::TStream;

// ---- Exceptions ---------------------------------------------------------------------------

EInProcServerNotFoundException::EInProcServerNotFoundException(std::string_view ServerName)
    : Exception(Runtime::Format("In-process server \"%s\" not found", std::string(ServerName))) {}

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
