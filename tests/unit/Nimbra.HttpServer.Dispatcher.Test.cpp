// Dispatcher and modules: routing, middleware order, failures turned into 500 answers, the
// thread's current context.

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "Nimbra.HttpServer.Dispatcher.h"
#include "Server.TestTransport.h"

namespace {

using Nimbra::THttpDispatcher;
using Nimbra::THttpServerContext;
using Nimbra::THttpServerMiddleware;
using Nimbra::THttpServerModule;
using Nimbra::THttpServerProc;
using ServerTest::Bytes;
using ServerTest::TTestContext;

RUNTIME_DECLARE_EXCEPTION(EModuleBroke, Runtime::Exception);

class TRecordingEngine : public Nimbra::ILogEngine {
  public:
    std::vector<std::string> Lines;
    bool Fail = false;
    void LogMessage(const std::string& Msg) override {
        if (Fail) throw std::runtime_error("log engine down");
        Lines.push_back(Msg);
    }
};

/// A module running a function; answers with its name by default. Counts its instances so
/// tests can see when the dispatcher frees it.
class TFuncModule : public THttpServerModule {
  public:
    using TBody = std::function<void(TFuncModule&, THttpServerContext&)>;
    static inline int Alive = 0;

    TFuncModule(const std::string& BaseUri, std::string AName, TBody ABody = nullptr)
        : THttpServerModule(BaseUri), Name(std::move(AName)), Body(std::move(ABody)) {
        ++Alive;
    }
    ~TFuncModule() override { --Alive; }

    void Log(const std::string& Msg) const { Logger().Log(Msg); }

    std::string Name;
    TBody Body;
    int Calls = 0;

