#include "Nimbra.HttpServer.Dispatcher.h"

#include <cxxabi.h>

#include <algorithm>

#include "Runtime.Exception.h"
#include "Runtime.Format.h"
#include "Runtime.Text.h"

namespace Nimbra {

namespace {

// Runs one step of the error path; its own failure must not stop the steps after it.
template <typename F>
void Guarded(F&& Step) {
    try {
        Step();
    } catch (abi::__forced_unwind&) {
        throw;  // thread cancellation must keep unwinding
    } catch (...) {
    }
}

}  // namespace

THttpServerModule& THttpDispatcher::AddModule(std::unique_ptr<THttpServerModule> AModule) {
    if (!AModule) throw Runtime::EAssertionFailed("Module must not be nil.");
    THttpServerModule& Result = *AModule;
    TUri BaseUri = AModule->BaseUri().Clone();
    InternalAddModule(std::move(BaseUri), std::move(AModule));
    return Result;
}

void THttpDispatcher::InternalAddModule(TUri ABaseUri,
                                        std::unique_ptr<TBaseHttpServerModule> AModule) {
    AModule->SetLogEngine(FLogger.LogEngine());
    FModules.push_back(
        std::make_unique<THttpServerModuleInfo>(std::move(ABaseUri), std::move(AModule)));
}

void THttpDispatcher::RemoveModule(const TBaseHttpServerModule* AModule) {
    auto It = std::find_if(FModules.begin(), FModules.end(),
                           [AModule](const auto& Info) { return &Info->Module() == AModule; });
    if (It != FModules.end()) FModules.erase(It);
}

TBaseHttpServerModule* THttpDispatcher::FindModule(const TUri& Uri) const {
    const auto& Segments = Uri.Segments();
    TBaseHttpServerModule* Best = nullptr;
    std::size_t BestLength = 0;
    for (const auto& Info : FModules) {
        const auto& Base = Info->BaseUri().Segments();
        const std::size_t N = Base.size();
        if (N == 0) {
            if (!Best) Best = &Info->Module();
            continue;
        }
        if (N > Segments.size() || N <= BestLength) continue;
        if (std::equal(Base.begin(), Base.end(), Segments.begin(),
                       [](const std::string& A, const std::string& B) {
                           return Runtime::SameTextAscii(A, B);
                       })) {
            Best = &Info->Module();
            BestLength = N;
        }
    }
    return Best;
}

void THttpDispatcher::DoDispatchRequest(THttpServerContext& Context) {
    Context.Response().SetStatusCode(400);
    if (TBaseHttpServerModule* Module = FindModule(Context.Request().Uri()))
        Module->Execute(Context);
    else
        Context.Response().SetStatusCode(404);
}

void THttpDispatcher::DispatchRequest(THttpServerContext& Context) {
    try {
        Context.Response().SetStatusCode(400);
        DoDispatchRequest(Context);
        if (!Context.Response().Closed()) Context.Response().Close();
    } catch (const std::exception& E) {
        AnswerFailure(Context, E);
    }
}

void THttpDispatcher::AnswerFailure(THttpServerContext& Context, const std::exception& E) {
    std::string ClassName;
    std::string Message;
    Guarded([&] {
        ClassName = Runtime::ExceptionClassName(E);
        Message = E.what();
    });
    Guarded([&] {
        FLogger.Log(Runtime::Format("Exception on process requesting. %s: %s", ClassName, Message));
    });
    THttpServerResponse& Response = Context.Response();
    Guarded([&] {
        if (Response.HeadersSent()) return;
        Response.Headers().Clear();
        Response.SetStatusCode(500);
        Response.SetContentType("text/plain");
        Response.SetContentLength(0);
        Response.SetChunked(false);
        if (!FDetailedErrorResponse) return;
        const std::string Body =
            Runtime::Format("Exception Class: %s \r\nMessage: %s", ClassName, Message);
        Response.SetContentLength(static_cast<std::int64_t>(Body.size()));
        Response.Content().Write(Body.data(), static_cast<std::int64_t>(Body.size()));
    });
    Guarded([&] {
        if (!Response.Closed()) Response.Close();
    });
}

}  // namespace Nimbra
