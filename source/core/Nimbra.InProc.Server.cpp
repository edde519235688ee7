#include "Nimbra.InProc.Server.h"

#include <utility>

#include "Runtime.Exception.h"
#include "Runtime.Text.h"

namespace Nimbra {

// ---- TInProcHttpServer --------------------------------------------------------------------

TInProcServerManager& TInProcHttpServer::ServerManager() {
    // Made on the first call from any thread, freed at exit after everything made later.
    static TInProcServerManager Manager;
    return Manager;
}

TInProcHttpServer& TInProcHttpServer::Get(std::string_view ServerName) {
    return ServerManager().Get(ServerName);
}

TInProcHttpServer* TInProcHttpServer::Find(std::string_view ServerName) {
    return ServerManager().Find(ServerName);
}

TInProcHttpServer& TInProcHttpServer::Register(std::string_view ServerName,
                                               std::unique_ptr<TInProcHttpServer> Server) {
    return ServerManager().Register(ServerName, std::move(Server));
}

void TInProcHttpServer::Remove(std::string_view ServerName) {
    ServerManager().Remove(ServerName);
}

TInProcHttpServer& TInProcHttpServer::Default() {
    return ServerManager().Get("default");
}

// ---- TInProcServerManager -----------------------------------------------------------------

std::string TInProcServerManager::NormalizedName(std::string_view ServerName) {
    return Runtime::AsciiLowerCase(ServerName);
}

TInProcHttpServer* TInProcServerManager::Find(std::string_view ServerName) const {
    return Acquire(ServerName).get();
}

std::shared_ptr<TInProcHttpServer> TInProcServerManager::Acquire(
    std::string_view ServerName) const {
    const std::string Key = NormalizedName(ServerName);
    const std::lock_guard<std::mutex> Guard(FLock);
    auto It = FServers.find(Key);
    return It == FServers.end() ? nullptr : It->second;
}

TInProcHttpServer& TInProcServerManager::Get(std::string_view ServerName) {
    std::string Key = NormalizedName(ServerName);
    const std::lock_guard<std::mutex> Guard(FLock);
    auto It = FServers.find(Key);
    if (It == FServers.end())
        It = FServers.emplace(std::move(Key), std::make_shared<TInProcHttpServer>()).first;
    return *It->second;
}

TInProcHttpServer& TInProcServerManager::Register(std::string_view ServerName,
                                                  std::unique_ptr<TInProcHttpServer> Server) {
    if (!Server) throw Runtime::EAssertionFailed("In-process server must not be nil.");
    std::shared_ptr<TInProcHttpServer> Published = std::move(Server);
    TInProcHttpServer& Result = *Published;
    std::string Key = NormalizedName(ServerName);
    // The replaced server goes after the lock is released, as in Remove.
    std::shared_ptr<TInProcHttpServer> Replaced;
    const std::lock_guard<std::mutex> Guard(FLock);
    std::shared_ptr<TInProcHttpServer>& Slot = FServers[std::move(Key)];
    Replaced = std::exchange(Slot, std::move(Published));
    return Result;
}

void TInProcServerManager::Remove(std::string_view ServerName) {
    const std::string Key = NormalizedName(ServerName);
    // Freed after the lock is released: a module's destructor may use the registry itself.
    std::shared_ptr<TInProcHttpServer> Removed;
    {
        const std::lock_guard<std::mutex> Guard(FLock);
        auto It = FServers.find(Key);
        if (It == FServers.end()) return;
        Removed = std::move(It->second);
        FServers.erase(It);
    }
}

}  // namespace Nimbra