  protected:
    void ProcessRequest(THttpServerContext& Context) override {
        ++Calls;
        if (Body) return Body(*this, Context);
        Context.Response().SetStatusCode(200);
        Context.Response().Close(Bytes(Name));
    }
};

TFuncModule& Add(THttpDispatcher& D, const std::string& BaseUri, const std::string& Name,
                 TFuncModule::TBody Body = nullptr) {
    return static_cast<TFuncModule&>(
        D.AddModule(std::make_unique<TFuncModule>(BaseUri, Name, std::move(Body))));
}

/// Dispatches a GET for Path on a fresh context; returns the recorded response's status and
/// body as "status body".
std::string Serve(THttpDispatcher& D, const std::string& Path) {
    TTestContext C("local://srv" + Path);
    D.DispatchRequest(C);
    EXPECT_TRUE(C.Recorded().Closed());
    return std::to_string(C.Recorded().StatusCode()) + " " + C.Recorded().BodyText();
}

TEST(Dispatcher, LongestWholeSegmentPrefixWins) {
    THttpDispatcher D;
    Add(D, "local://srv/api", "api");
    Add(D, "local://srv/api/admin", "admin");
    Add(D, "local://srv/Docs", "docs");
    const std::pair<const char*, const char*> Cases[] = {
        {"/api/admin/items", "200 admin"},
        {"/api/admin", "200 admin"},
        {"/api/public", "200 api"},
        {"/api", "200 api"},
        {"/API/x", "200 api"},
        {"/aPI/ADMIN/7?q=1#f", "200 admin"},
        {"/docs/intro", "200 docs"},
        {"/apix", "404 "},
        {"/other", "404 "},
        {"/", "404 "},
        {"/%61pi/x", "200 api"},  // segments are compared decoded
    };
    for (const auto& [Path, Expected] : Cases) {
        SCOPED_TRACE(Path);
        EXPECT_EQ(Serve(D, Path), Expected);
    }
    // A transport may hand over the path alone; scheme and host play no part in routing.
    TTestContext Relative("/Api/Admin/x");
    D.DispatchRequest(Relative);
    EXPECT_EQ(Relative.Recorded().BodyText(), "admin");
}

TEST(Dispatcher, RootModuleIsTheFallback) {
    THttpDispatcher D;
    Add(D, "local://srv/api", "api");
    Add(D, "local://srv/", "root");
    Add(D, "local://srv", "second root");
    EXPECT_EQ(Serve(D, "/other/thing"), "200 root");
    EXPECT_EQ(Serve(D, "/"), "200 root");
    EXPECT_EQ(Serve(D, "/api/x"), "200 api");
}

TEST(Dispatcher, FirstRegisteredWinsUntilRemoved) {
    THttpDispatcher D;
    const int AliveBefore = TFuncModule::Alive;
    auto& First = Add(D, "local://srv/api", "first");
    Add(D, "local://other-host:81/API", "second");
    EXPECT_EQ(Serve(D, "/api/x"), "200 first");
    D.RemoveModule(&First);
    EXPECT_EQ(TFuncModule::Alive, AliveBefore + 1) << "removing frees the module";
    EXPECT_EQ(Serve(D, "/api/x"), "200 second");
    ASSERT_EQ(D.ModulesInfo().size(), 1u);
    EXPECT_EQ(D.ModulesInfo()[0]->BaseUri().Host(), "other-host");
    TFuncModule Stranger("local://srv/x", "stranger");
    D.RemoveModule(&Stranger);
    EXPECT_EQ(D.ModulesInfo().size(), 1u);
    D.ClearModules();
    EXPECT_EQ(TFuncModule::Alive, AliveBefore + 1) << "only the stranger is left";
    EXPECT_EQ(Serve(D, "/api/x"), "404 ");
}

TEST(Dispatcher, NotFoundAndUnsetStatusAnswers) {
    THttpDispatcher D;
    Add(D, "local://srv/quiet", "quiet",
        [](TFuncModule&, THttpServerContext& C) { C.Response().Close(); });
    Add(D, "local://srv/open", "open", [](TFuncModule&, THttpServerContext&) {});
    {
        TTestContext C("local://srv/nothing");
        D.DispatchRequest(C);
        EXPECT_EQ(C.Recorded().StatusCode(), 404);
        EXPECT_EQ(C.Recorded().StatusReason(), "Not Found");
        EXPECT_EQ(C.Recorded().Header("content-length"), "0");
    }
    for (const char* Path : {"/quiet", "/open"}) {
        SCOPED_TRACE(Path);
        TTestContext C(std::string("local://srv") + Path);
        D.DispatchRequest(C);
        EXPECT_EQ(C.Recorded().StatusCode(), 400) << "a module that sets no status answers 400";
        EXPECT_EQ(C.Recorded().Header("content-length"), "0");
        EXPECT_TRUE(C.Recorded().Closed());
    }
}

TEST(Dispatcher, MiddlewareOrderOuterInOrderInnerReversed) {
    std::string Trace;
    auto Mark = [&Trace](const std::string& Name) {
        return THttpServerMiddleware::FromHandler(
            [&Trace, Name](THttpServerContext& C, const THttpServerProc& Next) {
                Trace += Name + ">";
                Next(C);
                Trace += "<" + Name;
            });
    };
    THttpDispatcher D;
    auto& M = Add(D, "local://srv/m", "m", [&Trace](TFuncModule&, THttpServerContext& C) {
        Trace += "P";
        C.Response().SetStatusCode(204);
    });
    M.AddMiddleware(Mark("A"));
    M.AddMiddleware(Mark("B"));
    M.AddInnerMiddleware(Mark("C"));
    M.AddInnerMiddleware(Mark("D"));
    EXPECT_EQ(Serve(D, "/m"), "204 ");
    EXPECT_EQ(Trace, "A>B>D>C>P<C<D<B<A");
    Trace.clear();
    EXPECT_EQ(Serve(D, "/m"), "204 ");
    EXPECT_EQ(Trace, "A>B>D>C>P<C<D<B<A") << "the chain is built anew per request";
}

TEST(Dispatcher, MiddlewareAddedWhileARequestIsWrappedJoinsFromTheNextRequest) {
    // Adding grows the module's list while the request walks it; the request keeps the list
    // it started with (AddressSanitizer would see the walk go on in freed memory otherwise).
    THttpDispatcher D;
    TFuncModule& M = Add(D, "local://srv/", "root");
    std::string Order;
    int Added = 0;
    M.AddMiddleware(THttpServerMiddleware::FromFunc([&](THttpServerProc Next) -> THttpServerProc {
        while (Added < 16) {
            ++Added;
            M.AddMiddleware(
                THttpServerMiddleware::FromFunc([&](THttpServerProc N) -> THttpServerProc {
                    return [&Order, N](THttpServerContext& C) {
                        Order += "+";
                        N(C);
                    };
                }));
        }
        return [&Order, Next](THttpServerContext& C) {
            Order += "g";
            Next(C);
        };
    }));
    EXPECT_EQ(Serve(D, "/x"), "200 root");
    EXPECT_EQ(Order, "g");
    Order.clear();
    EXPECT_EQ(Serve(D, "/x"), "200 root");
    EXPECT_EQ(Order, "g" + std::string(16, '+'));
}

TEST(Dispatcher, MiddlewareAndModulesComeWhileAnotherThreadServes) {
    THttpDispatcher D;
    TFuncModule& Root = Add(D, "local://srv/", "root");
    std::atomic<bool> Stop{false};
    std::atomic<int> Served{0};
    std::vector<std::string> Wrong;
    std::thread Server([&] {
        while (!Stop.load()) {
            const std::string Answer = Serve(D, "/x");
            if (Answer != "200 root" && Wrong.size() < 10) Wrong.push_back(Answer);
            ++Served;
        }
    });
    for (int I = 0; I < 200; ++I) {
        Root.AddMiddleware(THttpServerMiddleware::FromHandler(
            [](THttpServerContext& C, const THttpServerProc& Next) { Next(C); }));
        Add(D, "local://srv/other" + std::to_string(I), "other");
    }
    const int Before = Served.load();
    while (Served.load() < Before + 2) std::this_thread::yield();
    Stop.store(true);
    Server.join();
    EXPECT_EQ(Wrong, std::vector<std::string>{});
}

TEST(Dispatcher, MiddlewareThatDoesNotCallNextEndsTheRequest) {
    THttpDispatcher D;
    auto& M = Add(D, "local://srv/m", "m");
    M.AddMiddleware(THttpServerMiddleware::FromFunc([](THttpServerProc) -> THttpServerProc {
        return [](THttpServerContext& C) { C.Response().SetStatusCode(403); };
    }));
    TTestContext C("local://srv/m/x");
    D.DispatchRequest(C);
    EXPECT_EQ(M.Calls, 0);
    EXPECT_EQ(C.Recorded().StatusCode(), 403);
    EXPECT_EQ(C.Recorded().Header("content-length"), "0");
    EXPECT_TRUE(C.Recorded().Closed());
}

TEST(Dispatcher, ModuleAwareMiddlewareLearnsItsModule) {
    THttpDispatcher D;
    auto& M = Add(D, "local://srv/m", "m");
    auto Outer = THttpServerMiddleware::FromFunc([](THttpServerProc Next) { return Next; });
    auto Inner = THttpServerMiddleware::FromFunc([](THttpServerProc Next) { return Next; });
    EXPECT_EQ(Outer->GetModule(), nullptr);
    M.AddMiddleware(Outer);
    M.AddInnerMiddleware(Inner);
    EXPECT_EQ(Outer->GetModule(), &M);
    EXPECT_EQ(Inner->GetModule(), &M);
    EXPECT_THROW(M.AddMiddleware(nullptr), Runtime::EAssertionFailed);
    EXPECT_THROW(THttpServerMiddleware::FromFunc(nullptr), Runtime::EAssertionFailed);
    EXPECT_EQ(Serve(D, "/m"), "200 m");
}

TEST(Dispatcher, FailureBeforeTheBodyBecomesA500) {
    const struct {
        const char* Name;
        std::function<void()> Raise;
        std::string ClassName;
        std::string Message;
    } Cases[] = {
        {"own exception", [] { throw EModuleBroke("boom"); }, "EModuleBroke", "boom"},
        {"runtime exception", [] { throw Runtime::EStreamError("boom"); }, "EStreamError", "boom"},
        {"standard exception", [] { throw std::out_of_range("b\xC3\xB6\xC3\xB6m"); },
         "out_of_range", "b\xC3\xB6\xC3\xB6m"},
    };
    for (const auto& C : Cases) {
        SCOPED_TRACE(C.Name);
        THttpDispatcher D;
        auto Engine = std::make_shared<TRecordingEngine>();
        D.SetLogEngine(Engine);
        Add(D, "local://srv/", "root", [&C](TFuncModule&, THttpServerContext& Ctx) {
            Ctx.Response().SetStatusCode(200);
            Ctx.Response().Headers().SetValue("x-partial", "yes");
            Ctx.Response().SetChunked(true);
            C.Raise();
        });
        TTestContext Ctx("local://srv/x");
        D.DispatchRequest(Ctx);
        auto& R = Ctx.Recorded();
        const std::string Body = "Exception Class: " + C.ClassName + " \r\nMessage: " + C.Message;
        EXPECT_EQ(R.StatusCode(), 500);
        EXPECT_EQ(R.StatusReason(), "Internal Server Error");
        EXPECT_EQ(R.BodyText(), Body);
        EXPECT_EQ(R.Header("content-length"), std::to_string(Body.size()));
        EXPECT_EQ(R.Header("content-type"), "text/plain");
        EXPECT_EQ(R.Header("x-partial"), "<absent>") << "the module's headers are dropped";
        EXPECT_EQ(R.Header("transfer-encoding"), "<absent>");
        EXPECT_TRUE(R.Closed());
        EXPECT_EQ(Engine->Lines, std::vector<std::string>{"Exception on process requesting. " +
                                                          C.ClassName + ": " + C.Message});
    }
}

TEST(Dispatcher, DetailedErrorResponseCanBeSwitchedOff) {
    THttpDispatcher D;
    EXPECT_TRUE(D.DetailedErrorResponse());
    D.SetDetailedErrorResponse(false);
    auto Engine = std::make_shared<TRecordingEngine>();
    D.SetLogEngine(Engine);
    Add(D, "local://srv/", "root",
        [](TFuncModule&, THttpServerContext&) { throw EModuleBroke("secret detail"); });
    TTestContext C("local://srv/x");
    D.DispatchRequest(C);
    EXPECT_EQ(C.Recorded().StatusCode(), 500);
    EXPECT_EQ(C.Recorded().Header("content-type"), "text/plain");
    EXPECT_EQ(C.Recorded().Header("content-length"), "0");
    EXPECT_EQ(C.Recorded().BodyText(), "");
    EXPECT_EQ(Engine->Lines.size(), 1u) << "the failure is still logged";
}

TEST(Dispatcher, FailureAfterTheBodyStartedIsLoggedAndTheBodyCut) {
    THttpDispatcher D;
    auto Engine = std::make_shared<TRecordingEngine>();
    D.SetLogEngine(Engine);
    Add(D, "local://srv/", "root", [](TFuncModule&, THttpServerContext& C) {
        C.Response().SetStatusCode(200);
        C.Response().Content().Write("Hello", 5);
        throw EModuleBroke("boom");
    });
    TTestContext C("local://srv/x");
    D.DispatchRequest(C);
    auto& R = C.Recorded();
    EXPECT_EQ(R.StatusCode(), 200);
    ASSERT_EQ(R.HeaderWrites.size(), 1u);
    EXPECT_EQ(R.Header("transfer-encoding"), "chunked");
    // Never ended as a complete body: no last chunk, and the response aborted, not closed.
    EXPECT_EQ(R.BodyText(), "");
    EXPECT_TRUE(R.Closed());
    EXPECT_TRUE(R.Aborted());
    EXPECT_EQ(R.CloseCalls, 0);
    EXPECT_EQ(R.AbortCalls, 1);
    EXPECT_EQ(Engine->Lines,
              std::vector<std::string>{"Exception on process requesting. EModuleBroke: boom"});
}

TEST(Dispatcher, WritingAfterCloseIsAFailureThatLeavesTheAnswerIntact) {
    THttpDispatcher D;
    auto Engine = std::make_shared<TRecordingEngine>();
    D.SetLogEngine(Engine);
    Add(D, "local://srv/", "root", [](TFuncModule&, THttpServerContext& C) {
        C.Response().SetStatusCode(200);
        C.Response().Close(Bytes("done"));
        C.Response().Content().Write("late", 4);
    });
    TTestContext C("local://srv/x");
    D.DispatchRequest(C);
    EXPECT_EQ(C.Recorded().StatusCode(), 200);
    EXPECT_EQ(C.Recorded().BodyText(), "done");
    EXPECT_EQ(C.Recorded().CloseCalls, 1);
    ASSERT_EQ(Engine->Lines.size(), 1u);
    EXPECT_EQ(Engine->Lines[0].rfind("Exception on process requesting. EStreamError: ", 0), 0u);
}

TEST(Dispatcher, FailuresInsideTheErrorPathAreSwallowed) {
    {
        SCOPED_TRACE("a failing log engine does not stop the 500 answer");
        THttpDispatcher D;
        auto Engine = std::make_shared<TRecordingEngine>();
        Engine->Fail = true;
        D.SetLogEngine(Engine);
        Add(D, "local://srv/", "root",
            [](TFuncModule&, THttpServerContext&) { throw EModuleBroke("boom"); });
        TTestContext C("local://srv/x");
        EXPECT_NO_THROW(D.DispatchRequest(C));
        EXPECT_EQ(C.Recorded().StatusCode(), 500);
        EXPECT_TRUE(C.Recorded().Closed());
    }
    {
        SCOPED_TRACE("a header callback that always fails");
        THttpDispatcher D;
        Add(D, "local://srv/", "root", [](TFuncModule&, THttpServerContext& C) {
            C.Response().OnHeaders(
                [](Nimbra::THttpServerResponse&) { throw std::logic_error("no headers"); });
            C.Response().Close();
        });
        TTestContext C("local://srv/x");
        EXPECT_NO_THROW(D.DispatchRequest(C));
        EXPECT_TRUE(C.Recorded().HeaderWrites.empty());
        EXPECT_FALSE(C.Recorded().Closed()) << "closing itself failed";
    }
}

TEST(Dispatcher, NonStandardExceptionsPassThrough) {
    THttpDispatcher D;
    Add(D, "local://srv/", "root", [](TFuncModule&, THttpServerContext&) { throw 42; });
    TTestContext C("local://srv/x");
    EXPECT_THROW(D.DispatchRequest(C), int);
    EXPECT_EQ(THttpServerContext::Current(), nullptr);
    EXPECT_FALSE(C.Recorded().Closed());
}

TEST(Dispatcher, CurrentContextDuringAndAfterADispatch) {
    THttpDispatcher D;
    THttpServerContext* SeenByInner = nullptr;
    THttpServerContext* SeenByOuterBefore = nullptr;
    THttpServerContext* SeenByOuterAfter = nullptr;
    THttpServerContext* InnerContext = nullptr;
    Add(D, "local://srv/inner", "inner", [&](TFuncModule&, THttpServerContext& C) {
        SeenByInner = THttpServerContext::Current();
        InnerContext = &C;
    });
    Add(D, "local://srv/outer", "outer", [&](TFuncModule&, THttpServerContext&) {
        SeenByOuterBefore = THttpServerContext::Current();
        TTestContext Nested("local://srv/inner");
        D.DispatchRequest(Nested);  // an in-process call made from inside a module
        SeenByOuterAfter = THttpServerContext::Current();
    });
    TTestContext C("local://srv/outer");
    D.DispatchRequest(C);
    EXPECT_EQ(SeenByOuterBefore, &C);
    EXPECT_EQ(SeenByInner, InnerContext);
    EXPECT_NE(SeenByInner, &C);
    EXPECT_EQ(SeenByOuterAfter, &C) << "the outer module gets its own context back";
    EXPECT_EQ(THttpServerContext::Current(), nullptr);

    Add(D, "local://srv/fail", "fail",
        [](TFuncModule&, THttpServerContext&) { throw EModuleBroke("x"); });
    TTestContext F("local://srv/fail");
    D.DispatchRequest(F);
    EXPECT_EQ(THttpServerContext::Current(), nullptr) << "reset on failure too";
}

TEST(Dispatcher, ModulesGetTheLogEngineCurrentWhenAdded) {
    THttpDispatcher D;
    auto& Early = Add(D, "local://srv/early", "early");
    auto Engine = std::make_shared<TRecordingEngine>();
    D.SetLogEngine(Engine);
    auto& Late = Add(D, "local://srv/late", "late");
    EXPECT_EQ(Early.LogEngine(), nullptr);
    EXPECT_EQ(Late.LogEngine(), Engine);
    Late.Log("from late");
    Early.Log("from early");
    EXPECT_EQ(Engine->Lines, std::vector<std::string>{"from late"});

    auto Own = std::make_shared<TRecordingEngine>();
    auto M = std::make_unique<TFuncModule>("local://srv/own", "own");
    M->SetLogEngine(Own);
    D.SetLogEngine(nullptr);
    auto& Added = D.AddModule(std::move(M));
    EXPECT_EQ(Added.LogEngine(), nullptr) << "the dispatcher's engine replaces the module's";
    EXPECT_THROW(D.AddModule(nullptr), Runtime::EAssertionFailed);
}

TEST(Module, RelativeSegments) {
    TFuncModule M("local://srv/api", "api");
    const std::pair<const char*, std::vector<std::string>> Cases[] = {
        {"local://srv/api/admin/items/7", {"admin", "items", "7"}},
        {"local://srv/api", {}},
        {"local://srv/api/a%2Fb/", {"a/b"}},
        {"local://srv/", {}},
    };
    for (const auto& [Uri, Expected] : Cases) {
        SCOPED_TRACE(Uri);
        EXPECT_EQ(M.GetRelativeSegments(Nimbra::TUri(Uri)), Expected);
    }
}

TEST(Dispatcher, DestroyingTheDispatcherFreesItsModules) {
    const int Before = TFuncModule::Alive;
    {
        THttpDispatcher D;
        Add(D, "local://srv/a", "a");
        Add(D, "local://srv/b", "b");
        EXPECT_EQ(TFuncModule::Alive, Before + 2);
    }
    EXPECT_EQ(TFuncModule::Alive, Before);
}

}  // namespace
