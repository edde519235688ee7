// The client facade: which engine a request goes to, and the hooks around each exchange. The
// default engine is a scripted one, put in place through the engine factory.

#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>

#include "Engine.TestTransport.h"
#include "Nimbra.Http.Client.h"
#include "Nimbra.Http.InProcEngine.h"
#include "Nimbra.HttpServer.Context.h"
#include "Nimbra.HttpServer.Dispatcher.h"
#include "Nimbra.InProc.Server.h"
#include "Nimbra.WinHttp.Engine.h"

namespace {

using EngineTest::TScriptedEngine;
using Nimbra::THttpClient;
using Nimbra::THttpRequest;
using Nimbra::THttpResponse;

/// Hands out one scripted engine, which the test keeps looking at after the client took it.
class TScriptedFactory : public Nimbra::IHttpEngineFactory {
  public:
    TScriptedEngine* Made = nullptr;
    std::unique_ptr<Nimbra::THttpEngine> CreateEngine() override {
        auto Engine = std::make_unique<TScriptedEngine>();
        Made = Engine.get();
        return Engine;
    }
};

/// An in-process module answering 200 with the path it was asked for.
class TPathModule : public Nimbra::THttpServerModule {
  public:
    TPathModule() : THttpServerModule("/") {}

  protected:
    void ProcessRequest(Nimbra::THttpServerContext& Context) override {
        const std::string Path = Context.Request().Uri().Path();
        Context.Response().SetStatusCode(200);
        Context.Response().Close(Runtime::TBytes(Path.begin(), Path.end()));
    }
};

class HttpClientFacade : public testing::Test {
  protected:
    void SetUp() override {
        Factory = std::make_shared<TScriptedFactory>();
        Nimbra::SetGlobalEngineFactory(Factory);
        Nimbra::TInProcHttpServer::Get("api").Dispatcher().AddModule(
            std::make_unique<TPathModule>());
        Client = std::make_unique<THttpClient>();
        ASSERT_NE(Factory->Made, nullptr);
        ASSERT_EQ(&Client->Engine(), Factory->Made);
    }
    void TearDown() override {
        Client.reset();
        Nimbra::TInProcHttpServer::Remove("api");
        Nimbra::SetGlobalEngineFactory(nullptr);
    }
    TScriptedEngine& Default() { return *Factory->Made; }

