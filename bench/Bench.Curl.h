#pragma once
// Bench.Curl: the raw-libcurl side of a comparison: one easy handle, reused for every
// transfer so its connection stays alive, fetching one URL and counting the body.
//
//     Bench::TCurlGet Curl(Nginx.Url("small.txt"), 1024);
//     Bench::ComparePairs([&] { Ours(); }, [&] { Curl(); }, Opt);

#include <cstdint>
#include <string>

typedef void CURL;
struct curl_slist;

namespace Bench {

/// GETs Url with one reused easy handle; each call is one whole transfer, its body counted
/// and dropped. Sends the user agent given and no Accept line, as the engines under test do.
/// Owns the handle and its header list. The caller runs curl_global_init first.
class TCurlGet {
  public:
    TCurlGet(std::string Url, std::int64_t ExpectedSize, const char* UserAgent = "Bench");
    ~TCurlGet();
    TCurlGet(const TCurlGet&) = delete;
    TCurlGet& operator=(const TCurlGet&) = delete;

    /// One transfer; throws std::runtime_error unless it gave 200 and ExpectedSize bytes.
    void operator()();

  private:
    CURL* FEasy;
    curl_slist* FHeaders;
    std::string FUrl;
    std::int64_t FExpected;
    std::int64_t FReceived = 0;
};

}  // namespace Bench
