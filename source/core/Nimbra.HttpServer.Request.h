#pragma once
// Nimbra.HttpServer.Request: the request as a server module sees it, and the forward-only
// body stream a transport derives from.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "Nimbra.Http.Headers.h"
#include "Nimbra.Uri.h"
#include "Runtime.Stream.h"

namespace Nimbra {

/// The methods a request names, as MethodType classifies them; anything else is Other.
enum class THttpMethod { Other, Get, Post, Put, Delete, Head, Patch, Options };

/// Transport details of a request.
class IHttpRequestExtraInfo {
  public:
    virtual ~IHttpRequestExtraInfo() = default;
    virtual std::string GetRemoteIp() const = 0;
};

/// An authenticated user. Its operations belong to the security layer; requests only carry
/// it.
class IUserIdentity {
  public:
    virtual ~IUserIdentity() = default;
};

/// The minor version of "HTTP/1.1" (1) and "HTTP/1.0" (0); -1 for any other protocol text.
int HttpMinorVersion(std::string_view Protocol) noexcept;

/// Seek on a server stream that cannot be moved: only the forms that stay where the stream
/// is (to Position from the beginning, by 0 from the current position or the end) are
/// allowed, and return Position; any other raises EStreamError "<What> cannot change
/// position.".
std::int64_t SeekInPlace(std::int64_t Offset, Runtime::TSeekOrigin Origin, std::int64_t Position,
                         const char* What);

/// Forward-only request body: a transport supplies the bytes through ReadContent; the
/// stream counts them and answers position questions, but cannot be moved.
class THttpRequestStream : public Runtime::TStream {
  public:
    std::int64_t Read(void* Buffer, std::int64_t Count) override;
    /// Request bodies are read-only: nothing is written.
    std::int64_t Write(const void* Buffer, std::int64_t Count) override;
    /// Only the no-op forms (to the current position from the beginning, by 0 from the
    /// current position or the end) are allowed; they return the bytes delivered so far.
    std::int64_t Seek(std::int64_t Offset, Runtime::TSeekOrigin Origin) override;
    /// The declared body length, else the number of bytes delivered so far.
    std::int64_t Size() override;

  protected:
    /// The total body length, -1 when unknown.
    virtual std::int64_t GetContentLength() = 0;
    /// Reads up to Count body bytes; 0 means the body is exhausted.
    virtual std::int64_t ReadContent(void* Buffer, std::int64_t Count) = 0;

  private:
    std::int64_t FStreamSize = 0;
};

/// A server-side request: method, raw and parsed URI, protocol, headers and body. Filled
/// by a transport, read by modules; owns its headers, parsed URIs and body stream.
class THttpServerRequest {
  public:
    THttpServerRequest();
    THttpServerRequest(const THttpServerRequest&) = delete;
    THttpServerRequest& operator=(const THttpServerRequest&) = delete;
    ~THttpServerRequest();

    THttpHeaders& Headers() noexcept { return FHeaders; }
    const THttpHeaders& Headers() const noexcept { return FHeaders; }

    const std::string& Method() const noexcept { return FMethod; }
    void SetMethod(std::string Value) { FMethod = std::move(Value); }
    THttpMethod MethodType() const noexcept;

    const std::string& Protocol() const noexcept { return FProtocol; }
    void SetProtocol(std::string Value) { FProtocol = std::move(Value); }
    /// 1 for exactly "HTTP/1.1" or "HTTP/1.0", else -1.
    int MajorVersion() const noexcept;
    /// 1 for exactly "HTTP/1.1", 0 for exactly "HTTP/1.0", else -1.
    int MinorVersion() const noexcept;

    const std::string& RawUri() const noexcept { return FRawUri; }
    /// Also fills RawOriginalUri while that is still empty.
    void SetRawUri(std::string Value);
    const std::string& RawOriginalUri() const noexcept { return FRawOriginalUri; }
    void SetRawOriginalUri(std::string Value);
    /// RawUri parsed, on first use after each change; valid until RawUri changes.
    const TUri& Uri() const;
    const TUri& OriginalUri() const;

    /// The "content-length" header as a number; -1 when absent, not a number or negative.
    std::int64_t ContentLength() const;
    /// The body, loaded from ContentStream on first use (from its current position). With
    /// a declared length it has at most that many bytes: exactly that many, zero-filled
    /// when the stream ends early, up to TrustedContentLength; beyond it only the bytes
    /// that arrived, memory growing with them. Without a length it runs to the end of the
    /// stream. Later calls return the same.
    const Runtime::TBytes& Content();

    Runtime::TStream* ContentStream() const noexcept { return FContentStream.get(); }
    /// Takes ownership of the stream; a stream replaced later is released.
    void SetContentStream(std::unique_ptr<Runtime::TStream> Value) {
        FContentStream = std::move(Value);
    }

    const std::shared_ptr<IHttpRequestExtraInfo>& ExtraInfo() const noexcept { return FExtraInfo; }
    void SetExtraInfo(std::shared_ptr<IHttpRequestExtraInfo> Value) {
        FExtraInfo = std::move(Value);
    }
    /// The remote peer's address from ExtraInfo, empty without it.
    std::string RemoteIp() const;

    const std::shared_ptr<IUserIdentity>& User() const noexcept { return FUser; }
    void SetUser(std::shared_ptr<IUserIdentity> Value) { FUser = std::move(Value); }

  private:
    void LoadContent();

    THttpHeaders FHeaders;
    std::string FMethod;
    std::string FRawUri;
    std::string FProtocol;
    mutable std::optional<TUri> FUri;
    mutable std::optional<TUri> FOriginalUri;
    Runtime::TBytes FContent;
    bool FContentLoaded = false;
    std::unique_ptr<Runtime::TStream> FContentStream;
    std::shared_ptr<IHttpRequestExtraInfo> FExtraInfo;
    std::shared_ptr<IUserIdentity> FUser;
    std::string FRawOriginalUri;
};

}  // namespace Nimbra
