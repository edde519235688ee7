#include "Nimbra.HttpServer.Module.h"

#include "Runtime.Exception.h"

namespace Nimbra {

std::shared_ptr<THttpServerMiddleware> THttpServerMiddleware::FromFunc(THttpMiddlewareFunc AFunc) {
    if (!AFunc) throw Runtime::EAssertionFailed("Middleware function must not be empty.");
    return std::make_shared<THttpServerMiddleware>(std::move(AFunc));
}

std::shared_ptr<THttpServerMiddleware> THttpServerMiddleware::FromHandler(THandler AHandler) {
    if (!AHandler) throw Runtime::EAssertionFailed("Middleware function must not be empty.");
    // Shared, because each chain built from the function must keep the handler alive.
    auto Shared = std::make_shared<const THandler>(std::move(AHandler));
    return FromFunc([Shared](THttpServerProc Next) -> THttpServerProc {
        return [Shared, Next = std::move(Next)](THttpServerContext& Context) {
            (*Shared)(Context, Next);
        };
    });
}

void TBaseHttpServerModule::AddMiddleware(std::shared_ptr<IHttpServerMiddleware> AMiddleware) {
    AddTo(std::move(AMiddleware), false);
}

void TBaseHttpServerModule::AddInnerMiddleware(std::shared_ptr<IHttpServerMiddleware> AMiddleware) {
    AddTo(std::move(AMiddleware), true);
}

void TBaseHttpServerModule::AddTo(std::shared_ptr<IHttpServerMiddleware> AMiddleware, bool AInner) {
    if (!AMiddleware) throw Runtime::EAssertionFailed("Middleware must not be nil.");
    {
        const std::lock_guard<std::mutex> Guard(FMiddlewareLock);
        auto Lists = FMiddleware ? std::make_shared<TMiddlewareLists>(*FMiddleware)
                                 : std::make_shared<TMiddlewareLists>();
        (AInner ? Lists->Inner : Lists->Outer).push_back(AMiddleware);
        FMiddleware = std::move(Lists);
    }
    AttachMiddleware(AMiddleware);
}

void TBaseHttpServerModule::AttachMiddleware(
    const std::shared_ptr<IHttpServerMiddleware>& AMiddleware) {
    if (auto Aware = std::dynamic_pointer_cast<IModuleAwareMiddleware>(AMiddleware))
        Aware->SetModule(this);
}

void TBaseHttpServerModule::Execute(THttpServerContext& Context) {
    THttpServerProc Handler = [this](THttpServerContext& C) { ProcessRequest(C); };
    std::shared_ptr<const TMiddlewareLists> Lists;
    {
        const std::lock_guard<std::mutex> Guard(FMiddlewareLock);
        Lists = FMiddleware;
    }
    if (Lists) {
        for (const auto& M : Lists->Inner) Handler = M->GetMiddlewareFunc()(std::move(Handler));
        for (auto It = Lists->Outer.rbegin(); It != Lists->Outer.rend(); ++It)
            Handler = (*It)->GetMiddlewareFunc()(std::move(Handler));
    }
    {
        // Put back the context of an outer exchange on this thread (an in-process call made
        // from inside a module), so that module still finds its own after the call.
        THttpServerContext* const Previous = THttpServerContext::Current();
        struct TRestore {
            THttpServerContext* Value;
            ~TRestore() { THttpServerContext::SetCurrent(Value); }
        } Restore{Previous};
        THttpServerContext::SetCurrent(&Context);
        Handler(Context);
    }
    if (!Context.Response().Closed()) Context.Response().Close();
}

std::vector<std::string> THttpServerModule::GetRelativeSegments(const TUri& AUri) const {
    const auto& All = AUri.Segments();
    const std::size_t Skip = FBaseUri.Segments().size();
    if (All.size() <= Skip) return {};
    return {All.begin() + static_cast<std::ptrdiff_t>(Skip), All.end()};
}

}  // namespace Nimbra
