#include "Nimbra.HttpServer.Dispatcher.h"

#include <cxxabi.h>

#include <algorithm>
#include <utility>

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
    auto Info = std::make_shared<THttpServerModuleInfo>(std::move(ABaseUri), std::move(AModule));
    const std::lock_guard<std::mutex> Guard(FModulesLock);
    auto List =
        FModules ? std::make_shared<TModuleList>(*FModules) : std::make_shared<TModuleList>();
    List->push_back(std::move(Info));
    FModules = std::move(List);
}

void THttpDispatcher::RemoveModule(const TBaseHttpServerModule* AModule) {
    // Freed after the lock, unless an exchange still runs it: its destructor may call back.
    std::shared_ptr<const TModuleList> Previous;
    const std::lock_guard<std::mutex> Guard(FModulesLock);
    if (!FModules) return;
    auto It = std::find_if(FModules->begin(), FModules->end(),
                           [AModule](const auto& Info) { return &Info->Module() == AModule; });
    if (It == FModules->end()) return;
    auto List = std::make_shared<TModuleList>(*FModules);
    List->erase(List->begin() + (It - FModules->begin()));
    Previous = std::exchange(FModules, std::move(List));
}

void THttpDispatcher::ClearModules() noexcept {
    std::shared_ptr<const TModuleList> Previous;
    const std::lock_guard<std::mutex> Guard(FModulesLock);
    Previous = std::move(FModules);
}

std::shared_ptr<const THttpDispatcher::TModuleList> THttpDispatcher::Modules() const {
    const std::lock_guard<std::mutex> Guard(FModulesLock);
    return FModules;
}

std::vector<std::shared_ptr<THttpServerModuleInfo>> THttpDispatcher::ModulesInfo() const {
    const auto List = Modules();
    return List ? *List : TModuleList{};
}

TBaseHttpServerModule* THttpDispatcher::FindModule(const TUri& Uri) const {
    const auto List = Modules();
    return List ? FindModule(*List, Uri) : nullptr;
}

TBaseHttpServerModule* THttpDispatcher::FindModule(const TModuleList& List, const TUri& Uri) {
    const auto& Segments = Uri.Segments();
    TBaseHttpServerModule* Best = nullptr;
    std::size_t BestLength = 0;
    for (const auto& Info : List) {
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
    // Held to the end of the exchange, so a module removed meanwhile outlives its run.
    const auto List = Modules();
    if (TBaseHttpServerModule* Module = List ? FindModule(*List, Context.Request().Uri()) : nullptr)
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
        if (Response.Closed()) return;
        // A body already under way cannot become the 500 answer; ending it normally would
        // present the part written so far as the whole body.
        if (Response.HeadersSent())
            Response.Abort();
        else
            Response.Close();
    });
}

}  // namespace Nimbra
