// HTTPS against raw libcurl on an nginx started here on 127.0.0.1 with TLS and HTTP/2, in many
// short alternating pairs (Bench.Pairs.h):
//  - sequential keep-alive GETs of a small file over HTTP/1.1 on TLS: through libwinhttp as the
//    engine makes them (connect, open request, send, receive, read to the end, close) on one
//    session, against one reused curl easy handle;
//  - the same over HTTP/2, the session offering it and curl speaking it;
//  - one 64 MiB body over HTTP/2 through TWinHttpEngine with HTTP/2 allowed, read through
//    ContentAsStream into a 512 KiB buffer, against curl over HTTP/2 copying it into a 512 KiB
//    buffer, in rounds of several whole transfers a side.
// Each side checks the protocol it spoke, so a figure never compares another protocol than
// it names. Both sides trust the server's certificate through its file alone.

#include <curl/curl.h>

#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

#include "Bench.Curl.h"
#include "Bench.Nginx.h"
#include "Bench.Pairs.h"
#include "Bench.WinHttp.h"
#include "Nimbra.WinHttp.Api.h"
#include "Nimbra.WinHttp.Engine.h"

// The library's functions through the engine's binding (Nimbra.WinHttp.Api.h), as the engine
// calls them.
namespace Nimbra {
namespace {

constexpr std::size_t SmallSize = 1024;
constexpr std::size_t LargeSize = std::size_t{64} << 20;
constexpr std::size_t BufferSize = 512 * 1024;

/// The large body through the engine's ContentAsStream into one 512 KiB buffer, over HTTP/2.
void EngineLargeGet(TWinHttpEngine& Engine, const std::string& Url, std::vector<char>& Buffer) {
    auto Request = Engine.CreateRequest();
    Request->SetUri(Url);
    Request->SetMethod("GET");
    auto Response = Engine.Send(*Request);
    Runtime::TStream& Body = Response->ContentAsStream();
    std::size_t Total = 0;
    for (;;) {
        const std::int64_t N = Body.Read(Buffer.data(), static_cast<std::int64_t>(Buffer.size()));
        if (N <= 0) break;
        Total += static_cast<std::size_t>(N);
    }
    if (Response->StatusCode() != 200 || Total != LargeSize)
        throw std::runtime_error("engine: transfer of " + Url + " failed");
    auto* W = dynamic_cast<TWinHttpResponse*>(Response.get());
    if (W == nullptr || W->HttpProtocolUsed() != THttpProtocol::Http2)
        throw std::runtime_error("engine: " + Url + " did not come over HTTP/2");
}

}  // namespace
}  // namespace Nimbra

int main(int argc, char** argv) {
    using namespace Nimbra;
    try {
        const Bench::TOptions Opt = Bench::ParseOptions(argc, argv);
        if (argc > 1) throw std::invalid_argument(std::string("unknown argument ") + argv[1]);
        if (!LoadWinHttp()) throw std::runtime_error("libwinhttp could not be loaded");
        curl_global_init(CURL_GLOBAL_ALL);
        const std::vector<Bench::TServedFile> Files = {
            {"small.txt", std::string(SmallSize, 'x')},
            Bench::TServedFile::Sparse("large.bin", LargeSize)};
        const Bench::TNginx Nginx(Files, {.Tls = true, .Http2 = true});
        // libwinhttp trusts what curl is told to trust, read when a session opens.
        setenv("CURL_CA_BUNDLE", Nginx.CaFile().c_str(), 1);
        Bench::TCurlOptions Curl2;
        Curl2.CaFile = Nginx.CaFile();
        Curl2.Http2 = true;
        Bench::TCurlOptions Curl11 = Curl2;
        Curl11.Http2 = false;

        for (const bool Http2 : {false, true}) {
            Bench::TLibraryOptions Options;
            Options.Secure = true;
            Options.Http2 = Http2;
            Bench::TLibraryGet Library(Nginx.Port(), u"/small.txt", SmallSize, Options);
            Bench::TCurlGet Curl(Nginx.Url("small.txt"), SmallSize, Http2 ? Curl2 : Curl11);
            const auto R = Bench::ComparePairs([&] { Library(); }, [&] { Curl(); }, Opt);
            Bench::Record(Bench::RatioFigure(
                              Http2 ? "winhttp.h2-small-gets" : "winhttp.tls-small-gets",
                              Http2 ? "libwinhttp / raw libcurl, keep-alive GETs of 1 KiB over "
                                      "HTTP/2 on TLS"
                                    : "libwinhttp / raw libcurl, keep-alive GETs of 1 KiB over "
                                      "HTTP/1.1 on TLS",
                              R, 0.9),
                          Opt);
        }

        {
            TWinHttpEngine Engine;
            Engine.SetAllowHttp2(true);
            const std::string Url = Nginx.Url("large.bin");
            std::vector<char> Buffer(BufferSize);
            // The engine's request headers: its user agent, and the Accept-Encoding WinHTTP
            // adds when it is asked to decompress.
            Bench::TCurlOptions Copy = Curl2;
            Copy.UserAgent = "Orvo Http/1.0";
            Copy.AcceptEncoding = "gzip, deflate";
            Copy.BufferSize = static_cast<long>(BufferSize);
            Copy.Sink = Bench::TCurlSink::Copy;
            Copy.CopyBufferSize = BufferSize;
            Bench::TCurlGet Curl(Url, LargeSize, Copy);
            // Several whole transfers a side in each round (Bench::LongWork).
            const auto R = Bench::ComparePairs([&] { EngineLargeGet(Engine, Url, Buffer); },
                                               [&] { Curl(); }, Bench::LongWork(Opt));
            Bench::Record(Bench::RatioFigure("engine.h2-large-body",
                                             "TWinHttpEngine ContentAsStream / raw libcurl, "
                                             "64 MiB over HTTP/2 into a 512 KiB buffer",
                                             R, 0.85),
                          Opt);
        }
        curl_global_cleanup();
        return 0;
    } catch (const std::exception& E) {
        std::fprintf(stderr, "bench_http2: %s\n", E.what());
        return 1;
    }
}
