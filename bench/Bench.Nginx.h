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

/// nginx serving a temporary folder on 127.0.0.1 from construction to destruction; owns the
/// process and the folder (both gone after the destructor). Throws std::runtime_error when
/// nginx cannot be started, naming its error log.
class TNginx {
  public:
    explicit TNginx(const std::vector<TServedFile>& Files);
    ~TNginx();
    TNginx(const TNginx&) = delete;
    TNginx& operator=(const TNginx&) = delete;

    int Port() const { return FPort; }
    /// http://127.0.0.1:<port>/<File>
    std::string Url(const std::string& File) const;

  private:
    void Start(int Port);

    std::filesystem::path FDir;
    pid_t FPid = -1;
    int FPort = 0;
};

}  // namespace Bench
