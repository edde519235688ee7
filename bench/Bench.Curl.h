#pragma once
// Bench.Curl: the raw-libcurl side of every comparison: one easy handle, reused for every
// transfer so its connection stays alive, fetching one URL. What the comparison needs of it
// (the request's header bytes, curl's receive buffer, where the body goes) is set once in
// TCurlOptions:
//
//     Bench::TCurlGet Curl(Nginx.Url("small.txt"), 1024);   // counts the body
//     Bench::TCurlOptions Copy;
//     Copy.BufferSize = 512 * 1024;
//     Copy.Sink = Bench::TCurlSink::Copy;                    // into a 512 KiB buffer
//     Bench::TCurlGet Large(Nginx.Url("large.bin"), 256 << 20, Copy);
//     Bench::ComparePairs([&] { Ours(); }, [&] { Curl(); }, Opt);

#include <cstdint>
#include <string>
#include <vector>

typedef void CURL;
struct curl_slist;

namespace Bench {

/// Where the body goes.
enum class TCurlSink {
    Count,    // counted and dropped: the transfer alone
    Copy,     // copied round and round into one buffer of CopyBufferSize bytes, as a caller
              // reading a stream into one buffer does (the one copy a pull interface such as
              // WinHttpReadData cannot avoid)
    Collect,  // appended to a string kept until the next transfer (Body())
};

struct TCurlOptions {
    /// Sent as User-Agent; the engines under test send their own, and both sides should pay
    /// for the same header bytes.
    std::string UserAgent = "Bench";
    /// Sent as Accept-Encoding when not empty (what WinHTTP adds when asked to decompress).
    std::string AcceptEncoding;
    /// curl's receive buffer in bytes; 0 keeps curl's default.
    long BufferSize = 0;
    TCurlSink Sink = TCurlSink::Count;
    std::size_t CopyBufferSize = 512 * 1024;
    /// Offers HTTP/2 on https and requires it: a transfer that went over HTTP/1.1 throws, so
    /// a comparison never measures another protocol than it names. Without it, HTTP/1.1 only.
    bool Http2 = false;
    /// The certificate to trust for https (Bench::TNginx::CaFile); empty: curl's default.
    std::string CaFile;
};

/// GETs Url with one reused easy handle; each call is one whole transfer. Sends no Accept
/// line, as the engines under test do. Owns the handle, its header list and the sink's
/// buffer. The caller runs curl_global_init first. One object serves one thread at a time.
class TCurlGet {
  public:
    TCurlGet(std::string Url, std::int64_t ExpectedSize, TCurlOptions Options = {});
    ~TCurlGet();
    TCurlGet(const TCurlGet&) = delete;
    TCurlGet& operator=(const TCurlGet&) = delete;

    /// One transfer; throws std::runtime_error unless it gave 200 and ExpectedSize bytes (over
    /// HTTP/2 when the options ask for it).
    void operator()();
    /// The last body, with TCurlSink::Collect; empty otherwise.
    const std::string& Body() const noexcept { return FBody; }

  private:
    static std::size_t CountBytes(char* Ptr, std::size_t Size, std::size_t N, void* User);
    static std::size_t CopyBytes(char* Ptr, std::size_t Size, std::size_t N, void* User);
    static std::size_t CollectBytes(char* Ptr, std::size_t Size, std::size_t N, void* User);

    CURL* FEasy;
    curl_slist* FHeaders;
    std::string FUrl;
    TCurlOptions FOptions;
    std::int64_t FExpected;
    std::int64_t FReceived = 0;
    std::vector<char> FCopy;  // TCurlSink::Copy
    std::size_t FCopyFill = 0;
    std::string FBody;  // TCurlSink::Collect
};

}  // namespace Bench
