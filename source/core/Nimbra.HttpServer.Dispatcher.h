#pragma once
// Nimbra.HttpServer.Dispatcher: a server: routes each exchange to the module with the
// longest matching base path and turns failures into logged 500 responses.

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

#include "Nimbra.HttpServer.Module.h"
#include "Nimbra.Logger.h"
#include "Nimbra.Uri.h"

namespace Nimbra {

/// One registered module with its own copy of the base URI; owns both.
class THttpServerModuleInfo {
  public:
    THttpServerModuleInfo(TUri ABaseUri, std::unique_ptr<TBaseHttpServerModule> AModule)
        : FModule(std::move(AModule)), FBaseUri(std::move(ABaseUri)) {}

    TBaseHttpServerModule& Module() const noexcept { return *FModule; }
    const TUri& BaseUri() const noexcept { return FBaseUri; }

  private:
    std::unique_ptr<TBaseHttpServerModule> FModule;
    TUri FBaseUri;
};

/// Holds the modules of a server and dispatches exchanges to them, synchronously on the
/// calling thread. Modules may be added and removed from any thread while requests run: each
/// exchange routes over the list as it was when the exchange started, and a module removed
/// meanwhile is freed once the exchanges running it have finished.
class THttpDispatcher {
  public:
    THttpDispatcher() = default;
    THttpDispatcher(const THttpDispatcher&) = delete;
    THttpDispatcher& operator=(const THttpDispatcher&) = delete;
    virtual ~THttpDispatcher() = default;

    /// Takes ownership of the module (nullptr raises Runtime::EAssertionFailed) and gives it
    /// the dispatcher's current log engine; returns the module, valid until it is removed.
    /// Modules sharing a base path are allowed: the first registered wins.
    THttpServerModule& AddModule(std::unique_ptr<THttpServerModule> AModule);
    /// Removes and frees the first registration of AModule; unknown modules are ignored.
    void RemoveModule(const TBaseHttpServerModule* AModule);
    void ClearModules() noexcept;
    /// The registrations in order, as they stand now; the entries stay valid while held.
    std::vector<std::shared_ptr<THttpServerModuleInfo>> ModulesInfo() const;

    /// Modules added later get this engine; those already added keep theirs.
    const std::shared_ptr<ILogEngine>& LogEngine() const noexcept { return FLogger.LogEngine(); }
    void SetLogEngine(std::shared_ptr<ILogEngine> Value) { FLogger.SetLogEngine(std::move(Value)); }

    /// Whether a 500 response names the exception's class and message (the default) or
    /// carries an empty body; switch it off where internals must not reach clients.
    bool DetailedErrorResponse() const noexcept { return FDetailedErrorResponse; }
    void SetDetailedErrorResponse(bool Value) noexcept { FDetailedErrorResponse = Value; }

    /// Serves one exchange and leaves its response closed. A std::exception from the module
    /// is logged and, while the headers are not sent, answered with 500; once they are sent,
    /// the response is aborted (its body cut, never completed). Anything else passes to the
    /// caller.
    void DispatchRequest(THttpServerContext& Context);

  protected:
    /// The routing step: status 400, then the matching module's Execute, else status 404.
    virtual void DoDispatchRequest(THttpServerContext& Context);
    /// The module whose base path is the longest whole-segment prefix of the URI's path
    /// (ASCII case ignored, first registered among equals), else the first root module.
    /// Valid until it is removed.
    TBaseHttpServerModule* FindModule(const TUri& Uri) const;

  private:
    using TModuleList = std::vector<std::shared_ptr<THttpServerModuleInfo>>;

    /// The current list; an exchange holds it, and with it its modules, while it runs.
    std::shared_ptr<const TModuleList> Modules() const;
    static TBaseHttpServerModule* FindModule(const TModuleList& List, const TUri& Uri);
    void InternalAddModule(TUri ABaseUri, std::unique_ptr<TBaseHttpServerModule> AModule);
    void AnswerFailure(THttpServerContext& Context, const std::exception& E);

    // Never changed in place: a change publishes a new list under the lock, so a running
    // exchange keeps reading the one it took.
    mutable std::mutex FModulesLock;
    std::shared_ptr<const TModuleList> FModules;
    std::atomic<bool> FDetailedErrorResponse{true};
    TLogger FLogger;
};

}  // namespace Nimbra
