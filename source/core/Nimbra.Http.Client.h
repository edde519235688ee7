#pragma once
// Nimbra.Http.Client: what application code uses to make HTTP requests. The client picks
// the transport by the request's scheme and offers a hook before and after each exchange.

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "Nimbra.Http.Engine.h"

namespace Nimbra {

/// Called with the request just before it is sent; may change it, the URI included.
using THttpRequestProc = std::function<void(THttpRequest& Request)>;
/// Called with the request and the response it got; may replace the response (and then
/// owns the one it replaced).
using THttpResponseProc =
    std::function<void(THttpRequest& Request, std::unique_ptr<THttpResponse>& Response)>;

/// The client facade: owns a default engine for ordinary URLs and an engine for each scheme
/// it serves itself (the in-process engine for "local", Nimbra.Http.Engines). Used by one thread at
/// a time; the requests and responses it hands out belong to the caller.
class THttpClient {
  public:
    /// Asks THttpEngine::CreateDefault for the default engine; errors of that pass through.
    THttpClient();
    THttpClient(const THttpClient&) = delete;
    THttpClient& operator=(const THttpClient&) = delete;
    virtual ~THttpClient();

    /// A new request of the default engine, also for URLs that will go in process.
    std::unique_ptr<THttpRequest> CreateRequest();
    /// A GET of the URL with the request's defaults (no header, no body, 60 s time-out).
    std::unique_ptr<THttpResponse> Get(const std::string& AUri);
    /// Runs OnSendingRequest, sends through the engine the scheme chooses, then runs
    /// OnResponseReceived. The caller keeps the request and owns the response, which is
    /// never null.
    std::unique_ptr<THttpResponse> Send(THttpRequest& Request);

    /// The default engine; valid as long as the client.
    THttpEngine& Engine() noexcept { return *FEngine; }
    /// The hooks; empty when none is set. A hook may replace or clear itself (or the other
    /// one) while it runs: the running one lives until it returns.
    const THttpRequestProc& OnSendingRequest() const noexcept;
    void SetOnSendingRequest(THttpRequestProc Value);
    const THttpResponseProc& OnResponseReceived() const noexcept;
    void SetOnResponseReceived(THttpResponseProc Value);

  protected:
    /// Runs OnResponseReceived; if it raises, the response it holds is freed first, so the
    /// caller never gets one to free. When it leaves no response, Send raises
    /// EHttpEngineException, as an engine's Send does for a transport that returns none.
    virtual void DoResponseReceived(THttpRequest& Request,
                                    std::unique_ptr<THttpResponse>& Response);

  private:
    // Declared so that the default engine is freed first, then those of the schemes.
    std::vector<std::pair<std::string, std::unique_ptr<THttpEngine>>> FSchemeEngines;
    std::unique_ptr<THttpEngine> FEngine;
    // Shared, so that a running hook holds its own reference to the function it runs.
    std::shared_ptr<const THttpRequestProc> FOnSendingRequest;
    std::shared_ptr<const THttpResponseProc> FOnResponseReceived;
};

}  // namespace Nimbra
