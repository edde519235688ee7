// In-process server registry: name rules, ownership of the servers, use from several
// threads.

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "InProc.TestSupport.h"
#include "Nimbra.InProc.Server.h"

namespace {

using InProcTest::Bytes;
using InProcTest::TFuncModule;
using InProcTest::TTestServer;
using Nimbra::THttpServerContext;
using Nimbra::TInProcHttpServer;

TEST(InProcServer, NamesFoldAsciiLettersOnly) {
    TTestServer Api("Api");
    TTestServer Umlaut("\xC3\x84PI");  // "ÄPI"
    TTestServer Unnamed("");
    const struct {
        const char* Name;
        std::string Lookup;
        TInProcHttpServer* Expected;
    } Cases[] = {
        {"same name", "Api", Api.Server},
        {"upper case", "API", Api.Server},
        {"lower case", "api", Api.Server},
        {"non-ASCII capital kept, ASCII folded", "\xC3\x84pi", Umlaut.Server},
        {"non-ASCII small letter is another name", "\xC3\xA4pi", nullptr},
        {"empty name", "", Unnamed.Server},
        {"prefix is another name", "ap", nullptr},
    };
    for (const auto& C : Cases) {
        SCOPED_TRACE(C.Name);
        EXPECT_EQ(TInProcHttpServer::Find(C.Lookup), C.Expected);
        if (C.Expected) {
            EXPECT_EQ(&TInProcHttpServer::Get(C.Lookup), C.Expected);
        }
    }
}

TEST(InProcServer, DefaultIsTheServerNamedDefault) {
    TTestServer Named("DEFAULT");
    EXPECT_EQ(&TInProcHttpServer::Default(), Named.Server);
}

TEST(InProcServer, FindNeverRegisters) {
    EXPECT_EQ(TInProcHttpServer::Find("never-registered"), nullptr);
    EXPECT_EQ(TInProcHttpServer::Find("never-registered"), nullptr);
    TInProcHttpServer::Remove("never-registered");  // unknown: nothing happens
    EXPECT_EQ(TInProcHttpServer::Find("never-registered"), nullptr);
}

TEST(InProcServer, RemoveFreesTheServerAndItsModules) {
    const int Before = TFuncModule::Alive;
    {
        TTestServer Server("x");
        Server.Add("/", [](THttpServerContext&) {});
        EXPECT_EQ(TFuncModule::Alive, Before + 1);
        TInProcHttpServer::Remove("X");
        EXPECT_EQ(TFuncModule::Alive, Before) << "the module went with its server";
        EXPECT_EQ(TInProcHttpServer::Find("x"), nullptr);
        EXPECT_TRUE(TInProcHttpServer::Get("x").Dispatcher().ModulesInfo().empty())
            << "a new server, with an empty dispatcher";
    }
    EXPECT_EQ(TInProcHttpServer::Find("x"), nullptr);
}

TEST(InProcServer, ThreadsRegisteringOneNameGetOneServer) {
    constexpr int Threads = 4;
    std::promise<void> Start;
    std::shared_future<void> Go = Start.get_future().share();
    std::vector<std::future<std::vector<TInProcHttpServer*>>> Seen;
    for (int T = 0; T < Threads; ++T)
        Seen.push_back(std::async(std::launch::async, [Go, T] {
            Go.wait();
            std::vector<TInProcHttpServer*> Result;
            for (int I = 0; I < 200; ++I) {
                const std::string Name = "race-" + std::to_string(I);
                Result.push_back(
                    &TInProcHttpServer::Get(T % 2 ? Name : "RACE-" + std::to_string(I)));
                TInProcHttpServer::Find("other-" + std::to_string(I));
            }
            return Result;
        }));
    Start.set_value();
    std::vector<std::vector<TInProcHttpServer*>> All;
    for (auto& F : Seen) All.push_back(F.get());
    for (int I = 0; I < 200; ++I) {
        SCOPED_TRACE(I);
        for (int T = 1; T < Threads; ++T) EXPECT_EQ(All[T][I], All[0][I]);
        EXPECT_EQ(TInProcHttpServer::Find("race-" + std::to_string(I)), All[0][I]);
        TInProcHttpServer::Remove("race-" + std::to_string(I));
    }
}

TEST(InProcServer, RemoveWhileARequestRunsFreesTheServerAfterIt) {
    std::promise<void> Entered;
    std::promise<void> Release;
    std::shared_future<void> Released = Release.get_future().share();
    const int Before = TFuncModule::Alive;
    TInProcHttpServer::Get("busy").Dispatcher().AddModule(
        std::make_unique<TFuncModule>("/", [&](THttpServerContext& C) {
            Entered.set_value();
            Released.wait();
            C.Response().SetStatusCode(200);
            C.Response().Close(Bytes("still here"));
        }));

    auto Sent = std::async(std::launch::async, [] {
        Nimbra::TInProcHttpEngine Engine;
        auto Request = InProcTest::NewRequest(Engine, "local://busy/");
        auto Response = Engine.Send(*Request);
        return std::to_string(Response->StatusCode()) + " " + Response->ContentAsString();
    });
    Entered.get_future().wait();
    TInProcHttpServer::Remove("busy");
    EXPECT_EQ(TInProcHttpServer::Find("busy"), nullptr) << "unregistered at once";
    EXPECT_EQ(TFuncModule::Alive, Before + 1) << "but not freed under the running module";
    Release.set_value();
    EXPECT_EQ(Sent.get(), "200 still here");
    EXPECT_EQ(TFuncModule::Alive, Before) << "freed once the request was done";
}

/// Sends GETs to Url on a thread of its own until stopped; collects every answer that is not
/// a 200 whose body starts with Prefix.
class TSteadySender {
  public:
    TSteadySender(std::string AUrl, std::string APrefix)
        : FUrl(std::move(AUrl)), FPrefix(std::move(APrefix)), FThread([this] { Run(); }) {}
    ~TSteadySender() { Stop(); }
    /// Waits until at least N answers arrived.
    void WaitFor(int N) const {
        while (FAnswers.load() < N) std::this_thread::yield();
    }
    std::vector<std::string> Stop() {
        FStop.store(true);
        if (FThread.joinable()) FThread.join();
        return FWrong;
    }
    int Answers() const { return FAnswers.load(); }

