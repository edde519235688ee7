// nimbra-get URL...: sends a GET through Nimbra's client for each URL, then one to a server
// living in this process ("local://hello/"), and prints what each got.
// Exit codes: 0 when every answer was 200, 1 when one was not, 2 for bad usage, 3 when a
// request failed.

#include <iostream>
#include <memory>
#include <string>

#include "Nimbra.Http.Client.h"
#include "Nimbra.HttpServer.Module.h"
#include "Nimbra.InProc.Server.h"

namespace {

// The in-process server's one module: greets whoever asks.
class THelloModule : public Nimbra::THttpServerModule {
  public:
    THelloModule() : THttpServerModule("/") {}

  protected:
    void ProcessRequest(Nimbra::THttpServerContext& Context) override {
        const std::string Text = "hello from inside the process";
        Context.Response().SetStatusCode(200);
        Context.Response().SetContentType("text/plain");
        Context.Response().Close(Runtime::TBytes(Text.begin(), Text.end()));
    }
};

// Sends a GET of Url and prints the answer; true for 200.
bool Get(Nimbra::THttpClient& Client, const std::string& Url) {
    auto Response = Client.Get(Url);
    std::string Body = Response->ContentAsString();
    while (!Body.empty() && (Body.back() == '\n' || Body.back() == '\r')) Body.pop_back();
    std::cout << "GET " << Url << " -> " << Response->StatusCode() << " "
              << Response->StatusReason() << ": " << Body << "\n";
    return Response->StatusCode() == 200;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::cerr << "usage: nimbra-get URL...\n";
        return 2;
    }
    try {
        Nimbra::TInProcHttpServer::Get("hello").Dispatcher().AddModule(
            std::make_unique<THelloModule>());
        // The client sends "local" URLs to the in-process servers, the others over WinHTTP.
        Nimbra::THttpClient Client;
        bool All200 = true;
        for (int I = 1; I < argc; ++I) All200 = Get(Client, argv[I]) && All200;
        All200 = Get(Client, "local://hello/") && All200;
        return All200 ? 0 : 1;
    } catch (const std::exception& E) {
        std::cerr << "nimbra-get: " << E.what() << "\n";
        return 3;
    }
}
