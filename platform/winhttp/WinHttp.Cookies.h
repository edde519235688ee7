#pragma once
// The cookies of a session: what its responses set, kept for the session's life and offered to
// its later requests where host, path and scheme match.

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace WinHttpImpl {

/// Where a request goes or a response came from, as cookies see it: the port plays no part.
struct TCookieTarget {
    std::string Host;  // lower case; an IPv6 literal without its brackets
    std::string Path;  // the path alone, from "/", without the query
    bool Secure = false;
    /// From an absolute http or https URL; false when it is not one.
    bool Parse(std::string_view Url);
};

/// The cookie store of one session; safe to use from several threads at once.
class TCookieJar {
  public:
    /// Takes the value of one Set-Cookie line of a response from From. A cookie that From may
    /// not set (another domain) or that is malformed is ignored; one already expired removes
    /// the stored cookie of the same name, domain and path.
    void Store(const TCookieTarget& From, std::string_view SetCookie);
    /// The value of the Cookie header for a request to To ("a=1; b=2"), empty when none match.
    /// Longer paths first, then in the order they were first set.
    std::string Header(const TCookieTarget& To);
    /// True while no cookie is kept, so that a request need not look at its URL at all.
    bool Empty();

  private:
    struct TCookie {
        std::string Name, Value;
        std::string Domain;  // lower case, without a leading dot
        std::string Path;
        bool HostOnly = true;  // no Domain attribute: this host alone, not its subdomains
        bool Secure = false;
        std::int64_t Expires = 0;  // seconds since 1970; 0: lives as long as the session
        std::uint64_t Order = 0;   // when it was first set
    };
    std::mutex FLock;
    std::vector<TCookie> FCookies;
    std::uint64_t FNextOrder = 0;
};

}  // namespace WinHttpImpl
