#include "Tarn.Logging.h"

#include "Runtime.Exception.h"

namespace Tarn {

namespace {

std::atomic<TLogManager*> GInstance{nullptr};

// Frees the manager at program end, like the rest of the process-wide state.
struct TLogManagerFinalizer {
    ~TLogManagerFinalizer() { delete GInstance.exchange(nullptr); }
} GFinalizer;

}  // namespace

std::shared_ptr<ILogger> TWrapperLogger::Logger() const {
    const std::lock_guard<std::mutex> Guard(FLock);
    return FLogger;
}

void TWrapperLogger::SetLogger(std::shared_ptr<ILogger> Value) {
    {
        const std::lock_guard<std::mutex> Guard(FLock);
        FLogger.swap(Value);
    }
    // The replaced logger goes here, outside the lock: its destructor may log.
}

// Each write goes to the logger in place when it starts, called outside the lock.
void TWrapperLogger::Write1(const std::string& Item) {
    if (auto L = Logger()) L->Write1(Item);
}
void TWrapperLogger::Write2(const std::string& Item) {
    if (auto L = Logger()) L->Write2(Item);
}
void TWrapperLogger::Write3(const std::string& Item) {
    if (auto L = Logger()) L->Write3(Item);
}
void TWrapperLogger::Write4(const std::string& Item) {
    if (auto L = Logger()) L->Write4(Item);
}
void TWrapperLogger::Write5(const std::string& Item) {
    if (auto L = Logger()) L->Write5(Item);
}

std::shared_ptr<ILogger> TDefaultLoggerFactory::CreateLogger(const std::string&) {
    return std::make_shared<TWrapperLogger>(std::make_shared<TNullLogger>());
}

TLogManager::TLogManager() : FFactory(std::make_shared<TDefaultLoggerFactory>()) {}

TLogManager::~TLogManager() = default;

TLogManager& TLogManager::Instance() {
    TLogManager* Current = GInstance.load(std::memory_order_acquire);
    if (Current) return *Current;
    auto Created = std::make_unique<TLogManager>();
    // Losers of the race drop their own manager and use the winner's.
    if (GInstance.compare_exchange_strong(Current, Created.get(), std::memory_order_acq_rel,
                                          std::memory_order_acquire))
        return *Created.release();
    return *Current;
}

std::shared_ptr<ILoggerFactory> TLogManager::Factory() const {
    std::lock_guard Lock(FLock);
    return FFactory;
}

void TLogManager::SetFactory(std::shared_ptr<ILoggerFactory> Value) {
    if (!Value) throw Runtime::EAssertionFailed("Logger factory must not be nil.");
    std::lock_guard Lock(FLock);
    if (Value == FFactory) return;
    FFactory = std::move(Value);
    UpdateLoggers();
}

std::shared_ptr<ILogger> TLogManager::GetLogger(const std::string& AName) {
    std::lock_guard Lock(FLock);
    if (auto It = FLoggers.find(AName); It != FLoggers.end()) return It->second;
    auto Logger = FFactory->CreateLogger(AName);
    if (!Logger) throw Runtime::EAssertionFailed("Logger factory returned no logger.");
    FLoggers.emplace(AName, Logger);
    return Logger;
}

std::shared_ptr<ILogger> TLogManager::GetLogger(const std::type_info& Clazz) {
    return GetLogger(QualifiedClassName(Clazz));
}

void TLogManager::UpdateLoggers() {
    std::lock_guard Lock(FLock);
    for (const auto& [Name, Logger] : FLoggers) {
        // Loggers of other classes were not made by us to be redirected; leave them.
        if (auto* Wrapper = dynamic_cast<TWrapperLogger*>(Logger.get()))
            Wrapper->SetLogger(FFactory->CreateLogger(Name));
    }
}

std::string TLogManager::QualifiedClassName(const std::type_info& Clazz) {
    const std::string Name = Runtime::DemangledTypeName(Clazz);
    std::string Result;
    Result.reserve(Name.size());
    int Depth = 0;
    for (std::size_t i = 0; i < Name.size(); ++i) {
        const char C = Name[i];
        if (C == '<')
            ++Depth;
        else if (C == '>')
            --Depth;
        if (Depth == 0 && C == ':' && i + 1 < Name.size() && Name[i + 1] == ':') {
            Result += '.';
            ++i;
        } else {
            Result += C;
        }
    }
    return Result;
}

}  // namespace Tarn