    std::shared_ptr<TScriptedFactory> Factory;
    std::unique_ptr<THttpClient> Client;
};

TEST(HttpClientDefaults, WithoutAFactoryTheDefaultEngineIsTheWinHttpEngine) {
    THttpClient Client;
    EXPECT_NE(dynamic_cast<Nimbra::TWinHttpEngine*>(&Client.Engine()), nullptr);
    THttpClient Other;
    EXPECT_NE(&Other.Engine(), &Client.Engine());
}

TEST_F(HttpClientFacade, TheParsedSchemeChoosesTheEngine) {
    struct TCase {
        const char* Name;
        const char* Uri;
        bool InProc;
    };
    const TCase Cases[] = {
        {"local", "local://api/items", true},
        {"LOCAL in capitals", "LOCAL://API/items", true},
        {"http", "http://api/items", false},
        {"https", "https://api/items", false},
        {"another scheme", "ftp://api/items", false},
        {"no scheme", "api/items", false},
        {"local as a host, not a scheme", "http://local/items", false},
    };
    for (const TCase& C : Cases) {
        SCOPED_TRACE(C.Name);
        const int SendsBefore = Default().SendCalls;
        const std::unique_ptr<THttpResponse> Response = Client->Get(C.Uri);
        ASSERT_NE(Response, nullptr);
        EXPECT_EQ(Response->StatusCode(), 200);
        EXPECT_EQ(Default().SendCalls - SendsBefore, C.InProc ? 0 : 1);
        if (C.InProc) {
            const Runtime::TBytes& Body = Response->ContentAsBytes();
            EXPECT_EQ(std::string(Body.begin(), Body.end()), "/items");
        }
    }
}

TEST_F(HttpClientFacade, GetSendsAGetWithTheRequestDefaults) {
    Default().OnSend = [](THttpRequest& Request) {
        EXPECT_EQ(Request.Method(), "GET");
        EXPECT_EQ(Request.Uri(), "http://h/x?q=1#f");
        EXPECT_EQ(Request.Timeout(), 60000);
        EXPECT_EQ(Request.ContentStream(), nullptr);
        EXPECT_EQ(Request.Headers().Count(), 0);
    };
    EXPECT_EQ(Client->Get("http://h/x?q=1#f")->StatusCode(), 200);
    EXPECT_EQ(Default().SendCalls, 1);
}

TEST_F(HttpClientFacade, AnUnknownInProcServerIsTheInProcEnginesError) {
    try {
        Client->Get("local://nobody/x");
        FAIL() << "no exception";
    } catch (const Nimbra::EInProcServerNotFoundException& E) {
        EXPECT_STREQ(E.what(), "In-process server \"nobody\" not found");
    }
    EXPECT_EQ(Default().SendCalls, 0);
}

TEST_F(HttpClientFacade, ARequestWithoutUriIsTheEnginesError) {
    const std::unique_ptr<THttpRequest> Request = Client->CreateRequest();
    try {
        Client->Send(*Request);
        FAIL() << "no exception";
    } catch (const Nimbra::EHttpEngineException& E) {
        EXPECT_STREQ(E.what(), "HttpEngine Error.\r\nUri invalid or not specified");
    }
    EXPECT_EQ(Default().SendCalls, 0);
}

TEST_F(HttpClientFacade, OnSendingRequestRunsFirstAndCanSendTheRequestInProcess) {
    int Calls = 0;
    Client->SetOnSendingRequest([&](THttpRequest& Request) {
        ++Calls;
        EXPECT_EQ(Default().SendCalls, 0);  // before any transport work
        Request.SetUri("local://api/moved");
    });
    const std::unique_ptr<THttpResponse> Response = Client->Get("https://api.example/orig");
    EXPECT_EQ(Calls, 1);
    EXPECT_EQ(Default().SendCalls, 0);
    const Runtime::TBytes& Body = Response->ContentAsBytes();
    EXPECT_EQ(std::string(Body.begin(), Body.end()), "/moved");
}

TEST_F(HttpClientFacade, ARaisingOnSendingRequestSendsNothing) {
    Client->SetOnSendingRequest([](THttpRequest&) { throw std::runtime_error("not now"); });
    EXPECT_THROW(Client->Get("http://h/"), std::runtime_error);
    EXPECT_EQ(Default().SendCalls, 0);
}

TEST_F(HttpClientFacade, OnResponseReceivedCanReplaceTheResponse) {
    EngineTest::TScript Replacement;
    Replacement.Status = 299;
    Client->SetOnResponseReceived(
        [&](THttpRequest& Request, std::unique_ptr<THttpResponse>& Response) {
            EXPECT_EQ(Request.Uri(), "http://h/");
            EXPECT_EQ(Response->StatusCode(), 200);
            Response = std::make_unique<EngineTest::TScriptedResponse>(Replacement);
        });
    std::unique_ptr<THttpResponse> Response = Client->Get("http://h/");
    EXPECT_EQ(Response->StatusCode(), 299);
    EXPECT_EQ(Default().Script.ResponsesFreed, 1);  // the replaced one
    Response.reset();
    EXPECT_EQ(Replacement.ResponsesFreed, 1);
}

TEST_F(HttpClientFacade, ARaisingOnResponseReceivedFreesTheResponse) {
    Client->SetOnResponseReceived([](THttpRequest&, std::unique_ptr<THttpResponse>& Response) {
        EXPECT_EQ(Response->StatusCode(), 200);
        throw std::runtime_error("rejected");
    });
    try {
        Client->Get("http://h/");
        FAIL() << "no exception";
    } catch (const std::runtime_error& E) {
        EXPECT_STREQ(E.what(), "rejected");
    }
    EXPECT_EQ(Default().SendCalls, 1);
    EXPECT_EQ(Default().Script.ResponsesFreed, 1);
}

TEST_F(HttpClientFacade, AHookThatLeavesNoResponseIsAnError) {
    for (const char* Uri : {"http://h/", "local://api/x"}) {
        SCOPED_TRACE(Uri);
        Client->SetOnResponseReceived(
            [](THttpRequest&, std::unique_ptr<THttpResponse>& Response) { Response.reset(); });
        try {
            const std::unique_ptr<THttpResponse> Response = Client->Get(Uri);
            ADD_FAILURE() << "no exception; the response is " << (Response ? "there" : "null");
        } catch (const Nimbra::EHttpEngineException& E) {
            EXPECT_STREQ(E.what(), "HttpEngine Error.\r\nThe response hook left no response");
        }
    }
}

TEST_F(HttpClientFacade, AHookMayReplaceOrClearItselfWhileItRuns) {
    // What the running hook uses after replacing itself lives in its own captures; were the
    // hook run in place, AddressSanitizer would see those freed under it.
    struct TCase {
        const char* Name;
        bool SendingHook;
        bool Clear;  // else replaced by a hook that counts
    };
    const TCase Cases[] = {
        {"the sending hook clears itself", true, true},
        {"the sending hook replaces itself", true, false},
        {"the response hook clears itself", false, true},
        {"the response hook replaces itself", false, false},
    };
    for (const TCase& C : Cases) {
        SCOPED_TRACE(C.Name);
        int Replacements = 0;
        std::string Seen;
        const std::string Captured(200, 'c');  // kept on the heap by the function object
        auto Replace = [&] {
            if (C.SendingHook) {
                if (C.Clear)
                    Client->SetOnSendingRequest(nullptr);
                else
                    Client->SetOnSendingRequest([&](THttpRequest&) { ++Replacements; });
            } else {
                if (C.Clear)
                    Client->SetOnResponseReceived(nullptr);
                else
                    Client->SetOnResponseReceived(
                        [&](THttpRequest&, std::unique_ptr<THttpResponse>&) { ++Replacements; });
            }
        };
        if (C.SendingHook)
            Client->SetOnSendingRequest([&, Captured](THttpRequest&) {
                Replace();
                Seen = Captured;
            });
        else
            Client->SetOnResponseReceived(
                [&, Captured](THttpRequest&, std::unique_ptr<THttpResponse>&) {
                    Replace();
                    Seen = Captured;
                });
        EXPECT_EQ(Client->Get("http://h/")->StatusCode(), 200);
        EXPECT_EQ(Seen, Captured);
        EXPECT_EQ(Client->Get("http://h/")->StatusCode(), 200);
        EXPECT_EQ(Replacements, C.Clear ? 0 : 1);
        EXPECT_EQ(C.SendingHook ? !Client->OnSendingRequest() : !Client->OnResponseReceived(),
                  C.Clear);
        Client->SetOnSendingRequest(nullptr);
        Client->SetOnResponseReceived(nullptr);
    }
}

TEST_F(HttpClientFacade, TheResponseOfAnInProcRequestIsFreedTooWhenTheHookRaises) {
    Client->SetOnResponseReceived([](THttpRequest&, std::unique_ptr<THttpResponse>&) {
        throw std::runtime_error("rejected");
    });
    // Under AddressSanitizer a response left behind shows as a leak.
    EXPECT_THROW(Client->Get("local://api/x"), std::runtime_error);
}

}  // namespace
