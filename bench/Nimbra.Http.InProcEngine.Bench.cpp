// The in-process engine against what it replaces or moves, in paired rounds (Bench.Pairs.h):
//  - a small GET round trip (create the request, send it, a module answers 13 bytes, read
//    ContentAsBytes, free everything) against the same 13 bytes fetched from nginx on
//    127.0.0.1 through raw libcurl with one reused easy handle;
//  - a 64 MiB body (the module writes it without a length, so it travels chunked; the
//    client reads ContentAsStream in 512 KiB pieces) against copying 64 MiB in memory.
//
// The body is copied twice, into the captured blocks and out into the reader's piece, against
// the reference's once, so the second figure hangs on how the machine copies: with both
// copies at the memory's speed it moves 192 MiB through memory against the reference's 128,
// about 0.67x where reading runs as fast as copying. Both sides are timed warm: the pairs'
// first call of each side, not timed, fills the captured bodies' block pool, as the
// reference's target is allocated once.
//
// Where the processor reports a smaller last-level cache, the C library's memcpy moves the
// reference's 64 MiB with stores that bypass the cache and becomes faster (glibc 2.36 does so above
// a quarter of the size reported: 127 MiB on this kind of machine, which reports 508 MiB; 8 MiB
// where 32 MiB is reported); the captured body stores that way past its first 8 MiB whatever the
// machine. Some processors copy at about two thirds of the speed when source and target lie
// differently within cache lines, as the chunk size lines made them before the captured body kept
// its bytes in line with the module's buffer. Running with
// GLIBC_TUNABLES=glibc.cpu.x86_non_temporal_threshold=0x1000000 copies the reference as a machine
// reporting a smaller cache does.

#include <curl/curl.h>

#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "Bench.Curl.h"
#include "Bench.Nginx.h"
#include "Bench.Pairs.h"
#include "Nimbra.Http.InProcEngine.h"
#include "Nimbra.HttpServer.Module.h"
#include "Nimbra.InProc.Server.h"

namespace {

using Nimbra::THttpServerContext;

const std::string Hello = "Hello, world!";
constexpr std::int64_t LargeSize = std::int64_t{64} << 20;
constexpr std::int64_t ReadPiece = 512 * 1024;
// How the module hands the large body to its response: in 1 MiB writes, as a module
// streaming out a file or a generated document would.
constexpr std::int64_t WritePiece = 1 << 20;

class TFuncModule : public Nimbra::THttpServerModule {
  public:
    using TBody = std::function<void(THttpServerContext&)>;
    TFuncModule(const std::string& BaseUri, TBody ABody)
        : THttpServerModule(BaseUri), FBody(std::move(ABody)) {}

  protected:
    void ProcessRequest(THttpServerContext& Context) override { FBody(Context); }

  private:
    TBody FBody;
};

}  // namespace

int main(int argc, char** argv) {
    using namespace Nimbra;
    try {
        const Bench::TOptions Opt = Bench::ParseOptions(argc, argv);
        if (argc > 1) throw std::invalid_argument(std::string("unknown argument ") + argv[1]);

        THttpDispatcher& Dispatcher = TInProcHttpServer::Get("bench").Dispatcher();
        Dispatcher.AddModule(std::make_unique<TFuncModule>("/hello", [](THttpServerContext& C) {
            C.Response().SetStatusCode(200);
            C.Response().SetContentType("text/plain");
            C.Response().SetContentLength(static_cast<std::int64_t>(Hello.size()));
            C.Response().Content().Write(Hello.data(), static_cast<std::int64_t>(Hello.size()));
        }));
        const Runtime::TBytes Large(static_cast<std::size_t>(LargeSize), 'z');
        Dispatcher.AddModule(std::make_unique<TFuncModule>("/large", [&](THttpServerContext& C) {
            C.Response().SetStatusCode(200);
            for (std::int64_t Done = 0; Done < LargeSize; Done += WritePiece)
                C.Response().Content().WriteBuffer(Large.data() + Done, WritePiece);
        }));
        TInProcHttpEngine Engine;

        {
            curl_global_init(CURL_GLOBAL_ALL);
            const Bench::TNginx Nginx({{"hello.txt", Hello}});
            Bench::TCurlOptions Collect;
            Collect.Sink = Bench::TCurlSink::Collect;
            Bench::TCurlGet Curl(Nginx.Url("hello.txt"), static_cast<std::int64_t>(Hello.size()),
                                 Collect);
            const auto InProc = [&] {
                auto Request = Engine.CreateRequest();
                Request->SetUri("local://bench/hello");
                Request->SetMethod("GET");
                auto Response = Engine.Send(*Request);
                if (Response->StatusCode() != 200 ||
                    Response->ContentAsBytes().size() != Hello.size())
                    throw std::runtime_error("in-process: small GET failed");
            };
            const auto FromNginx = [&] {
                Curl();
                if (Curl.Body() != Hello) throw std::runtime_error("curl: wrong body");
            };
            const auto R = Bench::ComparePairs(InProc, FromNginx, Opt);
            Bench::Record(Bench::RatioFigure("inproc.small-get",
                                             "in-process GET round trip / raw libcurl GET from "
                                             "nginx on 127.0.0.1, 13 bytes",
                                             R, 20),
                          Opt);
            curl_global_cleanup();
        }

        {
            std::vector<std::uint8_t> Piece(static_cast<std::size_t>(ReadPiece));
            const auto InProc = [&] {
                auto Request = Engine.CreateRequest();
                Request->SetUri("local://bench/large");
                auto Response = Engine.Send(*Request);
                Runtime::TStream& Body = Response->ContentAsStream();
                std::int64_t Total = 0;
                while (const std::int64_t N = Body.Read(Piece.data(), ReadPiece)) Total += N;
                if (Total != LargeSize) throw std::runtime_error("in-process: large body cut");
            };
            std::vector<std::uint8_t> Target(static_cast<std::size_t>(LargeSize));
            const auto Copy = [&] {
                std::memcpy(Target.data(), Large.data(), Large.size());
                // Keeps the copy from being optimised away.
                if (Target[Target.size() - 1] != 'z') throw std::runtime_error("copy failed");
            };
            const auto R = Bench::ComparePairs(InProc, Copy, Opt);
            Bench::Record(Bench::RatioFigure("inproc.large-body",
                                             "in-process 64 MiB chunked body read in 512 KiB "
                                             "pieces / memory copy of 64 MiB",
                                             R, 0.6),
                          Opt);
        }
        TInProcHttpServer::Remove("bench");
        return 0;
    } catch (const std::exception& E) {
        std::fprintf(stderr, "bench_inproc: %s\n", E.what());
        return 1;
    }
}
