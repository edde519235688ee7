#pragma once
// Nimbra.Http.Engines: where the framework's engines are put together. The engine contract
// asks it for the platform's built-in engine (THttpEngine::CreateDefault), the client for
// the engines of the schemes it serves itself; only this unit knows the concrete engines.

#include <memory>
#include <span>
#include <string_view>

#include "Nimbra.Http.Engine.h"

namespace Nimbra {

/// Makes a new engine, owned by the caller.
using THttpEngineMaker = std::unique_ptr<THttpEngine> (*)();

/// The maker of the platform's built-in engine (the WinHTTP engine on Windows and Linux);
/// null on a platform that has none.
THttpEngineMaker BuiltInEngineMaker() noexcept;

/// A scheme a client sends through an engine of its own instead of its default engine.
struct THttpSchemeEngine {
    std::string_view Scheme;  // lower case, as the URI model keeps schemes
    THttpEngineMaker Maker;
};

/// The schemes with an engine of their own: "local", the in-process engine.
std::span<const THttpSchemeEngine> SchemeEngines() noexcept;

}  // namespace Nimbra
