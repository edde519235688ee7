#include "Nimbra.InProc.Context.h"

#include <algorithm>
#include <cstring>

namespace Nimbra {

// ---- TInProcHttpServerRequestStream -------------------------------------------------------

TInProcHttpServerRequestStream::TInProcHttpServerRequestStream(THttpRequest& AClientRequest)
    : FClientRequest(&AClientRequest),
      FStream(AClientRequest.ContentStream()),
      FBuffer(static_cast<std::size_t>(BufferSize)) {}

std::int64_t TInProcHttpServerRequestStream::GetContentLength() {
    // Asked once: a stream's size may cost a seek to its end and back.
    if (!FContentLength) FContentLength = FClientRequest->ContentLength();
    return *FContentLength;
}

std::int64_t TInProcHttpServerRequestStream::ReadContent(void* Buffer, std::int64_t Count) {
    const std::int64_t Want = std::clamp<std::int64_t>(GetContentLength() - FTotalRead, 0, Count);
    if (Want == 0 || FStream == nullptr) return 0;
    auto* Out = static_cast<std::uint8_t*>(Buffer);
    std::int64_t Total = 0;
    while (Total < Want) {
        const std::int64_t Got = ReadFromBuffer(Out + Total, Want - Total);
        if (Got == 0) break;
        Total += Got;
    }
    FTotalRead += Total;
    return Total;
}

std::int64_t TInProcHttpServerRequestStream::ReadFromBuffer(std::uint8_t* Dest, std::int64_t Len) {
    FillBuffer();
    const std::int64_t N = std::min(Len, FBufferDataLen - FBufferPos);
    if (N <= 0) return 0;
    std::memcpy(Dest, FBuffer.data() + FBufferPos, static_cast<std::size_t>(N));
    FBufferPos += N;
    return N;
}

void TInProcHttpServerRequestStream::FillBuffer() {
    if (FBufferDataLen > FBufferPos || FEof) return;
    // Only 0 marks the end: a stream may well hand out less than asked before its end.
    const std::int64_t Got = FStream->Read(FBuffer.data(), BufferSize);
    FBufferDataLen = std::max<std::int64_t>(Got, 0);
    FBufferPos = 0;
    FEof = FBufferDataLen == 0;
}

// ---- TInProcHttpServerResponse ------------------------------------------------------------

std::int64_t TInProcHttpServerResponse::DoWrite(const void* Buffer, std::int64_t Count) {
    return FCachedContent.Write(Buffer, Count);
}

// ---- TInProcHttpContext -------------------------------------------------------------------

TInProcHttpContext::TInProcHttpContext(THttpRequest& AClientRequest)
    : FRequest(std::make_unique<THttpServerRequest>()) {
    FRequest->SetMethod(AClientRequest.Method().empty() ? "GET" : AClientRequest.Method());
    FRequest->SetRawUri(AClientRequest.Uri());
    for (const THttpHeaderInfo& Header : AClientRequest.Headers().AllHeaders())
        FRequest->Headers().SetValue(Header.Name(), Header.Value());
    FRequest->SetContentStream(std::make_unique<TInProcHttpServerRequestStream>(AClientRequest));
    FResponse = std::make_unique<TInProcHttpServerResponse>(*this);
}

// The request goes first: its body stream is the part that refers to the client.
TInProcHttpContext::~TInProcHttpContext() {
    FRequest.reset();
    FResponse.reset();
}

}  // namespace Nimbra
