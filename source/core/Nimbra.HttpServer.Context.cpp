#include "Nimbra.HttpServer.Context.h"

namespace Nimbra {

namespace {

thread_local THttpServerContext* GCurrent = nullptr;

}  // namespace

THttpServerContext* THttpServerContext::Current() noexcept {
    return GCurrent;
}

void THttpServerContext::SetCurrent(THttpServerContext* Value) noexcept {
    GCurrent = Value;
}

std::any THttpServerContext::GetData(const std::string& Key) const {
    auto It = FData.find(Key);
    return It == FData.end() ? std::any() : It->second;
}

void THttpServerContext::SetData(const std::string& Key, std::any Value) {
    FData.insert_or_assign(Key, std::move(Value));
}

}  // namespace Nimbra
