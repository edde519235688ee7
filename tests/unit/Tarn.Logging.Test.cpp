// Named loggers, factory replacement and the framework's log-engine holder.

#include <gtest/gtest.h>

#include <atomic>
#include <barrier>
#include <mutex>
#include <thread>
#include <vector>

#include "Nimbra.HttpServer.Dispatcher.h"
#include "Nimbra.Logger.h"
#include "Tarn.Logging.h"

namespace {

using Tarn::ILogger;
using Tarn::ILoggerFactory;
using Tarn::TLogManager;
using Tarn::TWrapperLogger;

struct TRecord {
    std::string Logger;
    int Op;
    std::string Item;
};

/// Loggers that append every call to a shared journal.
class TRecordingFactory : public ILoggerFactory {
  public:
    class TRecordingLogger : public ILogger {
      public:
        TRecordingLogger(TRecordingFactory& AOwner, std::string AName)
            : FOwner(AOwner), FName(std::move(AName)) {}
        void Write1(const std::string& I) override { FOwner.Add(FName, 1, I); }
        void Write2(const std::string& I) override { FOwner.Add(FName, 2, I); }
        void Write3(const std::string& I) override { FOwner.Add(FName, 3, I); }
        void Write4(const std::string& I) override { FOwner.Add(FName, 4, I); }
        void Write5(const std::string& I) override { FOwner.Add(FName, 5, I); }

      private:
        TRecordingFactory& FOwner;
        std::string FName;
    };

    std::shared_ptr<ILogger> CreateLogger(const std::string& Name) override {
        ++Created;
        if (FailNext.exchange(false)) throw std::runtime_error("factory down");
        return std::make_shared<TRecordingLogger>(*this, Name);
    }
    void Add(const std::string& Name, int Op, const std::string& Item) {
        std::lock_guard Lock(FLock);
        Journal.push_back({Name, Op, Item});
    }
    std::vector<TRecord> Snapshot() {
        std::lock_guard Lock(FLock);
        return Journal;
    }

    std::atomic<int> Created{0};
    std::atomic<bool> FailNext{false};

