#include "Nimbra.HttpServer.Request.h"

#include <algorithm>

namespace Nimbra {

namespace {

// Growth step of a body of unknown length.
constexpr std::int64_t OpenLengthStep = 4096;

}  // namespace

std::int64_t THttpRequestStream::Read(void* Buffer, std::int64_t Count) {
    if (Count <= 0) return 0;
    const std::int64_t N = ReadContent(Buffer, Count);
    if (N > 0) FStreamSize += N;
    return std::max<std::int64_t>(N, 0);
}

std::int64_t THttpRequestStream::Write(const void*, std::int64_t) {
    return 0;
}

int HttpMinorVersion(std::string_view Protocol) noexcept {
    if (Protocol == "HTTP/1.1") return 1;
    if (Protocol == "HTTP/1.0") return 0;
    return -1;
}

std::int64_t SeekInPlace(std::int64_t Offset, Runtime::TSeekOrigin Origin, std::int64_t Position,
                         const char* What) {
    const bool InPlace =
        Origin == Runtime::TSeekOrigin::soBeginning ? Offset == Position : Offset == 0;
    if (!InPlace) throw Runtime::EStreamError(std::string(What) + " cannot change position.");
    return Position;
}

std::int64_t THttpRequestStream::Seek(std::int64_t Offset, Runtime::TSeekOrigin Origin) {
    return SeekInPlace(Offset, Origin, FStreamSize, "Http request stream");
}

std::int64_t THttpRequestStream::Size() {
    const std::int64_t Length = GetContentLength();
    return Length == -1 ? TStream::Size() : Length;
}

THttpServerRequest::THttpServerRequest() : FProtocol("HTTP/1.1") {}

THttpServerRequest::~THttpServerRequest() = default;

THttpMethod THttpServerRequest::MethodType() const noexcept {
    if (FMethod == "GET") return THttpMethod::Get;
    if (FMethod == "POST") return THttpMethod::Post;
    if (FMethod == "PUT") return THttpMethod::Put;
    if (FMethod == "DELETE") return THttpMethod::Delete;
    if (FMethod == "HEAD") return THttpMethod::Head;
    if (FMethod == "PATCH") return THttpMethod::Patch;
    if (FMethod == "OPTIONS") return THttpMethod::Options;
    return THttpMethod::Other;
}

int THttpServerRequest::MajorVersion() const noexcept {
    return FProtocol == "HTTP/1.1" || FProtocol == "HTTP/1.0" ? 1 : -1;
}

int THttpServerRequest::MinorVersion() const noexcept {
    return HttpMinorVersion(FProtocol);
}

void THttpServerRequest::SetRawUri(std::string Value) {
    if (FRawOriginalUri.empty()) SetRawOriginalUri(Value);
    FRawUri = std::move(Value);
    FUri.reset();
}

void THttpServerRequest::SetRawOriginalUri(std::string Value) {
    FRawOriginalUri = std::move(Value);
    FOriginalUri.reset();
}

const TUri& THttpServerRequest::Uri() const {
    if (!FUri) FUri.emplace(FRawUri);
    return *FUri;
}

const TUri& THttpServerRequest::OriginalUri() const {
    if (!FOriginalUri) FOriginalUri.emplace(FRawOriginalUri);
    return *FOriginalUri;
}

std::int64_t THttpServerRequest::ContentLength() const {
    return ContentLengthOf(FHeaders);
}

const Runtime::TBytes& THttpServerRequest::Content() {
    if (!FContentLoaded) {
        LoadContent();
        FContentLoaded = true;
    }
    return FContent;
}

void THttpServerRequest::LoadContent() {
    const std::int64_t Length = ContentLength();
    if (Length == 0 || !FContentStream) return;
    const bool Open = Length == -1;
    std::int64_t Capacity = Open ? OpenLengthStep : ContentBufferSize(Length, 0);
    FContent.assign(static_cast<std::size_t>(Capacity), 0);
    std::int64_t Position = 0;
    for (;;) {
        if (Position == Capacity) {
            if (Position == Length) break;
            Capacity = Open ? Capacity + OpenLengthStep : ContentBufferSize(Length, Position);
            FContent.resize(static_cast<std::size_t>(Capacity));
        }
        const std::int64_t N =
            FContentStream->Read(FContent.data() + Position, Capacity - Position);
        if (N <= 0) break;
        Position += N;
    }
    // A trusted length keeps its zero-filled rest; beyond that, zeros would only stand for
    // bytes the peer never sent, at the cost of the memory the trust rule saves.
    if (Open || Length > TrustedContentLength) FContent.resize(static_cast<std::size_t>(Position));
}

std::string THttpServerRequest::RemoteIp() const {
    return FExtraInfo ? FExtraInfo->GetRemoteIp() : std::string();
}

}  // namespace Nimbra
