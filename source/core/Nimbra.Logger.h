#pragma once
// Nimbra.Logger: the log-engine holder through which the server pipeline writes its lines.

#include <memory>
#include <string>

namespace Nimbra {

/// Where a TLogger's messages go. Called from whichever thread serves a request.
class ILogEngine {
  public:
    virtual ~ILogEngine() = default;
    virtual void LogMessage(const std::string& Msg) = 0;
};

/// Holds one optional log engine; without one, messages are dropped. There are no levels:
/// Log and Debug reach the engine alike. Set the engine during set-up, before requests run.
class TLogger {
  public:
    const std::shared_ptr<ILogEngine>& LogEngine() const noexcept { return FLogEngine; }
    void SetLogEngine(std::shared_ptr<ILogEngine> Value) { FLogEngine = std::move(Value); }

    void Log(const std::string& Msg) const;
    void Debug(const std::string& Msg) const;

  private:
    std::shared_ptr<ILogEngine> FLogEngine;
};

}  // namespace Nimbra
