// Cost of serving one in-process style GET through a dispatcher: the route lookup over N
// modules, two middleware, and a 13-byte answer captured in memory. The direct call of the
// same module without a dispatcher is the baseline.

#include <benchmark/benchmark.h>

#include <memory>
#include <string>

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

// N modules at /m0 ... /m{N-1}, two middleware each; requests go to the last one, so
// every dispatch compares against all of them.
void BM_Dispatch(benchmark::State& State) {
    const int Modules = static_cast<int>(State.range(0));
    THttpDispatcher D;
    for (int i = 0; i < Modules; ++i) {
        auto M = std::make_unique<THelloModule>("local://bench/m" + std::to_string(i));
        M->AddMiddleware(PassThrough());
        M->AddInnerMiddleware(PassThrough());
        D.AddModule(std::move(M));
    }
    const std::string Uri = "local://bench/m" + std::to_string(Modules - 1) + "/items/7";
    for (auto _ : State) {
        TBenchContext C(Uri);
        D.DispatchRequest(C);
        benchmark::DoNotOptimize(C.Captured().Body.data());
        if (C.Captured().Body.size() != Answer.size() || C.Captured().StatusCode() != 200)
            State.SkipWithError("wrong answer");
    }
    State.SetItemsProcessed(State.iterations());
}
BENCHMARK(BM_Dispatch)->Arg(1)->Arg(50)->Arg(500);

// Baseline: the same context and answer without routing or middleware.
void BM_DirectModule(benchmark::State& State) {
    THelloModule M("local://bench/m0");
    for (auto _ : State) {
        TBenchContext C("local://bench/m0/items/7");
        M.Run(C);
        benchmark::DoNotOptimize(C.Captured().Body.data());
    }
    State.SetItemsProcessed(State.iterations());
}
BENCHMARK(BM_DirectModule);

}  // namespace

BENCHMARK_MAIN();
