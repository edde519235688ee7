#pragma once
// Nimbra.HttpServer.Dispatcher: a server: routes each exchange to the module with the
// longest matching base path and turns failures into logged 500 responses.

#include <memory>
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
/// calling thread. The module list is not locked: change it only while no request runs.
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
    void ClearModules() noexcept { FModules.clear(); }
    /// The registrations in order.
    const std::vector<std::unique_ptr<THttpServerModuleInfo>>& ModulesInfo() const noexcept {
        return FModules;
    }

    /// Modules added later get this engine; those already added keep theirs.
    const std::shared_ptr<ILogEngine>& LogEngine() const noexcept { return FLogger.LogEngine(); }
    void SetLogEngine(std::shared_ptr<ILogEngine> Value) { FLogger.SetLogEngine(std::move(Value)); }

    /// Whether a 500 response names the exception's class and message (the default) or
    /// carries an empty body; switch it off where internals must not reach clients.
    bool DetailedErrorResponse() const noexcept { return FDetailedErrorResponse; }
    void SetDetailedErrorResponse(bool Value) noexcept { FDetailedErrorResponse = Value; }

    /// Serves one exchange and leaves its response closed. A std::exception from the module
    /// is logged and, while the headers are not sent, answered with 500; anything else
    /// passes to the caller.
    void DispatchRequest(THttpServerContext& Context);

  protected:
    /// The routing step: status 400, then the matching module's Execute, else status 404.
    virtual void DoDispatchRequest(THttpServerContext& Context);
    /// The module whose base path is the longest whole-segment prefix of the URI's path
    /// (ASCII case ignored, first registered among equals), else the first root module.
    TBaseHttpServerModule* FindModule(const TUri& Uri) const;

  private:
    void InternalAddModule(TUri ABaseUri, std::unique_ptr<TBaseHttpServerModule> AModule);
    void AnswerFailure(THttpServerContext& Context, const std::exception& E);

    std::vector<std::unique_ptr<THttpServerModuleInfo>> FModules;
    bool FDetailedErrorResponse = true;
    TLogger FLogger;
};

}  // namespace Nimbra
