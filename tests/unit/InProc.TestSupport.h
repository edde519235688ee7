#pragma once
// What the in-process tests share: servers registered for one test, modules made from a
// function, and client body streams that record how they are read.

#include <algorithm>
#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "Nimbra.Http.InProcEngine.h"
#include "Nimbra.HttpServer.Module.h"
#include "Nimbra.InProc.Server.h"

namespace InProcTest {

inline Runtime::TBytes Bytes(const std::string& S) {
    return Runtime::TBytes(S.begin(), S.end());
}
inline std::string Text(const Runtime::TBytes& B) {
    return std::string(B.begin(), B.end());
}

/// A module running a function. Counts its living instances, so tests see when it is freed;
/// the last exchange holding a replaced server frees its modules on that exchange's thread.
class TFuncModule : public Nimbra::THttpServerModule {
  public:
    using TBody = std::function<void(Nimbra::THttpServerContext&)>;
    static inline std::atomic<int> Alive{0};

    TFuncModule(const std::string& BaseUri, TBody ABody)
        : THttpServerModule(BaseUri), FBody(std::move(ABody)) {
        ++Alive;
    }
    ~TFuncModule() override { --Alive; }

  protected:
    void ProcessRequest(Nimbra::THttpServerContext& Context) override { FBody(Context); }

  private:
    TBody FBody;
};

/// A server registered under Name for the lifetime of the object.
class TTestServer {
  public:
    explicit TTestServer(std::string AName)
        : Name(std::move(AName)), Server(&Nimbra::TInProcHttpServer::Get(Name)) {}
    ~TTestServer() { Nimbra::TInProcHttpServer::Remove(Name); }
    TTestServer(const TTestServer&) = delete;
    TTestServer& operator=(const TTestServer&) = delete;

    void Add(const std::string& BaseUri, TFuncModule::TBody Body) {
        Server->Dispatcher().AddModule(std::make_unique<TFuncModule>(BaseUri, std::move(Body)));
    }

    const std::string Name;
    Nimbra::TInProcHttpServer* const Server;
};

/// A client request for Uri through Engine, with an optional method.
inline std::unique_ptr<Nimbra::THttpRequest> NewRequest(Nimbra::THttpEngine& Engine,
                                                        const std::string& Uri,
                                                        const std::string& Method = "GET") {
    auto Request = Engine.CreateRequest();
    Request->SetUri(Uri);
    Request->SetMethod(Method);
    return Request;
}

/// A client body in memory that records the count of every read and hands out at most
/// MaxPerRead bytes per read (all asked for when 0).
class TRecordingBodyStream : public Runtime::TBytesStream {
  public:
    explicit TRecordingBodyStream(Runtime::TBytes Data, std::int64_t AMaxPerRead = 0)
        : TBytesStream(std::move(Data)), MaxPerRead(AMaxPerRead) {}

    std::int64_t Read(void* Buffer, std::int64_t Count) override {
        ReadsAsked.push_back(Count);
        return TBytesStream::Read(Buffer, MaxPerRead > 0 ? std::min(Count, MaxPerRead) : Count);
    }

    std::vector<std::int64_t> ReadsAsked;
    std::int64_t MaxPerRead;
};

/// Body bytes numbered by their offset, so any piece can be checked where it belongs.
inline std::uint8_t PatternByte(std::int64_t Offset) {
    return static_cast<std::uint8_t>((Offset * 7 + Offset / 251) & 0xFF);
}
inline Runtime::TBytes PatternBytes(std::int64_t Count) {
    Runtime::TBytes Result(static_cast<std::size_t>(Count));
    for (std::int64_t I = 0; I < Count; ++I) Result[static_cast<std::size_t>(I)] = PatternByte(I);
    return Result;
}

}  // namespace InProcTest
