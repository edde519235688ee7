#pragma once
// Nimbra.HttpServer.Module: server modules and the middleware wrapped around their request
// handling.

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Nimbra.HttpServer.Context.h"
#include "Nimbra.Logger.h"
#include "Nimbra.Uri.h"

namespace Nimbra {

class TBaseHttpServerModule;

/// A request handler.
using THttpServerProc = std::function<void(THttpServerContext&)>;
/// Wraps the next handler into a new one, which may or may not call it.
using THttpMiddlewareFunc = std::function<THttpServerProc(THttpServerProc)>;

/// A middleware: supplies the function that wraps a module's handler chain. Asked anew for
/// every request, from whichever thread serves it.
class IHttpServerMiddleware {
  public:
    virtual ~IHttpServerMiddleware() = default;
    virtual THttpMiddlewareFunc GetMiddlewareFunc() = 0;
};

/// Optionally implemented by a middleware that wants to know the module it is added to.
class IModuleAwareMiddleware {
  public:
    virtual ~IModuleAwareMiddleware() = default;
    /// The module last given to SetModule, nullptr before.
    virtual TBaseHttpServerModule* GetModule() const = 0;
    /// Called when the middleware is added to a module; the module outlives the call only
    /// as long as it keeps the middleware.
    virtual void SetModule(TBaseHttpServerModule* Module) = 0;
};

/// A middleware made from a function; also remembers the module it was added to.
class THttpServerMiddleware : public IHttpServerMiddleware, public IModuleAwareMiddleware {
  public:
    /// Next handler of a request, as seen by FromHandler functions.
    using THandler = std::function<void(THttpServerContext& Context, const THttpServerProc& Next)>;

    explicit THttpServerMiddleware(THttpMiddlewareFunc AFunc) : FFunc(std::move(AFunc)) {}

    /// A middleware from a wrapping function.
    static std::shared_ptr<THttpServerMiddleware> FromFunc(THttpMiddlewareFunc AFunc);
    /// A middleware from a function that gets the context and the next handler, and calls
    /// the latter to pass the request on.
    static std::shared_ptr<THttpServerMiddleware> FromHandler(THandler AHandler);

    THttpMiddlewareFunc GetMiddlewareFunc() override { return FFunc; }
    TBaseHttpServerModule* GetModule() const override { return FModule; }
    void SetModule(TBaseHttpServerModule* Module) override { FModule = Module; }

  private:
    THttpMiddlewareFunc FFunc;
    TBaseHttpServerModule* FModule = nullptr;
};

/// A server module: its own request handling wrapped in outer and inner middleware.
/// Middleware run outer first in order of addition, then inner in reverse order of
/// addition, then ProcessRequest. Middleware may be added from any thread while requests
/// run (a middleware may even add one while its function is asked for): each request runs
/// the middleware there were when it started.
class TBaseHttpServerModule {
  public:
    TBaseHttpServerModule() = default;
    TBaseHttpServerModule(const TBaseHttpServerModule&) = delete;
    TBaseHttpServerModule& operator=(const TBaseHttpServerModule&) = delete;
    virtual ~TBaseHttpServerModule() = default;

    /// Adds an outer middleware (nullptr raises Runtime::EAssertionFailed).
    void AddMiddleware(std::shared_ptr<IHttpServerMiddleware> AMiddleware);
    /// Adds an inner middleware (nullptr raises Runtime::EAssertionFailed).
    void AddInnerMiddleware(std::shared_ptr<IHttpServerMiddleware> AMiddleware);

    /// Runs the request through the middleware and ProcessRequest with Context published
    /// as the thread's current context, then closes the response if it is still open. An
    /// exception skips the close and passes on, after the current context is restored.
    void Execute(THttpServerContext& Context);

    std::shared_ptr<ILogEngine> LogEngine() const { return GetLogEngine(); }
    void SetLogEngine(std::shared_ptr<ILogEngine> Value) { DoSetLogEngine(std::move(Value)); }

  protected:
    virtual void DoSetLogEngine(std::shared_ptr<ILogEngine> Value) = 0;
    virtual std::shared_ptr<ILogEngine> GetLogEngine() const = 0;
    /// The module's own handling of a request.
    virtual void ProcessRequest(THttpServerContext& Context) = 0;

  private:
    struct TMiddlewareLists {
        std::vector<std::shared_ptr<IHttpServerMiddleware>> Outer;
        std::vector<std::shared_ptr<IHttpServerMiddleware>> Inner;
    };

    void AddTo(std::shared_ptr<IHttpServerMiddleware> AMiddleware, bool AInner);
    void AttachMiddleware(const std::shared_ptr<IHttpServerMiddleware>& AMiddleware);

    // Never changed in place: an addition publishes new lists under the lock, so a running
    // request keeps reading the ones it took.
    mutable std::mutex FMiddlewareLock;
    std::shared_ptr<const TMiddlewareLists> FMiddleware;
};

/// A module serving the requests under a base URI, with its own logger.
class THttpServerModule : public TBaseHttpServerModule {
  public:
    explicit THttpServerModule(const std::string& ABaseUri) : FBaseUri(ABaseUri) {}

    const TUri& BaseUri() const noexcept { return FBaseUri; }
    /// The path segments of AUri after the base URI's own segments ("/api/admin/items/7"
    /// under "/api" gives "admin", "items", "7"). Only counts: AUri is taken to lie under
    /// the base URI; a shorter one gives nothing.
    std::vector<std::string> GetRelativeSegments(const TUri& AUri) const;

  protected:
    void DoSetLogEngine(std::shared_ptr<ILogEngine> Value) override {
        FLogger.SetLogEngine(std::move(Value));
    }
    std::shared_ptr<ILogEngine> GetLogEngine() const override { return FLogger.LogEngine(); }
    const TLogger& Logger() const noexcept { return FLogger; }

  private:
    TUri FBaseUri;
    TLogger FLogger;
};

}  // namespace Nimbra
