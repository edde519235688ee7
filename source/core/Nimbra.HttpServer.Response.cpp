#include "Nimbra.HttpServer.Response.h"

#include <algorithm>
#include <cstring>

#include "Nimbra.Utils.h"
#include "Runtime.Text.h"

namespace Nimbra {

namespace {

constexpr std::uint8_t LastChunk[] = {'0', '\r', '\n', '\r', '\n'};
constexpr std::uint8_t ChunkEnd[] = {'\r', '\n'};
// Bytes after the end of a body would be read as part of the next message, or corrupt this
// one.
constexpr const char* ClosedMessage = "Http response is closed; no more body bytes can be written.";

// Upper-case hexadecimal digits, no leading zeros; Value > 0.
void AppendHex(Runtime::TBytes& Out, std::int64_t Value) {
    char Digits[16];
    int N = 0;
    do {
        Digits[N++] = "0123456789ABCDEF"[Value & 0xF];
        Value >>= 4;
    } while (Value > 0);
    while (N > 0) Out.push_back(static_cast<std::uint8_t>(Digits[--N]));
}

std::int64_t NoMoveSeek(std::int64_t Offset, Runtime::TSeekOrigin Origin, std::int64_t Position) {
    const bool NoMove =
        Origin == Runtime::TSeekOrigin::soBeginning ? Offset == Position : Offset == 0;
    if (!NoMove) throw Runtime::EStreamError("Http response stream cannot change position.");
    return Position;
}

}  // namespace

// --- THttpRawResponseStream ---

std::int64_t THttpRawResponseStream::Read(void*, std::int64_t) {
    return 0;
}

std::int64_t THttpRawResponseStream::Seek(std::int64_t Offset, Runtime::TSeekOrigin Origin) {
    return NoMoveSeek(Offset, Origin, FStreamSize);
}

std::int64_t THttpRawResponseStream::Write(const void* Buffer, std::int64_t Count) {
    if (Count <= 0) return 0;
    if (FResponse->Closed()) throw Runtime::EStreamError(ClosedMessage);
    if (!FResponse->HeadersSent()) FResponse->SendHeaders();
    const auto* Data = static_cast<const std::uint8_t*>(Buffer);
    std::int64_t N;
    if (FResponse->Chunked() &&
        static_cast<std::int64_t>(FChunkCache.size()) + Count < FResponse->MinChunkSize()) {
        FChunkCache.insert(FChunkCache.end(), Data, Data + Count);
        N = Count;
    } else {
        N = WriteChunk(Data, Count);
    }
    FStreamSize += N;
    return N;
}

void THttpRawResponseStream::Flush() {
    if (!FResponse->Chunked()) return;
    WriteChunk(nullptr, 0);
    WriteRaw(LastChunk, sizeof(LastChunk));
}

std::int64_t THttpRawResponseStream::WriteChunk(const std::uint8_t* Data, std::int64_t Count) {
    const bool Chunked = FResponse->Chunked();
    if (Count == 0 && (!Chunked || FChunkCache.empty())) return 0;
    if (!Chunked) return WriteRaw(Data, Count);

    // The cached bytes and the new ones go out together, as one chunk unless that would
    // exceed MaxChunkSize.
    Runtime::TBytes Cache;
    Cache.swap(FChunkCache);
    const std::int64_t Cached = static_cast<std::int64_t>(Cache.size());
    const std::int64_t Total = Cached + Count;
    std::int64_t Offset = 0;
    std::int64_t DataEmitted = 0;
    while (Offset < Total) {
        const std::int64_t Piece = std::min(Total - Offset, MaxChunkSize);
        FFrame.clear();
        AppendHex(FFrame, Piece);
        FFrame.push_back('\r');
        FFrame.push_back('\n');
        const std::int64_t Head = static_cast<std::int64_t>(FFrame.size());
        // The cached bytes of this piece go out with its size line; the caller's bytes are
        // written from where they are, so a large write is not copied once more.
        const std::int64_t FromCache = std::clamp<std::int64_t>(Cached - Offset, 0, Piece);
        if (FromCache > 0)
            FFrame.insert(FFrame.end(), Cache.begin() + Offset, Cache.begin() + Offset + FromCache);
        const std::int64_t Frame = static_cast<std::int64_t>(FFrame.size());
        const std::int64_t Written = WriteRaw(FFrame.data(), Frame);
        DataEmitted += std::max<std::int64_t>(Written - Head, 0);
        if (Written < Frame) break;
        const std::int64_t FromData = Piece - FromCache;
        if (FromData > 0) {
            const std::int64_t N = WriteRaw(Data + (Offset + FromCache - Cached), FromData);
            DataEmitted += N;
            if (N < FromData) break;
        }
        if (WriteRaw(ChunkEnd, sizeof(ChunkEnd)) < static_cast<std::int64_t>(sizeof(ChunkEnd)))
            break;
        Offset += Piece;
    }
    // Keep the buffers for the next chunk, unless a large write made them huge.
    constexpr std::size_t KeepCapacity = 1 << 20;
    if (Cache.capacity() <= KeepCapacity) {
        Cache.clear();
        FChunkCache.swap(Cache);
    }
    if (FFrame.capacity() > KeepCapacity) Runtime::TBytes().swap(FFrame);
    return std::clamp<std::int64_t>(DataEmitted - Cached, 0, Count);
}

std::int64_t THttpRawResponseStream::WriteRaw(const std::uint8_t* Data, std::int64_t Count) {
    if (Count <= 0) return 0;
    if (!FResponse->HeadersSent()) FResponse->SendHeaders();
    std::int64_t Total = 0;
    while (Total < Count) {
        const std::int64_t N = FResponse->DoWrite(Data + Total, Count - Total);
        if (N <= 0) break;
        Total += std::min(N, Count - Total);
    }
    return Total;
}

// --- THttpServerResponseStream ---

std::int64_t THttpServerResponseStream::Read(void*, std::int64_t) {
    return 0;
}

std::int64_t THttpServerResponseStream::Seek(std::int64_t Offset, Runtime::TSeekOrigin Origin) {
    return NoMoveSeek(Offset, Origin, FStreamSize);
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

int THttpServerResponse::GetMinorVersion() const noexcept {
    if (FProtocol == "HTTP/1.1") return 1;
    if (FProtocol == "HTTP/1.0") return 0;
    return -1;
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
        if (GetMinorVersion() != 0)
            SetChunked(true);
        else
            FKeepAlive = false;
    }
    if (!FKeepAlive)
        FHeaders.SetValue("connection", "close");
    else if (GetMinorVersion() == 0)
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
