#pragma once
// Bench.Nginx: an nginx of our own on 127.0.0.1 serving files made for a benchmark, the
// reference server of every comparison against raw libcurl.
//
//     Bench::TNginx Nginx({{"small.txt", std::string(1024, 'x')},
//                          Bench::TServedFile::Sparse("large.bin", 256u << 20)});
//     curl_easy_setopt(E, CURLOPT_URL, Nginx.Url("small.txt").c_str());
//
// Keep-alive connections last for the whole run (no request limit, two minutes idle), access
// logging is off and sendfile on, so the server's own cost stays small and steady.
//
// With TLS it serves https with a certificate made for 127.0.0.1 at start-up, which its
// clients trust through CaFile(); with HTTP/2 as well, it offers h2 besides HTTP/1.1:
//
//     Bench::TNginx Secure({{"small.txt", "..."}}, {.Tls = true, .Http2 = true});
//     Curl options: CaFile = Secure.CaFile(), Http2 = true

#include <sys/types.h>

#include <cstddef>
#include <filesystem>
#include <string>
#include <vector>

namespace Bench {

/// A file the server offers at /<Name>: Content, or SparseSize zero bytes when that is set.
struct TServedFile {
    std::string Name;
    std::string Content;
    std::size_t SparseSize = 0;
    /// Zeros without a disk write: the page cache serves them, so disk speed stays out.
    static TServedFile Sparse(std::string Name, std::size_t Size) {
        return {std::move(Name), {}, Size};
    }
};

/// How the server listens.
struct TNginxOptions {
    bool Tls = false;    // https, with a certificate of its own for 127.0.0.1
    bool Http2 = false;  // offers HTTP/2 by ALPN as well; needs Tls
    /// Connections the server holds at once (nginx's worker_connections, its listener
    /// included); a comparison of a thousand requests in flight needs a few thousand.
    int Connections = 64;
};

/// nginx serving a temporary folder on 127.0.0.1 from construction to destruction; owns the
/// process and the folder (both gone after the destructor). Throws std::runtime_error when
/// nginx cannot be started, naming its error log.
class TNginx {
  public:
    /// Throws std::invalid_argument for HTTP/2 without TLS (no clear-text HTTP/2 here).
    explicit TNginx(const std::vector<TServedFile>& Files, TNginxOptions Options = {});
    ~TNginx();
    TNginx(const TNginx&) = delete;
    TNginx& operator=(const TNginx&) = delete;

    int Port() const { return FPort; }
    /// http://127.0.0.1:<port>/<File>, or https:// with TLS.
    std::string Url(const std::string& File) const;
    /// The certificate to trust for a TLS server (self-signed; a file in the server's
    /// folder, valid as long as the server); empty without TLS.
    std::string CaFile() const;

  private:
    void Start(int Port);

    std::filesystem::path FDir;
    TNginxOptions FOptions;
    pid_t FPid = -1;
    int FPort = 0;
};

}  // namespace Bench
