#pragma once
// Nimbra.Uri: the framework's parsed form of a request address.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "Runtime.Exception.h"

namespace Nimbra {

/// Read-only view of a parsed URI.
class IUri {
  public:
    virtual ~IUri() = default;
    virtual std::string GetAbsoluteUri() const = 0;
    virtual std::string GetScheme() const = 0;
    virtual std::string GetHost() const = 0;
    virtual std::string GetAuthority() const = 0;
    virtual std::string GetAbsolutePath() const = 0;
    virtual std::string GetOriginalQuery() const = 0;
    virtual std::string GetOriginalFragment() const = 0;
    virtual std::int32_t GetPort() const = 0;
    virtual bool IsDefaultPort() const = 0;
};

/// Declared for callers that validate addresses themselves; TUri never raises it.
RUNTIME_DECLARE_EXCEPTION(UriBadFormatException, Runtime::Exception);

/// A URI split once into its parts, each kept as written (Original...) and percent-decoded.
/// Parsing is lenient and never fails: missing parts are empty and a missing port comes
/// from the scheme. Immutable value type; copies are independent.
class TUri : public IUri {
  public:
    explicit TUri(std::string AUri = {});

    TUri Clone() const { return TUri(FUri); }

    const std::string& Scheme() const noexcept { return FScheme; }
    const std::string& Host() const noexcept { return FHost; }
    std::int32_t Port() const noexcept { return FPort; }
    const std::string& Query() const noexcept { return Decoded(FQuery, FOriginalQuery); }
    const std::string& OriginalQuery() const noexcept { return FOriginalQuery; }
    const std::string& Fragment() const noexcept { return Decoded(FFragment, FOriginalFragment); }
    const std::string& OriginalFragment() const noexcept { return FOriginalFragment; }
    const std::string& Path() const noexcept { return Decoded(FPath, FOriginalPath); }
    const std::string& OriginalPath() const noexcept { return FOriginalPath; }
    const std::string& UserInfo() const noexcept { return FUserInfo; }
    /// Decoded, non-empty path segments.
    const std::vector<std::string>& Segments() const noexcept { return FSegments; }
    /// The text the URI was made from, unchanged.
    const std::string& OriginalUri() const noexcept { return FUri; }

    /// Encoded path pieces, each keeping its trailing "/": "/a/b" gives "/", "a/", "b".
    std::vector<std::string> OriginalSegments() const;
    /// [user info "@"] host [":" port], the port left out when it is the default one.
    std::string Authority() const;
    /// Scheme ("http" when none), "://", authority and the encoded path, query, fragment.
    std::string AbsoluteUri() const;
    /// The encoded path, without query or fragment.
    std::string AbsolutePath() const { return FOriginalPath; }
    bool IsDefaultPort() const override;

    std::string GetAbsoluteUri() const override { return AbsoluteUri(); }
    std::string GetScheme() const override { return FScheme; }
    std::string GetHost() const override { return FHost; }
    std::string GetAuthority() const override { return Authority(); }
    std::string GetAbsolutePath() const override { return AbsolutePath(); }
    std::string GetOriginalQuery() const override { return FOriginalQuery; }
    std::string GetOriginalFragment() const override { return FOriginalFragment; }
    std::int32_t GetPort() const override { return FPort; }

    /// Whether S starts with a run of letters followed by "://".
    static bool HasScheme(std::string_view S);
    /// Splits an authority (without user info) into host and port text; an IPv6 literal
    /// keeps its brackets.
    static void ParseHost(std::string_view S, std::string& Host, std::string& Port);
    /// The same, with the port read leniently as an integer (leading number, else 0).
    static void ParseHost(std::string_view S, std::string& Host, std::int32_t& Port);
    static std::string PercentEncode(std::string_view S);
    static std::string PercentDecode(std::string_view S);

  private:
    // The decoded fields stay empty when decoding changes nothing, sparing a copy per part.
    static const std::string& Decoded(const std::string& D, const std::string& Original) noexcept {
        return D.empty() ? Original : D;
    }

    // FUri comes first: the other fields are parsed from it during construction.
    std::string FUri;
    std::string FScheme;
    std::string FFragment;
    std::string FOriginalFragment;
    std::string FQuery;
    std::string FOriginalQuery;
    std::string FHost;
    std::string FPath;
    std::string FOriginalPath;
    std::string FUserInfo;
    std::int32_t FPort = 0;
    std::vector<std::string> FSegments;
};

}  // namespace Nimbra
