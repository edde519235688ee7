#pragma once
// Nimbra.HttpServer.Context: one server exchange (request and response) with its
// per-exchange data, and the context of the module running on the calling thread.

#include <any>
#include <functional>
#include <memory>
#include <string>
#include <typeindex>
#include <unordered_map>
#include <utility>

#include "Nimbra.HttpServer.Request.h"
#include "Nimbra.HttpServer.Response.h"

namespace Nimbra {

/// Pairs a request with its response; a transport derives from it and owns both. Carries
/// named data and typed items (one per type, optionally made on first use) for the
/// exchange. Belongs to the one thread serving the exchange.
class THttpServerContext {
  public:
    THttpServerContext() = default;
    THttpServerContext(const THttpServerContext&) = delete;
    THttpServerContext& operator=(const THttpServerContext&) = delete;
    virtual ~THttpServerContext() = default;

    THttpServerRequest& Request() { return GetRequest(); }
    THttpServerResponse& Response() { return GetResponse(); }

    /// The context whose module is running on the calling thread; nullptr outside a run.
    static THttpServerContext* Current() noexcept;
    static void SetCurrent(THttpServerContext* Value) noexcept;

    /// The value stored under Key (keys compare case-sensitively); empty when absent.
    std::any GetData(const std::string& Key) const;
    void SetData(const std::string& Key, std::any Value);

    /// Stores the item of type T, replacing any earlier one.
    template <typename T>
    T& SetItem(T Value) {
        auto& Slot = FItems[std::type_index(typeid(T))];
        Slot = std::move(Value);
        return std::any_cast<T&>(Slot);
    }

    /// Registers how to make the item of type T when it is first asked for and not yet
    /// stored. A stored item wins over the factory.
    template <typename T>
    void SetLazyItem(std::function<T()> Factory) {
        FLazyItems[std::type_index(typeid(T))] = std::make_shared<const std::function<std::any()>>(
            [F = std::move(Factory)]() -> std::any { return F(); });
    }

    /// The item of type T: the stored one, else one made (and stored) by its lazy factory;
    /// nullptr when there is neither. Valid until the item is replaced or removed.
    template <typename T>
    T* Item() {
        const std::type_index Key(typeid(T));
        if (auto It = FItems.find(Key); It != FItems.end()) return std::any_cast<T>(&It->second);
        auto Lazy = FLazyItems.find(Key);
        if (Lazy == FLazyItems.end()) return nullptr;
        // The factory may replace or remove itself while it runs: it runs from a reference
        // of its own.
        const auto Factory = Lazy->second;
        auto Made = (*Factory)();
        return std::any_cast<T>(&(FItems[Key] = std::move(Made)));
    }

    template <typename T>
    bool HasItem() const {
        const std::type_index Key(typeid(T));
        return FItems.contains(Key) || FLazyItems.contains(Key);
    }

    /// Drops the stored item of type T and its lazy factory.
    template <typename T>
    void RemoveItem() {
        const std::type_index Key(typeid(T));
        FItems.erase(Key);
        FLazyItems.erase(Key);
    }

  protected:
    virtual THttpServerRequest& GetRequest() = 0;
    virtual THttpServerResponse& GetResponse() = 0;

  private:
    std::unordered_map<std::type_index, std::any> FItems;
    std::unordered_map<std::type_index, std::shared_ptr<const std::function<std::any()>>>
        FLazyItems;
    std::unordered_map<std::string, std::any> FData;
};

}  // namespace Nimbra
