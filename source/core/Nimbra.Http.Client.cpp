#include "Nimbra.Http.Client.h"

#include "Nimbra.Http.InProcEngine.h"

namespace Nimbra {

namespace {
constexpr const char* InProcScheme = "local";
}

THttpClient::THttpClient() : FEngine(THttpEngine::CreateDefault()) {
    FInProcEngine = std::make_unique<TInProcHttpEngine>();
}

THttpClient::~THttpClient() = default;

std::unique_ptr<THttpRequest> THttpClient::CreateRequest() { return FEngine->CreateRequest(); }

std::unique_ptr<THttpResponse> THttpClient::Get(const std::string& AUri) {
    const std::unique_ptr<THttpRequest> Request = CreateRequest();
    Request->SetUri(AUri);
    Request->SetMethod("GET");
    return Send(*Request);
}

std::unique_ptr<THttpResponse> THttpClient::Send(THttpRequest& Request) {
    if (FOnSendingRequest) FOnSendingRequest(Request);
    // The URI model keeps schemes in lower case, so "LOCAL://" goes in process too; a
    // request without a URI is the default engine's to refuse.
    const TUri* Uri = Request.AsUri();
    THttpEngine& Chosen = (Uri != nullptr && Uri->Scheme() == InProcScheme) ? *FInProcEngine
                                                                             : *FEngine;
    std::unique_ptr<THttpResponse> Response = Chosen.Send(Request);
    if (FOnResponseReceived) DoResponseReceived(Request, Response);
    return Response;
}

void THttpClient::DoResponseReceived(THttpRequest& Request,
                                     std::unique_ptr<THttpResponse>& Response) {
    try {
        FOnResponseReceived(Request, Response);
    } catch (...) {
        Response.reset();
        throw;
    }
}

}  // namespace Nimbra
