#include "Nimbra.HttpServer.Response.h"

#include <algorithm>
#include <cstring>

#include "Nimbra.HttpServer.Request.h"
#include "Nimbra.Utils.h"
#include "Runtime.Text.h"

namespace Nimbra {

namespace {

// Bytes after the end of a body would be read as part of the next message, or corrupt this
// one.
constexpr const char* ClosedMessage = "Http response is closed; no more body bytes can be written.";

constexpr const char* StreamName = "Http response stream";

}  // namespace

// --- THttpRawResponseStream ---

std::int64_t THttpRawResponseStream::Read(void*, std::int64_t) {
    return 0;
}

std::int64_t THttpRawResponseStream::Seek(std::int64_t Offset, Runtime::TSeekOrigin Origin) {
    return SeekInPlace(Offset, Origin, FStreamSize, StreamName);
}

std::int64_t THttpRawResponseStream::Write(const void* Buffer, std::int64_t Count) {
    if (Count <= 0) return 0;
    if (FResponse->Closed()) throw Runtime::EStreamError(ClosedMessage);
    if (!FResponse->HeadersSent()) FResponse->SendHeaders();
    const std::int64_t N = FResponse->Chunked()
                               ? FChunked.Write(Buffer, Count, FResponse->MinChunkSize())
                               : FOutput.Write(Buffer, Count);
    FStreamSize += N;
    return N;
}

void THttpRawResponseStream::Flush() {
    if (FResponse->Chunked()) FChunked.Finish();
}

std::int64_t THttpRawResponseStream::TOutput::Read(void*, std::int64_t) {
    return 0;
}

std::int64_t THttpRawResponseStream::TOutput::Seek(std::int64_t Offset,
                                                   Runtime::TSeekOrigin Origin) {
    return SeekInPlace(Offset, Origin, FWritten, StreamName);
}

std::int64_t THttpRawResponseStream::TOutput::Write(const void* Buffer, std::int64_t Count) {
    if (Count <= 0) return 0;
    if (!FResponse->HeadersSent()) FResponse->SendHeaders();
    const auto* Data = static_cast<const std::uint8_t*>(Buffer);
    std::int64_t Total = 0;
    while (Total < Count) {
        const std::int64_t N = FResponse->DoWrite(Data + Total, Count - Total);
        if (N <= 0) break;
        Total += std::min(N, Count - Total);
    }
    FWritten += Total;
    return Total;
}

// --- THttpServerResponseStream ---

std::int64_t THttpServerResponseStream::Read(void*, std::int64_t) {
    return 0;
}

std::int64_t THttpServerResponseStream::Seek(std::int64_t Offset, Runtime::TSeekOrigin Origin) {
    return SeekInPlace(Offset, Origin, FStreamSize, StreamName);
}

std::int64_t THttpServerResponseStream::Write(const void* Buffer, std::int64_t Count) {
    if (Count <= 0) return 0;
    if (FResponse->Closed()) throw Runtime::EStreamError(ClosedMessage);
    if (!FResponse->HeadersSent()) FResponse->SendHeaders();
    // Keep the writer alive even if a callback replaces it during the write.
    const std::shared_ptr<IHttpResponseBodyWriter> Writer = FResponse->RawWriter();
    const std::int64_t N = Writer->Stream().Write(Buffer, Count);
    FStreamSize += N;
    return N;
}

// --- THttpServerResponse ---

THttpServerResponse::THttpServerResponse()
    : FRawWriter(std::make_shared<THttpRawResponseBodyWriter>(*this)) {}

THttpServerResponse::~THttpServerResponse() = default;

void THttpServerResponse::SetStatusCode(int Value) {
    FStatusCode = Value;
    FStatusReason = TNimbraUtils::GetStatusReason(Value);
}

void THttpServerResponse::SetRawWriter(std::shared_ptr<IHttpResponseBodyWriter> Value) {
    if (!Value) throw Runtime::EAssertionFailed("Response body writer must not be nil.");
    FRawWriter = std::move(Value);
}

Runtime::TStream& THttpServerResponse::Content() {
    if (!FContent) FContent = std::make_unique<THttpServerResponseStream>(*this);
    return *FContent;
}

bool THttpServerResponse::Chunked() const {
    std::string Value;
    return FHeaders.GetIfExists("transfer-encoding", Value) &&
           Runtime::SameTextAscii(Value, "chunked");
}

void THttpServerResponse::SetChunked(bool Value) {
    if (FHeadersSent) return;
    if (Value) {
        FHeaders.Remove("content-length");
        FHeaders.SetValue("transfer-encoding", "chunked");
    } else {
        FHeaders.Remove("transfer-encoding");
    }
}

std::int64_t THttpServerResponse::ContentLength() const {
    return ContentLengthOf(FHeaders);
}

void THttpServerResponse::SetContentLength(std::int64_t Value) {
    if (FHeadersSent) return;
    if (Value < 0)
        FHeaders.Remove("content-length");
    else
        FHeaders.SetValue("content-length", std::to_string(Value));
}

void THttpServerResponse::OnHeaders(THttpResponseHeadersProc Proc) {
    if (!Proc) return;
    if (!FOnHeadersProc) {
        FOnHeadersProc = std::make_shared<const THttpResponseHeadersProc>(std::move(Proc));
        return;
    }
    FOnHeadersProc = std::make_shared<const THttpResponseHeadersProc>(
        [Proc = std::move(Proc), Previous = FOnHeadersProc](THttpServerResponse& Response) {
            Proc(Response);
            (*Previous)(Response);
        });
}

void THttpServerResponse::SendHeaders() {
    if (FHeadersSent) return;
    // A callback writing to the body would otherwise start this again, endlessly.
    if (FSendingHeaders)
        throw Runtime::EStreamError("Http response body written while its headers are prepared.");
    struct TGuard {
        bool& Flag;
        ~TGuard() { Flag = false; }
    } Guard{FSendingHeaders};
    FSendingHeaders = true;
    if (const auto Callbacks = FOnHeadersProc) (*Callbacks)(*this);
    if (ContentLength() == -1 && !Chunked()) {
        if (HttpMinorVersion(FProtocol) != 0)
            SetChunked(true);
        else
            FKeepAlive = false;
    }
    if (!FKeepAlive)
        FHeaders.SetValue("connection", "close");
    else if (HttpMinorVersion(FProtocol) == 0)
        FHeaders.SetValue("connection", "keep-alive");
    DoWriteHeaders();
    FHeadersSent = true;
}

void THttpServerResponse::Close() {
    // A second close would put a second last chunk after the end of the body.
    if (FClosed) return;
    FRawWriter->Flush();
    if (FHeadersSent) {
        DoClose();
    } else {
        if (ContentLength() == -1) SetContentLength(0);
        SendHeaders();
    }
    FClosed = true;
}

void THttpServerResponse::Close(const Runtime::TBytes& AContent) {
    if (!FHeadersSent && !Chunked()) SetContentLength(static_cast<std::int64_t>(AContent.size()));
    if (!AContent.empty())
        Content().Write(AContent.data(), static_cast<std::int64_t>(AContent.size()));
    Close();
}

void THttpServerResponse::Abort() {
    if (FClosed) return;
    FClosed = true;
    FAborted = true;
    DoAbort();
}

std::shared_ptr<IHttpResponseBodyWriter> THttpServerResponse::CreateRawWriter() {
    return std::make_shared<THttpRawResponseBodyWriter>(*this);
}

}  // namespace Nimbra
