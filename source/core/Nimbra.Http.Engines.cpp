#include "Nimbra.Http.Engines.h"

#include "Nimbra.Http.InProcEngine.h"
#include "Nimbra.WinHttp.Engine.h"

namespace Nimbra {

namespace {

template <typename TEngine>
std::unique_ptr<THttpEngine> Make() {
    return std::make_unique<TEngine>();
}

const THttpSchemeEngine Schemes[] = {
    {"local", &Make<TInProcHttpEngine>},
};

}  // namespace

THttpEngineMaker BuiltInEngineMaker() noexcept {
#if defined(_WIN32) || defined(__linux__)
    return &Make<TWinHttpEngine>;
#else
    return nullptr;
#endif
}

std::span<const THttpSchemeEngine> SchemeEngines() noexcept {
    return Schemes;
}

}  // namespace Nimbra