  private:
    std::mutex FLock;
    std::vector<TRecord> Journal;
};

class TBaseThing {
  public:
    virtual ~TBaseThing() = default;
};
class TDerivedThing : public TBaseThing {};

TEST(LogManager, SameNameSameLoggerAndNamesAreCaseSensitive) {
    TLogManager M;
    auto A = M.GetLogger("Alpha");
    EXPECT_EQ(A, M.GetLogger("Alpha"));
    EXPECT_NE(A, M.GetLogger("alpha"));
    EXPECT_EQ(M.GetLogger(), M.GetLogger(""));
    EXPECT_NE(M.GetLogger(), A);
}

TEST(LogManager, DefaultLoggersAreWrappersAroundNullLoggers) {
    TLogManager M;
    auto L = M.GetLogger("quiet");
    auto* Wrapper = dynamic_cast<TWrapperLogger*>(L.get());
    ASSERT_NE(Wrapper, nullptr);
    EXPECT_NE(dynamic_cast<Tarn::TNullLogger*>(Wrapper->Logger().get()), nullptr);
    L->Write1("x");
    L->Write2("x");
    L->Write3("x");
    L->Write4("x");
    L->Write5("x");
    // A wrapper without an inner logger drops writes instead of failing.
    Wrapper->SetLogger(nullptr);
    L->Write1("dropped");
}

TEST(LogManager, NewFactoryTakesOverLoggersFetchedEarlier) {
    TLogManager M;
    auto A = M.GetLogger("a");
    auto F = std::make_shared<TRecordingFactory>();
    M.SetFactory(F);
    EXPECT_EQ(M.Factory(), F);
    EXPECT_EQ(F->Created, 1);  // one logger ("a") redirected

    A->Write1("one");
    A->Write5("five");
    auto B = M.GetLogger("b");
    EXPECT_EQ(dynamic_cast<TWrapperLogger*>(B.get()), nullptr) << "b comes from F directly";
    B->Write3("three");

    auto J = F->Snapshot();
    ASSERT_EQ(J.size(), 3u);
    EXPECT_EQ(J[0].Logger, "a");
    EXPECT_EQ(J[0].Op, 1);
    EXPECT_EQ(J[0].Item, "one");
    EXPECT_EQ(J[1].Op, 5);
    EXPECT_EQ(J[2].Logger, "b");
    EXPECT_EQ(J[2].Op, 3);
    EXPECT_EQ(M.GetLogger("a"), A) << "the cache keeps the same wrapper";
}

TEST(LogManager, SettingTheSameFactoryAgainDoesNothing) {
    TLogManager M;
    M.GetLogger("a");
    M.GetLogger("b");
    auto F = std::make_shared<TRecordingFactory>();
    M.SetFactory(F);
    EXPECT_EQ(F->Created, 2);
    M.SetFactory(F);
    EXPECT_EQ(F->Created, 2);
}

TEST(LogManager, OnlyWrappersAreRedirected) {
    TLogManager M;
    auto F1 = std::make_shared<TRecordingFactory>();
    M.SetFactory(F1);
    auto Direct = M.GetLogger("direct");  // F1's own logger, not a wrapper
    auto F2 = std::make_shared<TRecordingFactory>();
    M.SetFactory(F2);
    EXPECT_EQ(F2->Created, 0);
    Direct->Write2("still F1");
    EXPECT_EQ(F1->Snapshot().size(), 1u);
    EXPECT_EQ(M.GetLogger("direct"), Direct);
}

TEST(LogManager, NilFactoryIsRejected) {
    TLogManager M;
    auto Before = M.Factory();
    EXPECT_THROW(M.SetFactory(nullptr), Runtime::EAssertionFailed);
    EXPECT_EQ(M.Factory(), Before);
}

TEST(LogManager, FactoryFailurePassesOnCachesNothingAndReleasesTheLock) {
    TLogManager M;
    auto F = std::make_shared<TRecordingFactory>();
    M.SetFactory(F);
    F->FailNext = true;
    EXPECT_THROW(M.GetLogger("x"), std::runtime_error);
    // Another thread must be able to take the lock now.
    std::shared_ptr<ILogger> FromThread;
    std::thread T([&] { FromThread = M.GetLogger("x"); });
    T.join();
    ASSERT_NE(FromThread, nullptr);
    EXPECT_EQ(F->Created, 2);
    EXPECT_EQ(M.GetLogger("x"), FromThread);
}

TEST(LogManager, LoggerOfAnObjectIsTheLoggerOfItsActualClass) {
    TLogManager M;
    TDerivedThing Thing;
    const TBaseThing& AsBase = Thing;
    EXPECT_EQ(M.GetLogger(AsBase), M.GetLogger<TDerivedThing>());
    EXPECT_EQ(M.GetLogger(Thing), M.GetLogger(typeid(TDerivedThing)));
    EXPECT_NE(M.GetLogger<TBaseThing>(), M.GetLogger<TDerivedThing>());
    Nimbra::THttpDispatcher D;
    EXPECT_EQ(M.GetLogger(D), M.GetLogger("Nimbra.THttpDispatcher"));
}

TEST(LogManager, QualifiedClassNames) {
    EXPECT_EQ(TLogManager::QualifiedClassName(typeid(Nimbra::THttpDispatcher)),
              "Nimbra.THttpDispatcher");
    EXPECT_EQ(TLogManager::QualifiedClassName(typeid(Tarn::TWrapperLogger)), "Tarn.TWrapperLogger");
    EXPECT_EQ(TLogManager::QualifiedClassName(typeid(std::vector<Tarn::TNullLogger>)),
              "std.vector<Tarn::TNullLogger, std::allocator<Tarn::TNullLogger> >");
}

TEST(LogManager, InstanceIsOneObjectForAllThreads) {
    constexpr int Threads = 8;
    std::barrier Start(Threads);
    std::vector<TLogManager*> Seen(Threads);
    std::vector<std::shared_ptr<ILogger>> Loggers(Threads);
    std::vector<std::thread> Pool;
    for (int i = 0; i < Threads; ++i)
        Pool.emplace_back([&, i] {
            Start.arrive_and_wait();
            Seen[i] = &TLogManager::Instance();
            Loggers[i] = TLogManager::Instance().GetLogger("shared.by.threads");
        });
    for (auto& T : Pool) T.join();
    for (int i = 1; i < Threads; ++i) {
        EXPECT_EQ(Seen[i], Seen[0]);
        EXPECT_EQ(Loggers[i], Loggers[0]);
    }
    EXPECT_EQ(&TLogManager::Instance(), Seen[0]);
}

TEST(LogManager, ReplacingTheFactoryWhileOtherThreadsWriteLosesNoWrite) {
    TLogManager M;
    std::vector<std::shared_ptr<TRecordingFactory>> Factories;
    for (int i = 0; i < 20; ++i) Factories.push_back(std::make_shared<TRecordingFactory>());
    std::vector<std::shared_ptr<ILogger>> Loggers;
    for (int i = 0; i < 4; ++i) Loggers.push_back(M.GetLogger("w" + std::to_string(i)));
    M.SetFactory(Factories[0]);

    constexpr int Writes = 2000;
    std::atomic<bool> Go{false};
    std::vector<std::thread> Writers;
    for (auto& L : Loggers)
        Writers.emplace_back([&Go, L] {
            while (!Go) std::this_thread::yield();
            for (int n = 0; n < Writes; ++n) L->Write1("x");
        });
    Go = true;
    for (std::size_t i = 1; i < Factories.size(); ++i) {
        M.SetFactory(Factories[i]);
        M.GetLogger("new" + std::to_string(i));
    }
    for (auto& T : Writers) T.join();
    // Every write landed in exactly one factory's logger.
    std::size_t Recorded = 0;
    for (auto& F : Factories) Recorded += F->Snapshot().size();
    EXPECT_EQ(Recorded, static_cast<std::size_t>(4 * Writes));
    for (auto& L : Loggers) L->Write4("after");
    std::size_t After = 0;
    for (const auto& R : Factories.back()->Snapshot()) After += R.Item == "after" ? 1 : 0;
    EXPECT_EQ(After, 4u);
}

class TRecordingEngine : public Nimbra::ILogEngine {
  public:
    std::vector<std::string> Messages;
    void LogMessage(const std::string& Msg) override { Messages.push_back(Msg); }
};

TEST(Logger, LogAndDebugReachTheEngineAlikeAndNothingWithoutOne) {
    Nimbra::TLogger L;
    L.Log("lost");
    L.Debug("lost");
    auto E = std::make_shared<TRecordingEngine>();
    L.SetLogEngine(E);
    L.Log("plain \xC3\xBC");
    L.Debug("plain \xC3\xBC");
    EXPECT_EQ(E->Messages, (std::vector<std::string>{"plain \xC3\xBC", "plain \xC3\xBC"}));
    L.SetLogEngine(nullptr);
    L.Log("silenced");
    EXPECT_EQ(E->Messages.size(), 2u);
}

}  // namespace
