#include "Nimbra.Http.Client.h"

#include "Nimbra.Http.Engines.h"

namespace Nimbra {

THttpClient::THttpClient() : FEngine(THttpEngine::CreateDefault()) {
    for (const THttpSchemeEngine& S : SchemeEngines())
        FSchemeEngines.emplace_back(std::string(S.Scheme), S.Maker());
}

THttpClient::~THttpClient() = default;

std::unique_ptr<THttpRequest> THttpClient::CreateRequest() {
    return FEngine->CreateRequest();
}

std::unique_ptr<THttpResponse> THttpClient::Get(const std::string& AUri) {
    const std::unique_ptr<THttpRequest> Request = CreateRequest();
    Request->SetUri(AUri);
    Request->SetMethod("GET");
    return Send(*Request);
}

const THttpRequestProc& THttpClient::OnSendingRequest() const noexcept {
    static const THttpRequestProc None;
    return FOnSendingRequest ? *FOnSendingRequest : None;
}

void THttpClient::SetOnSendingRequest(THttpRequestProc Value) {
    FOnSendingRequest =
        Value ? std::make_shared<const THttpRequestProc>(std::move(Value)) : nullptr;
}

const THttpResponseProc& THttpClient::OnResponseReceived() const noexcept {
    static const THttpResponseProc None;
    return FOnResponseReceived ? *FOnResponseReceived : None;
}

void THttpClient::SetOnResponseReceived(THttpResponseProc Value) {
    FOnResponseReceived =
        Value ? std::make_shared<const THttpResponseProc>(std::move(Value)) : nullptr;
}

std::unique_ptr<THttpResponse> THttpClient::Send(THttpRequest& Request) {
    if (const auto Hook = FOnSendingRequest) (*Hook)(Request);
    // The URI model keeps schemes in lower case, so "LOCAL://" goes in process too; a
    // request without a URI is the default engine's to refuse.
    const TUri* Uri = Request.AsUri();
    THttpEngine* Chosen = FEngine.get();
    if (Uri != nullptr)
        for (const auto& [Scheme, Engine] : FSchemeEngines)
            if (Uri->Scheme() == Scheme) Chosen = Engine.get();
    std::unique_ptr<THttpResponse> Response = Chosen->Send(Request);
    if (FOnResponseReceived) {
        DoResponseReceived(Request, Response);
        // Send never returns null, just as an engine's Send does not, whatever a hook did.
        if (!Response) throw EHttpEngineException("The response hook left no response");
    }
    return Response;
}

void THttpClient::DoResponseReceived(THttpRequest& Request,
                                     std::unique_ptr<THttpResponse>& Response) {
    const auto Hook = FOnResponseReceived;
    if (!Hook) return;
    try {
        (*Hook)(Request, Response);
    } catch (...) {
        Response.reset();
        throw;
    }
}

}  // namespace Nimbra
