// Cost of serving one in-process style GET through a dispatcher: the route lookup over N
// modules, two middleware, and a 13-byte answer captured in memory. The direct call of the
// same module without a dispatcher is the baseline, in paired rounds (Bench.Pairs.h).

#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>

#include "Bench.Pairs.h"
#include "Nimbra.HttpServer.Dispatcher.h"

namespace {

using namespace Nimbra;

const Runtime::TBytes Answer = [] {
    const std::string S = "Hello, world!";
    return Runtime::TBytes(S.begin(), S.end());
}();

class TCaptureResponse : public THttpServerResponse {
  public:
    Runtime::TBytes Body;

  protected:
    void DoClose() override {}
    void DoWriteHeaders() override {}
    std::int64_t DoWrite(const void* Buffer, std::int64_t Count) override {
        const auto* P = static_cast<const std::uint8_t*>(Buffer);
        Body.insert(Body.end(), P, P + Count);
        return Count;
    }
};

class TBenchContext : public THttpServerContext {
  public:
    explicit TBenchContext(const std::string& RawUri) {
        FRequest.SetMethod("GET");
        FRequest.SetRawUri(RawUri);
    }
    TCaptureResponse& Captured() { return FResponse; }

  protected:
    THttpServerRequest& GetRequest() override { return FRequest; }
    THttpServerResponse& GetResponse() override { return FResponse; }

  private:
    THttpServerRequest FRequest;
    TCaptureResponse FResponse;
};

class THelloModule : public THttpServerModule {
  public:
    using THttpServerModule::THttpServerModule;
    void Run(THttpServerContext& C) { ProcessRequest(C); }

  protected:
    void ProcessRequest(THttpServerContext& Context) override {
        Context.Response().SetStatusCode(200);
        Context.Response().SetContentType("text/plain");
        Context.Response().Close(Answer);
    }
};

std::shared_ptr<IHttpServerMiddleware> PassThrough() {
    return THttpServerMiddleware::FromHandler(
        [](THttpServerContext& C, const THttpServerProc& Next) { Next(C); });
}

// A dispatcher with N modules at /m0 ... /m{N-1}, two middleware each.
std::unique_ptr<THttpDispatcher> Dispatcher(int Modules) {
    auto D = std::make_unique<THttpDispatcher>();
    for (int i = 0; i < Modules; ++i) {
        auto M = std::make_unique<THelloModule>("local://bench/m" + std::to_string(i));
        M->AddMiddleware(PassThrough());
        M->AddInnerMiddleware(PassThrough());
        D->AddModule(std::move(M));
    }
    return D;
}

void Check(TBenchContext& C) {
    Bench::Keep(C.Captured().Body);
    if (C.Captured().Body.size() != Answer.size() || C.Captured().StatusCode() != 200)
        throw std::runtime_error("wrong answer");
}

}  // namespace

int main(int argc, char** argv) {
    try {
        const Bench::TOptions Opt = Bench::ParseOptions(argc, argv);
        if (argc > 1) throw std::invalid_argument(std::string("unknown argument ") + argv[1]);
        // Baseline: the same context and answer without routing or middleware.
        THelloModule Direct("local://bench/m0");
        const Bench::TWork DirectCall = [&] {
            TBenchContext C("local://bench/m0/items/7");
            Direct.Run(C);
            Check(C);
        };
        for (const int Modules : {1, 50, 500}) {
            // Requests go to the last module, so every dispatch compares against all of them.
            const auto D = Dispatcher(Modules);
            const std::string Uri = "local://bench/m" + std::to_string(Modules - 1) + "/items/7";
            const auto R = Bench::ComparePairs(
                [&] {
                    TBenchContext C(Uri);
                    D->DispatchRequest(C);
                    Check(C);
                },
                DirectCall, Opt);
            Bench::Record(Bench::RatioFigure("server.dispatch-" + std::to_string(Modules),
                                             "dispatcher over " + std::to_string(Modules) +
                                                 (Modules == 1 ? " module" : " modules") +
                                                 ", two middleware each / direct call",
                                             R, std::nullopt),
                          Opt);
        }
        return 0;
    } catch (const std::exception& E) {
        std::fprintf(stderr, "bench_server: %s\n", E.what());
        return 1;
    }
}
