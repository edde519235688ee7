// Server request, its forward-only body stream, and the exchange context.

#include <gtest/gtest.h>

#include <thread>

#include "Nimbra.HttpServer.Context.h"
#include "Nimbra.HttpServer.Request.h"
#include "Server.TestTransport.h"

namespace {

using Nimbra::THttpMethod;
using Nimbra::THttpServerContext;
using Nimbra::THttpServerRequest;
using ServerTest::Bytes;
using ServerTest::TMemoryRequestStream;
using ServerTest::TTestContext;

Runtime::TBytes Pattern(std::size_t N) {
    Runtime::TBytes B(N);
    for (std::size_t i = 0; i < N; ++i) B[i] = static_cast<std::uint8_t>(i * 7 + 1);
    return B;
}

TEST(ServerRequest, FreshRequest) {
    THttpServerRequest R;
    EXPECT_EQ(R.Protocol(), "HTTP/1.1");
    EXPECT_EQ(R.MajorVersion(), 1);
    EXPECT_EQ(R.MinorVersion(), 1);
    EXPECT_EQ(R.MethodType(), THttpMethod::Other);
    EXPECT_EQ(R.ContentLength(), -1);
    EXPECT_EQ(R.RemoteIp(), "");
    EXPECT_TRUE(R.Content().empty());
    EXPECT_EQ(R.ContentStream(), nullptr);
    EXPECT_TRUE(R.Uri().Segments().empty());
}

TEST(ServerRequest, MethodTypeComparesExactly) {
    const std::pair<const char*, THttpMethod> Cases[] = {
        {"GET", THttpMethod::Get},         {"POST", THttpMethod::Post},
        {"PUT", THttpMethod::Put},         {"DELETE", THttpMethod::Delete},
        {"HEAD", THttpMethod::Head},       {"PATCH", THttpMethod::Patch},
        {"OPTIONS", THttpMethod::Options}, {"get", THttpMethod::Other},
        {"Options", THttpMethod::Other},   {"GET ", THttpMethod::Other},
        {"PROPFIND", THttpMethod::Other},  {"", THttpMethod::Other},
    };
    THttpServerRequest R;
    for (const auto& [Method, Expected] : Cases) {
        SCOPED_TRACE(Method);
        R.SetMethod(Method);
        EXPECT_EQ(R.MethodType(), Expected);
        EXPECT_EQ(R.Method(), Method);
    }
}

TEST(ServerRequest, ProtocolVersions) {
    const struct {
        const char* Protocol;
        int Major, Minor;
    } Cases[] = {{"HTTP/1.1", 1, 1},   {"HTTP/1.0", 1, 0},    {"HTTP/2", -1, -1},
                 {"http/1.1", -1, -1}, {"HTTP/1.1 ", -1, -1}, {"", -1, -1}};
    THttpServerRequest R;
    for (const auto& C : Cases) {
        SCOPED_TRACE(C.Protocol);
        R.SetProtocol(C.Protocol);
        EXPECT_EQ(R.MajorVersion(), C.Major);
        EXPECT_EQ(R.MinorVersion(), C.Minor);
    }
}

TEST(ServerRequest, RawUriFillsTheOriginalOnceAndRefreshesTheParsedUri) {
    THttpServerRequest R;
    R.SetRawUri("local://s/first/a");
    EXPECT_EQ(R.RawOriginalUri(), "local://s/first/a");
    EXPECT_EQ(R.Uri().Segments(), (std::vector<std::string>{"first", "a"}));

    R.SetRawUri("local://s/second%20x");
    EXPECT_EQ(R.RawUri(), "local://s/second%20x");
    EXPECT_EQ(R.RawOriginalUri(), "local://s/first/a");
    EXPECT_EQ(R.Uri().Segments(), (std::vector<std::string>{"second x"}));
    EXPECT_EQ(R.OriginalUri().Segments(), (std::vector<std::string>{"first", "a"}));

    R.SetRawOriginalUri("local://s/rewritten");
    EXPECT_EQ(R.OriginalUri().Segments(), (std::vector<std::string>{"rewritten"}));
    EXPECT_EQ(R.Uri().Host(), "s");
}

TEST(ServerRequest, ContentLengthFromTheHeader) {
    const std::pair<const char*, std::int64_t> Cases[] = {
        {"0", 0},    {"10", 10},  {"9007199254740993", 9007199254740993LL},
        {"abc", -1}, {"12x", -1}, {"-5", -1},
        {"-1", -1},  {"", -1},    {"99999999999999999999", -1},
    };
    for (const auto& [Value, Expected] : Cases) {
        SCOPED_TRACE(Value);
        THttpServerRequest R;
        R.Headers().SetValue("Content-Length", Value);
        EXPECT_EQ(R.ContentLength(), Expected);
    }
}

TEST(ServerRequest, ContentLoading) {
    const struct {
        const char* Name;
        const char* Header;  // nullptr: no content-length header
        std::size_t StreamBytes;
        std::size_t ExpectedSize;
        std::size_t ExpectedFromStream;  // leading bytes equal to the stream's
    } Cases[] = {
        {"declared zero", "0", 100, 0, 0},
        {"open length, 10000 bytes", nullptr, 10000, 10000, 10000},
        {"open length, exactly one step", nullptr, 4096, 4096, 4096},
        {"open length, empty stream", nullptr, 0, 0, 0},
        {"declared 10, stream of 4", "10", 4, 10, 4},
        {"declared 4, stream of 10", "4", 10, 4, 4},
        {"declared 20000", "20000", 20000, 20000, 20000},
        {"negative length reads to the end", "-7", 300, 300, 300},
    };
    for (const auto& C : Cases) {
        SCOPED_TRACE(C.Name);
        THttpServerRequest R;
        if (C.Header) R.Headers().SetValue("content-length", C.Header);
        const auto Data = Pattern(C.StreamBytes);
        auto Stream = std::make_unique<TMemoryRequestStream>(Data);
        auto* S = Stream.get();
        R.SetContentStream(std::move(Stream));
        const auto& Content = R.Content();
        ASSERT_EQ(Content.size(), C.ExpectedSize);
        EXPECT_TRUE(
            std::equal(Content.begin(), Content.begin() + C.ExpectedFromStream, Data.begin()));
        EXPECT_TRUE(std::all_of(Content.begin() + C.ExpectedFromStream, Content.end(),
                                [](std::uint8_t B) { return B == 0; }));
        if (C.Header && std::string(C.Header) == "0") {
            EXPECT_EQ(S->ReadCalls, 0);
        }
        // Bytes beyond a declared length stay in the stream.
        EXPECT_EQ(S->Position(), std::min<std::int64_t>(C.ExpectedFromStream, C.StreamBytes));
    }
}

TEST(ServerRequest, LengthsBeyondTheTrustedSizeCostOnlyWhatArrives) {
    constexpr std::int64_t Trusted = Nimbra::TrustedContentLength;
    const struct {
        const char* Name;
        std::int64_t Declared;
        std::size_t StreamBytes;
        std::size_t ExpectedSize;
        std::size_t ExpectedFromStream;  // leading bytes equal to the stream's, zeros after
    } Cases[] = {
        {"1 GiB declared, 4 bytes arrive", std::int64_t{1} << 30, 4, 4, 4},
        {"1 GiB declared, nothing arrives", std::int64_t{1} << 30, 0, 0, 0},
        {"past the trusted size, ends after the first buffer", 3 * Trusted, Trusted + 10,
         Trusted + 10, Trusted + 10},
        {"past the trusted size, delivered with more behind", Trusted + 4099, Trusted + 5000,
         Trusted + 4099, Trusted + 4099},
        {"exactly the trusted size, short, is zero-filled", Trusted, 10, Trusted, 10},
    };
    for (const auto& C : Cases) {
        SCOPED_TRACE(C.Name);
        THttpServerRequest R;
        R.Headers().SetValue("content-length", std::to_string(C.Declared));
        const auto Data = Pattern(C.StreamBytes);
        auto Stream = std::make_unique<TMemoryRequestStream>(Data);
        auto* S = Stream.get();
        R.SetContentStream(std::move(Stream));
        const auto& Content = R.Content();
        ASSERT_EQ(Content.size(), C.ExpectedSize);
        EXPECT_TRUE(
            std::equal(Content.begin(), Content.begin() + C.ExpectedFromStream, Data.begin()));
        EXPECT_TRUE(std::all_of(Content.begin() + C.ExpectedFromStream, Content.end(),
                                [](std::uint8_t B) { return B == 0; }));
        EXPECT_EQ(S->Position(), static_cast<std::int64_t>(C.ExpectedFromStream));
        // Memory follows the bytes that arrived, not the stated length.
        EXPECT_LE(Content.capacity(), std::max<std::size_t>(Trusted, 2 * C.StreamBytes));
    }
}

TEST(ServerRequest, ContentIsLoadedOnceFromTheCurrentPosition) {
    THttpServerRequest R;
    R.SetContentStream(std::make_unique<TMemoryRequestStream>(Bytes("headBODY")));
    char Skip[4];
    ASSERT_EQ(R.ContentStream()->Read(Skip, 4), 4);
    EXPECT_EQ(ServerTest::Text(R.Content()), "BODY");
    R.Headers().SetValue("content-length", "2");
    R.SetContentStream(std::make_unique<TMemoryRequestStream>(Bytes("other")));
    EXPECT_EQ(ServerTest::Text(R.Content()), "BODY");
}

TEST(ServerRequest, NoStreamGivesEmptyContent) {
    THttpServerRequest R;
    R.Headers().SetValue("content-length", "10");
    EXPECT_TRUE(R.Content().empty());
}

TEST(ServerRequest, RemoteIpComesFromExtraInfo) {
    struct TInfo : Nimbra::IHttpRequestExtraInfo {
        std::string GetRemoteIp() const override { return "10.1.2.3"; }
    };
    THttpServerRequest R;
    R.SetExtraInfo(std::make_shared<TInfo>());
    EXPECT_EQ(R.RemoteIp(), "10.1.2.3");
}

TEST(RequestStream, CountsBytesAndOnlyAllowsNoOpSeeks) {
    TMemoryRequestStream S(Pattern(10));
    char Buf[8];
    EXPECT_EQ(S.Read(Buf, 0), 0);
    EXPECT_EQ(S.ReadCalls, 0) << "a zero read must not reach the transport";
    EXPECT_EQ(S.Read(Buf, 6), 6);
    EXPECT_EQ(S.Write(Buf, 3), 0);
    EXPECT_EQ(S.Seek(6, Runtime::TSeekOrigin::soBeginning), 6);
    EXPECT_EQ(S.Seek(0, Runtime::TSeekOrigin::soCurrent), 6);
    EXPECT_EQ(S.Seek(0, Runtime::TSeekOrigin::soEnd), 6);
    EXPECT_EQ(S.Size(), 6) << "unknown length: the size is what was delivered";

    const std::pair<std::int64_t, Runtime::TSeekOrigin> Bad[] = {
        {0, Runtime::TSeekOrigin::soBeginning},
        {7, Runtime::TSeekOrigin::soBeginning},
        {1, Runtime::TSeekOrigin::soCurrent},
        {-1, Runtime::TSeekOrigin::soEnd},
    };
    for (const auto& [Offset, Origin] : Bad) {
        SCOPED_TRACE(Offset);
        try {
            S.Seek(Offset, Origin);
            ADD_FAILURE() << "seek moved";
        } catch (const Runtime::EStreamError& E) {
            EXPECT_STREQ(E.what(), "Http request stream cannot change position.");
        }
    }
    EXPECT_EQ(S.Read(Buf, 8), 4);
    EXPECT_EQ(S.Read(Buf, 8), 0);
    EXPECT_EQ(S.Position(), 10);
}

TEST(RequestStream, SizeIsTheDeclaredLengthWhenKnown) {
    TMemoryRequestStream S(Pattern(10), 10);
    EXPECT_EQ(S.Size(), 10);
    EXPECT_EQ(S.Position(), 0);
}

TEST(ServerContext, NamedDataIsCaseSensitiveAndEmptyWhenAbsent) {
    TTestContext C;
    EXPECT_FALSE(C.GetData("missing").has_value());
    C.SetData("A", 1);
    C.SetData("a", std::string("small"));
    EXPECT_EQ(std::any_cast<int>(C.GetData("A")), 1);
    EXPECT_EQ(std::any_cast<std::string>(C.GetData("a")), "small");
    C.SetData("A", 2);
    EXPECT_EQ(std::any_cast<int>(C.GetData("A")), 2);
    C.SetData("A", std::any());
    EXPECT_FALSE(C.GetData("A").has_value());
}

TEST(ServerContext, TypedItemsStoredOrMadeOnFirstUse) {
    struct TSession {
        std::string User;
    };
    struct TTrace {
        int Id;
    };
    TTestContext C;
    EXPECT_EQ(C.Item<TSession>(), nullptr);
    EXPECT_FALSE(C.HasItem<TSession>());

    int Made = 0;
    C.SetLazyItem<TSession>([&] {
        ++Made;
        return TSession{"lazy"};
    });
    EXPECT_TRUE(C.HasItem<TSession>());
    EXPECT_EQ(Made, 0);
    ASSERT_NE(C.Item<TSession>(), nullptr);
    EXPECT_EQ(C.Item<TSession>()->User, "lazy");
    C.Item<TSession>()->User = "changed";
    EXPECT_EQ(C.Item<TSession>()->User, "changed");
    EXPECT_EQ(Made, 1);

    C.SetItem(TTrace{7});
    EXPECT_EQ(C.Item<TTrace>()->Id, 7);
    C.SetLazyItem<TTrace>([] { return TTrace{99}; });
    EXPECT_EQ(C.Item<TTrace>()->Id, 7) << "a stored item wins over a factory";

    C.RemoveItem<TSession>();
    EXPECT_EQ(C.Item<TSession>(), nullptr);
    EXPECT_EQ(Made, 1);
}

TEST(ServerContext, ALazyFactoryMayRemoveOrReplaceItselfWhileItRuns) {
    // The factory's captures must outlive its own removal: AddressSanitizer would see them
    // freed were the factory run in place.
    struct TSession {
        std::string User;
    };
    for (const bool Replace : {false, true}) {
        SCOPED_TRACE(Replace ? "replaced" : "removed");
        TTestContext C;
        const std::string Captured(200, 'u');
        C.SetLazyItem<TSession>([&C, Captured, Replace] {
            if (Replace)
                C.SetLazyItem<TSession>([] { return TSession{"second"}; });
            else
                C.RemoveItem<TSession>();
            return TSession{Captured};
        });
        ASSERT_NE(C.Item<TSession>(), nullptr);
        EXPECT_EQ(C.Item<TSession>()->User, Captured);
    }
}

TEST(ServerContext, CurrentIsPerThread) {
    TTestContext C;
    EXPECT_EQ(THttpServerContext::Current(), nullptr);
    THttpServerContext::SetCurrent(&C);
    THttpServerContext* SeenByOther = &C;
    std::thread T([&] { SeenByOther = THttpServerContext::Current(); });
    T.join();
    EXPECT_EQ(SeenByOther, nullptr);
    EXPECT_EQ(THttpServerContext::Current(), &C);
    THttpServerContext::SetCurrent(nullptr);
    EXPECT_EQ(THttpServerContext::Current(), nullptr);
}

}  // namespace