  private:
    void Run() {
        Nimbra::TInProcHttpEngine Engine;
        while (!FStop.load()) {
            auto Request = InProcTest::NewRequest(Engine, FUrl);
            auto Response = Engine.Send(*Request);
            const std::string Answer =
                std::to_string(Response->StatusCode()) + " " + Response->ContentAsString();
            if (Answer.rfind("200 " + FPrefix, 0) != 0 && FWrong.size() < 10)
                FWrong.push_back(Answer);
            ++FAnswers;
        }
    }

    const std::string FUrl;
    const std::string FPrefix;
    std::atomic<bool> FStop{false};
    std::atomic<int> FAnswers{0};
    std::vector<std::string> FWrong;
    std::thread FThread;
};

TEST(InProcServer, AServerRegisteredWholeReplacesOneInUse) {
    // Built aside and published in one step: a request sees the old server or the new one
    // with its modules, never an empty one (404) or a list being filled.
    auto Build = [](int Generation) {
        auto Server = std::make_unique<TInProcHttpServer>();
        for (int I = 0; I < 4; ++I)
            Server->Dispatcher().AddModule(std::make_unique<TFuncModule>(
                "/m" + std::to_string(I), [](THttpServerContext&) {}));
        Server->Dispatcher().AddModule(
            std::make_unique<TFuncModule>("/", [Generation](THttpServerContext& C) {
                C.Response().SetStatusCode(200);
                C.Response().Close(Bytes("generation " + std::to_string(Generation)));
            }));
        return Server;
    };
    TTestServer Cleanup("swap");
    TInProcHttpServer::Register("swap", Build(0));
    TSteadySender Sender("local://swap/x", "generation ");
    Sender.WaitFor(1);
    for (int Generation = 1; Generation <= 200; ++Generation) {
        TInProcHttpServer& Server = TInProcHttpServer::Register("SWAP", Build(Generation));
        EXPECT_EQ(TInProcHttpServer::Find("swap"), &Server);
    }
    const int Seen = Sender.Answers();
    Sender.WaitFor(Seen + 1);
    EXPECT_EQ(Sender.Stop(), std::vector<std::string>{});
    EXPECT_THROW(TInProcHttpServer::Register("swap", nullptr), Runtime::EAssertionFailed);
}

TEST(InProcServer, ModulesComeAndGoOnAServerInUse) {
    TTestServer Server("growing");
    Server.Add("/", [](THttpServerContext& C) {
        C.Response().SetStatusCode(200);
        C.Response().Close(Bytes("root"));
    });
    TSteadySender Sender("local://growing/x", "root");
    Sender.WaitFor(1);
    const int Before = TFuncModule::Alive;
    for (int I = 0; I < 300; ++I) {
        auto& Added = Server.Server->Dispatcher().AddModule(std::make_unique<TFuncModule>(
            "/other" + std::to_string(I), [](THttpServerContext&) {}));
        if (I % 2 == 0) Server.Server->Dispatcher().RemoveModule(&Added);
    }
    const int Seen = Sender.Answers();
    Sender.WaitFor(Seen + 1);
    EXPECT_EQ(Sender.Stop(), std::vector<std::string>{});
    EXPECT_EQ(TFuncModule::Alive, Before + 150);
    EXPECT_EQ(Server.Server->Dispatcher().ModulesInfo().size(), 151u);
}

}  // namespace
