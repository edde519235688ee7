#pragma once
// Nimbra.InProc.Server: the process-wide registry of named in-process servers that serve
// "local" URLs; a server is a named dispatcher.

#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>

#include "Nimbra.HttpServer.Dispatcher.h"

namespace Nimbra {

class TInProcServerManager;

/// An in-process server: the dispatcher that serves "local://<name>/..." requests. Owned by
/// the registry; it does not know its own name.
class TInProcHttpServer {
  public:
    TInProcHttpServer() = default;
    TInProcHttpServer(const TInProcHttpServer&) = delete;
    TInProcHttpServer& operator=(const TInProcHttpServer&) = delete;
    ~TInProcHttpServer() = default;

    /// The server's dispatcher; add modules to it. Lives as long as the server.
    THttpDispatcher& Dispatcher() noexcept { return FDispatcher; }

    /// The process-wide registry, made on first use and freed, with every server in it, when
    /// the process ends.
    static TInProcServerManager& ServerManager();
    /// ServerManager().Get(ServerName).
    static TInProcHttpServer& Get(std::string_view ServerName);
    /// ServerManager().Find(ServerName).
    static TInProcHttpServer* Find(std::string_view ServerName);
    /// ServerManager().Register(ServerName, std::move(Server)).
    static TInProcHttpServer& Register(std::string_view ServerName,
                                       std::unique_ptr<TInProcHttpServer> Server);
    /// ServerManager().Remove(ServerName).
    static void Remove(std::string_view ServerName);
    /// The server named "default".
    static TInProcHttpServer& Default();

  private:
    THttpDispatcher FDispatcher;
};

/// Named servers, owned by the manager. Names are compared with A-Z folded to a-z only (so
/// "API" and "api" name one server, "ÄPI" and "äpi" two); the empty name is a name. Every
/// operation takes the registry's lock, so any thread may call them at any time.
class TInProcServerManager {
  public:
    TInProcServerManager() = default;
    TInProcServerManager(const TInProcServerManager&) = delete;
    TInProcServerManager& operator=(const TInProcServerManager&) = delete;
    ~TInProcServerManager() = default;

    /// The server registered under the name, or nullptr. Valid until it is removed.
    TInProcHttpServer* Find(std::string_view ServerName) const;
    /// The server registered under the name, registered first when there is none. Valid
    /// until it is removed. A server made here is published before it has modules, so
    /// requests that arrive meanwhile are answered 404: build a server aside and Register
    /// it where that matters.
    TInProcHttpServer& Get(std::string_view ServerName);
    /// Publishes a server built and configured beforehand under the name, in one step:
    /// requests see the server it replaces, or this one whole, never one half set up. The
    /// replaced server is freed as Remove frees it. Null raises Runtime::EAssertionFailed.
    /// Returns the server, valid until it is removed.
    TInProcHttpServer& Register(std::string_view ServerName,
                                std::unique_ptr<TInProcHttpServer> Server);
    /// Unregisters the server and frees it, at once or, when requests are being served by
    /// it, as soon as the last of them has finished. An unknown name does nothing.
    void Remove(std::string_view ServerName);

    /// Like Find, but the caller shares ownership: the server outlives a Remove for as long
    /// as the caller holds it. Used to serve a request on it.
    std::shared_ptr<TInProcHttpServer> Acquire(std::string_view ServerName) const;

  private:
    static std::string NormalizedName(std::string_view ServerName);

    mutable std::mutex FLock;
    std::unordered_map<std::string, std::shared_ptr<TInProcHttpServer>> FServers;
};

}  // namespace Nimbra
