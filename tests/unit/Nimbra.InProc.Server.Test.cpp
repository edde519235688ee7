// In-process server registry: name rules, ownership of the servers, use from several
// threads.

#include <gtest/gtest.h>

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

}  // namespace
