#pragma once
// Tarn.Logging: the process-wide manager of named loggers. Loggers are handed out as
// wrappers, so a factory installed later takes over the output of loggers fetched earlier.

#include <atomic>
#include <concepts>
#include <memory>
#include <mutex>
#include <string>
#include <type_traits>
#include <typeinfo>
#include <unordered_map>

namespace Tarn {

/// A named log sink with five write operations; callers give them whatever meaning they
/// like (for instance five severities). Implementations accept calls from any thread.
class ILogger {
  public:
    virtual ~ILogger() = default;
    virtual void Write1(const std::string& Item) = 0;
    virtual void Write2(const std::string& Item) = 0;
    virtual void Write3(const std::string& Item) = 0;
    virtual void Write4(const std::string& Item) = 0;
    virtual void Write5(const std::string& Item) = 0;
};

/// Makes the logger for a name.
class ILoggerFactory {
  public:
    virtual ~ILoggerFactory() = default;
    virtual std::shared_ptr<ILogger> CreateLogger(const std::string& Name) = 0;
};

/// A logger that discards everything.
class TNullLogger : public ILogger {
  public:
    void Write1(const std::string&) override {}
    void Write2(const std::string&) override {}
    void Write3(const std::string&) override {}
    void Write4(const std::string&) override {}
    void Write5(const std::string&) override {}
};

/// Forwards every write to an inner logger that can be swapped while other threads write;
/// with no inner logger the writes are dropped.
class TWrapperLogger : public ILogger {
  public:
    explicit TWrapperLogger(std::shared_ptr<ILogger> ALogger) : FLogger(std::move(ALogger)) {}

    std::shared_ptr<ILogger> Logger() const;
    void SetLogger(std::shared_ptr<ILogger> Value);

    void Write1(const std::string& Item) override;
    void Write2(const std::string& Item) override;
    void Write3(const std::string& Item) override;
    void Write4(const std::string& Item) override;
    void Write5(const std::string& Item) override;

  private:
    // Under the lock because the manager replaces it on a factory change while loggers are
    // in use. (The standard library's atomic shared_ptr releases its inner lock without
    // ordering on a load, which ThreadSanitizer rightly reports against a later store.)
    mutable std::mutex FLock;
    std::shared_ptr<ILogger> FLogger;
};

/// The factory in place until the application installs its own: every logger it makes is a
/// wrapper around a TNullLogger, ready to be redirected later.
class TDefaultLoggerFactory : public ILoggerFactory {
  public:
    std::shared_ptr<ILogger> CreateLogger(const std::string& Name) override;
};

/// Hands out one logger per name (names compare case-sensitively) and keeps every logger it
/// handed out, for the life of the manager. Thread-safe.
class TLogManager {
  public:
    TLogManager();
    TLogManager(const TLogManager&) = delete;
    TLogManager& operator=(const TLogManager&) = delete;
    ~TLogManager();

    /// The process-wide manager, created on first use; it lives until program end.
    static TLogManager& Instance();

    std::shared_ptr<ILoggerFactory> Factory() const;
    /// Installs a factory (nullptr raises Runtime::EAssertionFailed) and, when it differs
    /// from the current one, redirects every wrapper handed out so far to a logger of the
    /// new factory. Setting the current factory again does nothing.
    void SetFactory(std::shared_ptr<ILoggerFactory> Value);

    /// The logger cached under AName, made by the factory on the first request. A factory
    /// failure passes to the caller and caches nothing; a factory that returns no logger
    /// raises Runtime::EAssertionFailed.
    std::shared_ptr<ILogger> GetLogger(const std::string& AName);
    std::shared_ptr<ILogger> GetLogger() { return GetLogger(std::string()); }
    /// The logger of a class, named after its qualified name (see QualifiedClassName).
    std::shared_ptr<ILogger> GetLogger(const std::type_info& Clazz);

    template <typename T>
    std::shared_ptr<ILogger> GetLogger() {
        return GetLogger(typeid(T));
    }

    /// The logger of an object's actual class (the dynamic type for polymorphic classes).
    template <typename T>
    requires std::is_class_v<T> &&(!std::constructible_from<std::string, const T&>)&&(
        !std::same_as<T, std::type_info>)std::shared_ptr<ILogger> GetLogger(const T& Obj) {
        return GetLogger(typeid(Obj));
    }

    /// A class's qualified name with "." between its parts: the demangled C++ name with
    /// every "::" outside template arguments turned into "." ("Nimbra::THttpDispatcher"
    /// gives "Nimbra.THttpDispatcher"; a class outside any namespace gives its bare name).
    static std::string QualifiedClassName(const std::type_info& Clazz);

  private:
    void UpdateLoggers();

    std::shared_ptr<ILoggerFactory> FFactory;
    std::unordered_map<std::string, std::shared_ptr<ILogger>> FLoggers;
    mutable std::recursive_mutex FLock;
};

}  // namespace Tarn
